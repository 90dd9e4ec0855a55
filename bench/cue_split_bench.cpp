// Splitting a long lossy image into cue tracks against converting it whole: each track
// seeks into the image (packets skipped undecoded, a short pre-roll decoded), so the
// tracks together cost about one decode and encode of the image. CPU seconds (user +
// system) of this process, so that other work on a busy machine does not decide the
// outcome. Goal: the split within 1.3× of the whole conversion.
//
// Usage: cue_split_bench [--minutes N (60)] [--tracks N (15)]

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "bench_common.h"
#include "engine/audio_file_info.h"
#include "engine/audio_processor.h"

namespace {

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool convert(const std::filesystem::path& source, const std::filesystem::path& output,
             vexal::OutputFormat format, std::optional<std::int64_t> start = {},
             std::optional<std::int64_t> end = {}) {
  vexal::ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.preserveMetadata = false;
  std::error_code ignored;
  std::filesystem::remove(output, ignored);
  const auto result =
      vexal::AudioProcessor::convert(source, output, format, settings, start, end, {});
  if (!result)
    std::fprintf(stderr, "%s: %s\n", output.c_str(), result.error().errorDescription().c_str());
  return result.has_value();
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 60;
  std::int64_t tracks = 15;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--tracks") == 0) tracks = std::atoll(argv[i + 1]);
  }
  using vexal::OutputFormat;
  vexal::bench::ScratchDir dir;
  vexal::bench::writeMusicWav(dir / "source.wav", 44100, minutes * 60);
  const auto image = dir / "image.mp3";
  if (!convert(dir / "source.wav", image, OutputFormat::mp3)) return 1;
  // An image as it sits on disk: settled for a while, so its counted length is kept.
  std::filesystem::last_write_time(
      image, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));

  // The import reads each image's length once (a decode for MP3) before any track runs.
  double start = cpuSeconds();
  const auto info = vexal::readAudioFileInfo(image);
  if (!info) return 1;
  const double import = cpuSeconds() - start;
  std::printf("%.0f-minute MP3 image, %lld tracks; length read at import: %.2f CPU s\n", minutes,
              static_cast<long long>(tracks), import);
  std::printf("%-6s %12s %12s %8s\n", "to", "whole CPU s", "split CPU s", "ratio");
  for (const auto& [format, name] :
       {std::pair{OutputFormat::flac, "FLAC"}, std::pair{OutputFormat::mp3, "MP3"}}) {
    const std::string extension = format == OutputFormat::flac ? ".flac" : ".mp3";
    start = cpuSeconds();
    if (!convert(image, dir / ("whole" + extension), format)) return 1;
    const double whole = cpuSeconds() - start;
    start = cpuSeconds();
    for (std::int64_t t = 0; t < tracks; ++t) {
      const std::int64_t first = info->totalFrames * t / tracks;
      const auto last =
          t + 1 < tracks ? std::optional(info->totalFrames * (t + 1) / tracks) : std::nullopt;
      if (!convert(image, dir / ("track" + std::to_string(t) + extension), format, first, last))
        return 1;
    }
    const double split = cpuSeconds() - start;
    std::printf("%-6s %12.2f %12.2f %8.2f\n", name, whole, split, split / whole);
  }
  return 0;
}
