// Integrated-loudness and true-peak throughput on a generated 44.1 kHz stereo file: the
// engine's analysis, libebur128 in this process (fed by the same decoder), and
// `ffmpeg -af ebur128=peak=true -f null -` as a whole process.
//
//   vexal_bench_loudness [--minutes N]

#include <ebur128.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/loudness.h"
#include "platform/audio_file.h"

namespace {

struct Measured {
  double seconds = 0;
  double lufs = 0;
};

// Decodes with the same reader the engine uses and measures with libebur128: integrated
// loudness with its 400 ms blocks and the true peak, as the engine's pre-pass does.
Measured libebur128(const std::filesystem::path& file, bool analyse) {
  const double start = vexal::bench::now();
  std::unique_ptr<vexal::platform::AudioFileReader> reader;
  vexal::platform::AudioFileReader::open(file, reader);
  vexal::platform::StreamDescription format;
  reader->getFileDataFormat(format);
  reader->setClientFormat(vexal::platform::floatClientFormat(format.sampleRate, format.channelsPerFrame));
  std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
      ebur128_init(format.channelsPerFrame, static_cast<unsigned long>(format.sampleRate),
                   EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
      [](ebur128_state* s) { ebur128_destroy(&s); });
  std::vector<float> buffer(8192 * std::size_t{format.channelsPerFrame});
  for (;;) {
    std::uint32_t frames = 8192;
    if (reader->read(buffer.data(), frames) != vexal::platform::kNoError || frames == 0) break;
    if (analyse) ebur128_add_frames_float(state.get(), buffer.data(), frames);
  }
  Measured m;
  if (analyse) ebur128_loudness_global(state.get(), &m.lufs);
  m.seconds = vexal::bench::now() - start;
  return m;
}

Measured engine(const std::filesystem::path& file) {
  const double start = vexal::bench::now();
  const auto result = vexal::analyzeLoudness(file, {}, {}, {}, {});
  Measured m;
  m.seconds = vexal::bench::now() - start;
  m.lufs = result ? result->lufs : 0;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--minutes")) minutes = std::stod(argv[i + 1]);
  }
  vexal::bench::ScratchDir dir;
  const auto file = dir / "long.wav";
  vexal::bench::writeMusicWav(file, 44100, minutes * 60);
  const double audioSeconds = minutes * 60;

  // The engine first, so that the peak memory read after it is its own.
  const Measured ours = engine(file);
  const double oursRss = vexal::bench::peakRssMiB();
  const Measured decodeOnly = libebur128(file, false);
  const Measured reference = libebur128(file, true);
  const double referenceRss = vexal::bench::peakRssMiB();
  const double ffmpeg = vexal::bench::runCommand("ffmpeg -nostdin -v error -nostats -i '" +
                                                 file.string() +
                                                 "' -af ebur128=peak=true -f null - 2>/dev/null");

  std::printf("loudness analysis of a %.0f-minute 44.1 kHz stereo 16-bit WAV\n", minutes);
  std::printf("%-28s %9s %12s %10s\n", "", "seconds", "x real time", "LUFS");
  std::printf("%-28s %9.3f %12.1f %10.3f\n", "vexal analyzeLoudness", ours.seconds,
              audioSeconds / ours.seconds, ours.lufs);
  std::printf("%-28s %9.3f %12.1f %10.3f\n", "libebur128 (same decoder)", reference.seconds,
              audioSeconds / reference.seconds, reference.lufs);
  std::printf("%-28s %9.3f %12.1f %10s\n", "decoding alone", decodeOnly.seconds,
              audioSeconds / decodeOnly.seconds, "-");
  std::printf("%-28s %9.3f %12.1f %10s\n", "ffmpeg -af ebur128=peak", ffmpeg, audioSeconds / ffmpeg, "-");
  std::printf("speed vs libebur128: %.2fx overall, %.2fx on the analysis alone (decoding "
              "subtracted)\n",
              reference.seconds / ours.seconds,
              (reference.seconds - decodeOnly.seconds) / (ours.seconds - decodeOnly.seconds));
  std::printf("peak RSS: after vexal %.1f MiB, after libebur128 %.1f MiB, ffmpeg %.1f MiB\n",
              oursRss, referenceRss, vexal::bench::peakChildRssMiB());
  return 0;
}
