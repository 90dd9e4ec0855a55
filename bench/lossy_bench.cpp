// Lossy encoders against the ffmpeg command line using the same libraries and
// settings (libmp3lame, libopus, libvorbis). Prints the CPU seconds (user + system) of
// each side, best of three runs, and their ratio; CPU time rather than wall-clock time
// so that other work on a busy machine does not decide the outcome. Goal: within 1.1×
// of ffmpeg.
//
// Usage: lossy_bench [seconds of audio, default 120]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "engine/audio_file_info.h"
#include "engine/audio_processor.h"

namespace {

// CPU seconds used so far by this process, or by its finished children.
double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

constexpr std::uint32_t kChannels = 2;
constexpr int kRuns = 3;

// Stereo music-like material: a moving chord with some noise, 16-bit WAV.
void writeSource(const std::filesystem::path& path, double seconds, std::uint32_t rate) {
  const auto frames = static_cast<std::int64_t>(seconds * rate);
  std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * kChannels);
  std::mt19937 noise(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (std::int64_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double sweep = 300.0 + 200.0 * std::sin(2 * std::numbers::pi * 0.5 * t);
    for (std::uint32_t c = 0; c < kChannels; ++c) {
      const double v = 0.2 * std::sin(2 * std::numbers::pi * 220.0 * t + c) +
                       0.15 * std::sin(2 * std::numbers::pi * 277.2 * t) +
                       0.1 * std::sin(2 * std::numbers::pi * sweep * 4 * t) +
                       0.08 * uniform(noise);
      samples[static_cast<std::size_t>(i) * kChannels + c] =
          static_cast<std::int16_t>(std::lrint(std::clamp(v, -1.0, 1.0) * 32767));
    }
  }
  const auto bytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(kChannels);
  u32(rate);
  u32(rate * kChannels * 2);
  u16(kChannels * 2);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

struct Case {
  const char* name;
  std::uint32_t rate;  // of the source
  vexal::OutputFormat format;
  vexal::ConversionSettings settings;
  std::string ffmpegArguments;  // codec options matching the settings
  const char* extension;
};

// `who`: RUSAGE_SELF for work done in this process, RUSAGE_CHILDREN for a command.
template <typename Run>
double bestOf(int who, Run&& run) {
  double best = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    const double start = cpuSeconds(who);
    if (!run()) return -1;
    best = std::min(best, cpuSeconds(who) - start);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 120.0;
  const auto dir = std::filesystem::temp_directory_path() / "vexal-lossy-bench";
  std::filesystem::create_directories(dir);
  auto sourceAt = [&](std::uint32_t rate) { return dir / ("source" + std::to_string(rate) + ".wav"); };
  for (const std::uint32_t rate : {44100u, 48000u}) writeSource(sourceAt(rate), seconds, rate);

  using vexal::BitrateMode;
  using vexal::OutputFormat;
  std::vector<Case> cases;
  {
    vexal::ConversionSettings s;
    s.enabledFormats = {OutputFormat::mp3};
    s.bitrateMode = BitrateMode::cbr;
    // LAME quality 2 on both sides (ffmpeg maps compression_level to it).
    cases.push_back({"MP3 CBR 320", 44100, OutputFormat::mp3, s,
                     "-c:a libmp3lame -b:a 320k -compression_level 2", "mp3"});
    s.bitrateMode = BitrateMode::vbr;
    s.vbrQuality = vexal::VBRQuality::v2;
    cases.push_back({"MP3 VBR V2", 44100, OutputFormat::mp3, s,
                     "-c:a libmp3lame -q:a 2 -compression_level 2", "mp3"});
  }
  {
    vexal::ConversionSettings s;
    s.enabledFormats = {OutputFormat::opus};
    // ffmpeg's defaults, which the engine keeps: unconstrained VBR, complexity 10, 20 ms
    // frames. At 44.1 kHz each side resamples to Opus's 48 kHz its own way (the reader's
    // soxr, ffmpeg's swresample); at 48 kHz neither does.
    const std::string opus = "-c:a libopus -b:a 128k";
    cases.push_back({"Opus 128k", 44100, OutputFormat::opus, s, opus, "opus"});
    cases.push_back({"Opus 128k 48k", 48000, OutputFormat::opus, s, opus, "opus"});
  }
  {
    vexal::ConversionSettings s;
    s.enabledFormats = {OutputFormat::vorbis};
    cases.push_back({"Vorbis 192k", 44100, OutputFormat::vorbis, s, "-c:a libvorbis -b:a 192k", "ogg"});
  }

  std::printf("%.0f s of stereo (44.1 kHz unless noted), best of %d runs\n", seconds, kRuns);
  std::printf("%-14s %10s %10s %8s %11s\n", "encoder", "vexal CPU s", "ffmpeg CPU s", "ratio", "size ratio");
  for (const auto& c : cases) {
    const auto source = sourceAt(c.rate);
    const auto info = vexal::readAudioFileInfo(source);
    if (!info) {
      std::fprintf(stderr, "cannot read the source: %s\n", info.error().errorDescription().c_str());
      return 1;
    }
    vexal::EncodeRequest request;
    request.source = source;
    request.output = dir / (std::string("vexal.") + c.extension);
    request.format = c.format;
    request.settings = c.settings;
    request.info = *info;
    const double ours = bestOf(RUSAGE_SELF, [&] {
      const auto result = c.format == OutputFormat::mp3    ? vexal::encodeMP3(request)
                          : c.format == OutputFormat::opus ? vexal::encodeOpus(request)
                                                           : vexal::encodeVorbis(request);
      if (!result) std::fprintf(stderr, "%s: %s\n", c.name, result.error().errorDescription().c_str());
      return result.has_value();
    });
    const auto theirFile = dir / (std::string("ffmpeg.") + c.extension);
    const std::string command = "ffmpeg -nostdin -hide_banner -v error -y -threads 1 -i '" +
                                source.string() + "' " + c.ffmpegArguments + " '" + theirFile.string() + "'";
    const double theirs = bestOf(RUSAGE_CHILDREN, [&] { return std::system(command.c_str()) == 0; });
    // Output bytes against ffmpeg's: the bit rates both sides reached, containers included.
    std::error_code ignored;
    const auto theirBytes = static_cast<double>(std::filesystem::file_size(theirFile, ignored));
    const auto ourBytes = static_cast<double>(std::filesystem::file_size(request.output, ignored));
    std::printf("%-14s %10.3f %10.3f %8.2f %11.3f\n", c.name, ours, theirs, theirs > 0 ? ours / theirs : 0.0,
                theirBytes > 0 ? ourBytes / theirBytes : 0.0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
