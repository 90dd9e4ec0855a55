#pragma once

// Signals for the engine's tests, written as plain RIFF WAVE files (so that sources
// do not depend on the writer under test) and read back through an independent
// RIFF parser or, for compressed outputs, through the audio-file layer.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

namespace vexal::test {

// Interleaved float frames.
struct Pcm {
  double rate = 44100;
  std::uint32_t channels = 2;
  std::vector<float> samples;
  std::int64_t frames() const {
    return channels == 0 ? 0 : static_cast<std::int64_t>(samples.size() / channels);
  }
  float at(std::int64_t frame, std::uint32_t channel) const {
    return samples[static_cast<std::size_t>(frame) * channels + channel];
  }
};

// `value(frame, channel)` for every sample.
Pcm makePcm(double rate, std::uint32_t channels, std::int64_t frames,
            const std::function<float(std::int64_t, std::uint32_t)>& value);
// A sine of `frequency` Hz whose samples peak at `dbfs`, on every channel.
Pcm makeSine(double rate, std::uint32_t channels, double seconds, double frequency, double dbfs);
// White noise quantised to `bits` so that integer files hold it exactly.
Pcm makeNoise(double rate, std::uint32_t channels, std::int64_t frames, int bits,
              std::uint32_t seed = 1);
// Concatenates signals of equal rate and channel count.
Pcm concat(const std::vector<Pcm>& parts);
Pcm makeSilence(double rate, std::uint32_t channels, std::int64_t frames);

// bits 16 or 24: signed integer PCM (samples must already be on that grid);
// bits 32: IEEE float.
void writeWav(const std::filesystem::path& path, const Pcm& pcm, int bits);

// A parsed WAV file: its header fields and samples as floats (integers / 2^(bits-1)).
struct WavFile {
  std::uint16_t formatTag = 0;
  std::uint16_t blockAlign = 0;
  std::uint16_t bitsPerSample = 0;
  Pcm pcm;
};
WavFile readWav(const std::filesystem::path& path);

// Any file the audio-file layer reads, at its stored rate and channels.
Pcm decode(const std::filesystem::path& path);

// Integrated loudness measured by libebur128, the independent oracle.
double ebur128Loudness(const Pcm& pcm);

double peakDBFS(const Pcm& pcm);

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);

}  // namespace vexal::test
