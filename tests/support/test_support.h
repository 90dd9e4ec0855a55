#pragma once

// Generated audio for tests: signals written to disk through FFmpeg's encoders in any
// accepted input format, and decoding of written files back to PCM.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vexal::test {

// A fresh empty directory under the system temp folder, removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A signal defined sample by sample (values in [-1, 1]).
struct Signal {
  double sampleRate = 0;
  std::uint32_t channels = 0;
  std::int64_t frames = 0;
  std::function<float(std::int64_t frame, std::uint32_t channel)> sample;
};

// A sine at `hz` and `dbfs` peak level; channel c is shifted by c × 90 degrees so that
// channels differ.
Signal sine(double rate, std::uint32_t channels, double seconds, double hz, double dbfs);
Signal silence(double rate, std::uint32_t channels, double seconds);
// Uniform white noise at `dbfs` peak, deterministic for a seed, independent per channel.
Signal noise(double rate, std::uint32_t channels, double seconds, double dbfs, std::uint32_t seed = 1);
// Pink noise (-3 dB per octave), independent per channel, scaled so that its largest
// sample is at `peakDbfs`: a dense, loud signal with inter-sample peaks.
Signal pinkNoise(double rate, std::uint32_t channels, double seconds, double peakDbfs, std::uint32_t seed = 1);
// Chords with harmonics and a noise floor, about -12 dBFS RMS: a stand-in for music in
// bit-rate measurements.
Signal musicLike(double rate, std::uint32_t channels, double seconds);
// A rising ramp from -1 towards 1 over the whole signal, same on every channel.
Signal ramp(double rate, std::uint32_t channels, double seconds);

enum class InputKind {
  wav8, wav16, wav24, wav32, wavFloat, aiff16, aiff24, flac16, flac24, alacM4a16, alacM4a24,
  aacM4a, aacAdts, mp3, caf16, oggVorbis, oggOpus, oggFlac, opus, wma,
  alac,  // ALAC in a CAF container with the ".alac" extension
  aifc16, wavPack16, wavPack24, tta16, flacMka, opusWebm, aacM4b, vorbisOga
};
inline constexpr InputKind kAllInputKinds[] = {
    InputKind::wav8,      InputKind::wav16,     InputKind::wav24,     InputKind::wav32,  InputKind::wavFloat,
    InputKind::aiff16,    InputKind::aiff24,    InputKind::flac16,    InputKind::flac24, InputKind::alacM4a16,
    InputKind::alacM4a24, InputKind::aacM4a,    InputKind::aacAdts,   InputKind::mp3,    InputKind::caf16,
    InputKind::oggVorbis, InputKind::oggOpus,   InputKind::oggFlac,   InputKind::opus,   InputKind::wma,
    InputKind::alac,      InputKind::aifc16,    InputKind::wavPack16, InputKind::wavPack24, InputKind::tta16,
    InputKind::flacMka,   InputKind::opusWebm,  InputKind::aacM4b,    InputKind::vorbisOga};

std::string extensionFor(InputKind kind);
std::string nameOf(InputKind kind);  // "wav16", "aacM4a", ... for test names
bool isLossless(InputKind kind);
// Bits of the integer samples stored, 0 for float and lossy kinds.
int bitDepthOf(InputKind kind);
// Opus codes at 48 kHz only; other kinds keep the signal's rate.
bool requires48k(InputKind kind);
// True when the decoded length equals the written length exactly (lossless kinds, and
// lossy containers that record encoder delay and padding).
bool hasExactLength(InputKind kind);

// Writes `signal` through FFmpeg's own muxers and encoders (not through Vexal's writer)
// and returns dir / (stem + "." + extension). Integer kinds get the signal quantised to
// their bit depth, so a lossless decode compares bit-exactly with quantised(signal).
// Throws std::runtime_error when FFmpeg refuses.
std::filesystem::path writeAudio(const std::filesystem::path& dir, const std::string& stem, const Signal& signal,
                                 InputKind kind);

// Writes `signal` as 1-bit DSD in a DSF file (no encoder exists for it): the signal's
// rate is the bit rate (2822400 for DSD64), modulated by a second-order sigma-delta loop.
// Keep peaks at or below -6 dBFS, where the loop is stable.
std::filesystem::path writeDsf(const std::filesystem::path& dir, const std::string& stem, const Signal& signal);

// A valid 1x1 RGBA PNG and a small baseline JPEG header (16x8, 3 components).
const std::vector<std::uint8_t>& pngImage();
const std::vector<std::uint8_t>& jpegImage();

// Tags as FFmpeg's demuxers read them (a reader independent of TagLib): the container's
// and the first audio stream's, in order, keys in lower case ("artist", "track",
// "musicbrainz album id"); and the "comment" of each attached picture ("Cover (front)").
std::vector<std::pair<std::string, std::string>> ffmpegTags(const std::filesystem::path& path);
std::vector<std::string> ffmpegPictureKinds(const std::filesystem::path& path);

// Whole files as bytes, or as one string.
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
std::string readText(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The exit code of `body` run in a child that may write at most `limitBytes` to a file
// (a disk filling up mid-file); -1 when the child did not exit.
int exitCodeOnFullDisk(const std::function<int()>& body, std::uint64_t limitBytes = 16 * 1024);

// The signal's samples as a lossless file of `kind` stores them (rounded to its bits).
std::vector<float> quantised(const Signal& signal, int bits);

struct DecodedAudio {
  double sampleRate = 0;
  std::uint32_t channels = 0;
  std::vector<float> samples;  // interleaved
  std::int64_t frames() const { return channels == 0 ? 0 : static_cast<std::int64_t>(samples.size()) / channels; }
};

// Decodes a whole file through vexal::platform::AudioFileReader at its own rate and
// channels as float32. Throws std::runtime_error when the reader fails.
DecodedAudio decodeFile(const std::filesystem::path& path);

std::vector<float> render(const Signal& signal);  // interleaved samples of a signal
double frequencyOf(const DecodedAudio& audio, std::uint32_t channel = 0);  // zero-crossing estimate, Hz
double rmsDbfs(const DecodedAudio& audio);
double peakDbfs(const DecodedAudio& audio);

}  // namespace vexal::test
