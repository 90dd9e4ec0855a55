// Converts a generated 44.1 kHz stereo FLAC to each container format through the
// engine and through the ffmpeg command line with the same encoder settings, side by
// side, and prints seconds, the ratio and peak memory.
//
//   vexal_bench_conversion [--minutes N] [--repeats N] [--formats wav,aiff,flac,alac,aac]

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/audio_processor.h"

namespace {

using vexal::OutputFormat;

// What ffmpeg is told so that it produces what the engine's container writer does:
// 24-bit PCM, 24-bit FLAC, ALAC at the source's 16 bits, AAC at 256 kbit/s.
std::string ffmpegCodec(OutputFormat format) {
  switch (format) {
    case OutputFormat::wav: return "-c:a pcm_s24le";
    case OutputFormat::aiff: return "-c:a pcm_s24be";
    case OutputFormat::flac: return "-c:a flac -sample_fmt s32";
    case OutputFormat::alac: return "-c:a alac -sample_fmt s16p";
    case OutputFormat::aac: return "-c:a aac -b:a 256k";
    default: return {};
  }
}

std::vector<OutputFormat> parseFormats(const std::string& list) {
  std::vector<OutputFormat> formats;
  std::stringstream in(list);
  for (std::string raw; std::getline(in, raw, ',');) {
    if (auto format = vexal::outputFormatFromRaw(raw)) formats.push_back(*format);
  }
  return formats;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 3;
  int repeats = 3;
  int threads = 2;  // a lone file reads and encodes on two threads, as a batch runs it
  std::vector<OutputFormat> formats = {OutputFormat::wav, OutputFormat::aiff, OutputFormat::flac,
                                       OutputFormat::alac, OutputFormat::aac};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--minutes")) minutes = std::stod(argv[i + 1]);
    if (!std::strcmp(argv[i], "--repeats")) repeats = std::stoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--formats")) formats = parseFormats(argv[i + 1]);
    if (!std::strcmp(argv[i], "--threads")) threads = std::stoi(argv[i + 1]);
  }

  vexal::bench::ScratchDir dir;
  const auto wav = dir / "source.wav";
  const auto flac = dir / "source.flac";
  vexal::bench::writeMusicWav(wav, 44100, minutes * 60);
  vexal::bench::runCommand("ffmpeg -nostdin -v error -y -i '" + wav.string() + "' -c:a flac '" +
                           flac.string() + "'");
  std::filesystem::remove(wav);

  std::printf("conversion of a %.0f-minute 44.1 kHz stereo FLAC, best of %d runs\n", minutes,
              repeats);
  // ffmpeg decodes FLAC on several threads by default; the engine converts each file
  // on one thread (files run in parallel instead), so both are shown.
  std::printf("%-6s %10s %10s %8s %12s %8s %14s\n", "format", "vexal s", "ffmpeg s", "ratio",
              "ffmpeg 1thr", "ratio", "vexal peak MiB");
  vexal::ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.threads = threads;
  for (OutputFormat format : formats) {
    const auto ours = dir / ("vexal." + std::string(vexal::fileExtension(format)));
    const auto theirs = dir / ("ffmpeg." + std::string(vexal::fileExtension(format)));
    const std::string command = "ffmpeg -nostdin -v error -y -i '" + flac.string() + "' " +
                                ffmpegCodec(format) + " '" + theirs.string() + "'";
    const std::string singleThread = "ffmpeg -nostdin -v error -y -threads 1 -i '" +
                                     flac.string() + "' -threads 1 " + ffmpegCodec(format) +
                                     " '" + theirs.string() + "'";
    double best = 1e300;
    double bestFFmpeg = 1e300;
    double bestSingle = 1e300;
    for (int r = 0; r < repeats; ++r) {
      const double start = vexal::bench::now();
      const auto result =
          vexal::AudioProcessor::convert(flac, ours, format, settings, {}, {}, {});
      if (!result) {
        std::fprintf(stderr, "%s failed: %s\n", std::string(rawValue(format)).c_str(),
                     result.error().errorDescription().c_str());
        return 1;
      }
      best = std::min(best, vexal::bench::now() - start);
      bestFFmpeg = std::min(bestFFmpeg, vexal::bench::runCommand(command));
      bestSingle = std::min(bestSingle, vexal::bench::runCommand(singleThread));
    }
    // Peak memory of this process so far: it rises only where a format needs more.
    std::printf("%-6s %10.3f %10.3f %8.2f %12.3f %8.2f %14.1f\n",
                std::string(rawValue(format)).c_str(), best, bestFFmpeg, best / bestFFmpeg,
                bestSingle, best / bestSingle, vexal::bench::peakRssMiB());
    std::filesystem::remove(ours);
    std::filesystem::remove(theirs);
  }
  std::printf("peak RSS: vexal process %.1f MiB, largest ffmpeg process %.1f MiB\n",
              vexal::bench::peakRssMiB(), vexal::bench::peakChildRssMiB());
  return 0;
}
