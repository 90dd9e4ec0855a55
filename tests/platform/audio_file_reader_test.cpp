#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "platform/audio_file.h"
#include "support/test_support.h"

namespace vexal::platform {
namespace {

using test::InputKind;

// 2.5 s with an odd frame count, so no format's packet size divides it.
constexpr double kSeconds = 2.5;
constexpr std::int64_t kOddExtra = 77;

double rateFor(InputKind kind) { return test::requires48k(kind) ? 48000.0 : 44100.0; }

test::Signal fixtureSignal(InputKind kind, std::uint32_t channels) {
  test::Signal signal = test::sine(rateFor(kind), channels, kSeconds, 440.0, -6.0);
  signal.frames += kOddExtra;
  return signal;
}

struct Codec {
  std::uint32_t formatId;
  std::string name;
};

Codec expectedCodec(InputKind kind) {
  const std::string kindName = test::nameOf(kind);
  const auto has = [&](const char* part) { return kindName.find(part) != std::string::npos; };
  if (has("lac") && !has("alac")) return {FormatID::kFLAC, "FLAC"};
  if (has("alac")) return {FormatID::kALAC, "ALAC"};
  if (has("aac")) return {FormatID::kAAC, "AAC"};
  if (has("mp3")) return {FormatID::kMP3, "MP3"};
  if (has("orbis")) return {FormatID::kVorbis, "Vorbis"};
  if (has("pus")) return {FormatID::kOpus, "Opus"};
  if (has("wma")) return {FormatID::kWMA, "WMA"};
  if (has("wavPack")) return {FormatID::kOther, "WavPack"};
  if (has("tta")) return {FormatID::kOther, "TTA"};
  return {FormatID::kLinearPCM, "PCM"};
}

// Reads up to `count` frames (all by default) in chunks of `chunk` frames.
template <typename Sample = float>
std::vector<Sample> readFrames(AudioFileReader& reader, std::uint32_t channels,
                               std::uint32_t chunk = 4096,
                               std::int64_t count = std::numeric_limits<std::int64_t>::max()) {
  std::vector<Sample> out;
  std::vector<Sample> buffer(static_cast<std::size_t>(chunk) * channels);
  for (std::int64_t done = 0; done < count; done = static_cast<std::int64_t>(out.size() / channels)) {
    auto frames = static_cast<std::uint32_t>(std::min<std::int64_t>(chunk, count - done));
    EXPECT_EQ(reader.read(buffer.data(), frames), kNoError);
    if (frames == 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + frames * channels);
  }
  return out;
}

test::DecodedAudio readAs(const std::filesystem::path& path, double rate, std::uint32_t channels) {
  std::unique_ptr<AudioFileReader> reader;
  EXPECT_EQ(AudioFileReader::open(path, reader), kNoError);
  if (!reader) return {};
  EXPECT_EQ(reader->setClientFormat(floatClientFormat(rate, channels)), kNoError);
  return test::DecodedAudio{rate, channels, readFrames(*reader, channels)};
}

class InputKindTest : public ::testing::TestWithParam<InputKind> {
 protected:
  test::TempDir dir_;
};

TEST_P(InputKindTest, ReportsFormatLengthAndSeeksExactly) {
  const InputKind kind = GetParam();
  const test::Signal signal = fixtureSignal(kind, 2);
  const auto path = test::writeAudio(dir_.path(), "in", signal, kind);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  StreamDescription format;
  ASSERT_EQ(reader->getFileDataFormat(format), kNoError);
  EXPECT_EQ(format.sampleRate, signal.sampleRate);
  EXPECT_EQ(format.channelsPerFrame, 2u);
  EXPECT_EQ(format.formatID, expectedCodec(kind).formatId);
  EXPECT_EQ(reader->codecName(), expectedCodec(kind).name);
  if (test::bitDepthOf(kind) > 0 && kind != InputKind::wav32) {
    EXPECT_EQ(format.bitsPerChannel, static_cast<std::uint32_t>(test::bitDepthOf(kind)));
  }
  std::int64_t length = 0;
  ASSERT_EQ(reader->getFileLengthFrames(length), kNoError);

  const test::DecodedAudio decoded = test::decodeFile(path);
  EXPECT_EQ(decoded.frames(), length) << "decoded length differs from the reported one";
  if (test::hasExactLength(kind)) {
    EXPECT_EQ(length, signal.frames);
  } else {
    EXPECT_NEAR(static_cast<double>(length), static_cast<double>(signal.frames), 4096.0);
  }
  if (test::isLossless(kind)) {
    const std::vector<float> expected = test::quantised(signal, test::bitDepthOf(kind));
    ASSERT_EQ(decoded.samples.size(), expected.size());
    EXPECT_TRUE(decoded.samples == expected) << "lossless decode is not bit-exact";
  } else {
    EXPECT_NEAR(test::frequencyOf(decoded), 440.0, 2.0);
  }
  // Forward and backward targets, inside and across packet boundaries, and past the end
  // (which reads nothing).
  for (const std::int64_t target : {std::int64_t{50000}, std::int64_t{1}, std::int64_t{77777}, std::int64_t{4096},
                                    std::int64_t{0}, decoded.frames() - 100, decoded.frames() + 100000}) {
    constexpr std::int64_t kCount = 3000;
    ASSERT_EQ(reader->seek(target), kNoError);
    const std::vector<float> got = readFrames(*reader, 2, 4096, kCount);
    const std::int64_t expectedFrames = std::clamp<std::int64_t>(decoded.frames() - target, 0, kCount);
    if (expectedFrames == 0) {
      EXPECT_TRUE(got.empty()) << "read past the end";
      continue;
    }
    ASSERT_EQ(static_cast<std::int64_t>(got.size()), expectedFrames * 2) << "target " << target;
    const std::vector<float> expected(decoded.samples.begin() + target * 2,
                                      decoded.samples.begin() + (target + expectedFrames) * 2);
    if (expectedCodec(kind).formatId != FormatID::kAAC) {
      EXPECT_TRUE(got == expected) << "seek to " << target << " is not sample-accurate";
      continue;
    }
    // AAC's noise substitution draws from a generator that runs over the whole stream, so
    // noise bands differ after a skip: by under 1e-5 here, but by up to 0.02 in the last
    // frames, where the cut-off tone is coded as noise (a one-frame shift makes 0.03).
    constexpr std::int64_t kNoisyEnd = 2048;
    const auto checked = static_cast<std::size_t>(
        std::clamp<std::int64_t>(decoded.frames() - kNoisyEnd - target, 0, expectedFrames) * 2);
    for (std::size_t i = 0; i < checked; ++i) {
      ASSERT_NEAR(got[i], expected[i], 1e-4f) << "seek to " << target << " is not sample-accurate";
    }
  }
}

// Cut at several points: opening may fail, but reading never crashes and ends; under the
// sanitizer build this checks the decoders' buffer handling.
TEST_P(InputKindTest, TruncatedFileReadsWhatIsThereOrFails) {
  const InputKind kind = GetParam();
  const double rate = rateFor(kind);
  const auto bytes = test::readBytes(test::writeAudio(dir_.path(), "whole", test::noise(rate, 2, 1.0, -6.0), kind));
  for (const double fraction : {0.02, 0.5, 0.93}) {
    const auto cut = dir_ / ("cut." + test::extensionFor(kind));
    test::writeBytes(cut, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() * fraction)));
    std::unique_ptr<AudioFileReader> reader;
    if (AudioFileReader::open(cut, reader) != kNoError) continue;
    std::int64_t length = 0;
    reader->getFileLengthFrames(length);
    EXPECT_GE(length, 0);
    std::vector<float> buffer(8192 * 2);
    std::int64_t total = 0;
    for (int i = 0; i < 1000; ++i) {
      std::uint32_t frames = 8192;
      if (reader->read(buffer.data(), frames) != kNoError || frames == 0) break;
      total += frames;
    }
    EXPECT_LE(total, static_cast<std::int64_t>(rate * 1.1)) << fraction;
    reader->seek(1000);
    std::uint32_t frames = 100;
    reader->read(buffer.data(), frames);
  }
}

INSTANTIATE_TEST_SUITE_P(AllInputs, InputKindTest, ::testing::ValuesIn(test::kAllInputKinds),
                         [](const auto& info) { return test::nameOf(info.param); });

// Short Ogg streams whose only audio page is also the last one: the final granule alone
// fixes the length, and samples past it are cut from the end.
struct SinglePageCase {
  const char* name;
  InputKind kind;
  double rate;
  std::uint32_t channels;
  double seconds;
};

class OggSinglePageTest : public ::testing::TestWithParam<SinglePageCase> {
 protected:
  test::TempDir dir_;
};

// Error energy against the source, relative to the source, in dB. Skips the edges where
// lossy codecs fade in.
double errorDb(const std::vector<float>& decoded, const std::vector<float>& source,
               std::size_t edge) {
  double error = 0;
  double signal = 0;
  for (std::size_t i = edge; i + edge < source.size() && i < decoded.size(); ++i) {
    error += (decoded[i] - source[i]) * (decoded[i] - source[i]);
    signal += source[i] * source[i];
  }
  return 10.0 * std::log10(error / signal);
}

TEST_P(OggSinglePageTest, LengthIsTheFinalGranuleAndTheStartStays) {
  const SinglePageCase c = GetParam();
  test::Signal signal = test::sine(c.rate, c.channels, c.seconds, 440.0, -6.0);
  signal.frames += kOddExtra;
  const auto path = test::writeAudio(dir_.path(), "short", signal, c.kind);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  std::int64_t length = 0;
  ASSERT_EQ(reader->getFileLengthFrames(length), kNoError);
  EXPECT_EQ(length, signal.frames);
  const test::DecodedAudio decoded = test::decodeFile(path);
  EXPECT_EQ(decoded.frames(), length);
  // Codecs reach -37 dB or better here; a start shifted by 64 frames (the smallest Vorbis
  // block) lifts the error above 0 dB.
  EXPECT_LT(errorDb(decoded.samples, test::render(signal), 1024 * c.channels), -20.0);
}

// FFmpeg's own trim of these Vorbis streams ends too late (0.3 s) or too early (0.5 s).
INSTANTIATE_TEST_SUITE_P(ShortStreams, OggSinglePageTest,
                         ::testing::Values(SinglePageCase{"vorbis300ms", InputKind::oggVorbis, 22050, 2, 0.3},
                                           SinglePageCase{"vorbis500ms", InputKind::oggVorbis, 22050, 2, 0.5},
                                           SinglePageCase{"opus300ms", InputKind::oggOpus, 48000, 2, 0.3}),
                         [](const auto& info) { return std::string(info.param.name); });

// DSD read as PCM: the reported rate, length and seek positions are at 88.2 kHz (or the
// 48 kHz family's 96 kHz) whatever the DSD rate.
struct DsdCase {
  double bitRate;  // 1-bit samples per second
  std::uint32_t channels;
  double pcmRate;
};

class DsdTest : public ::testing::TestWithParam<DsdCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(DsdTest, ReadsAsPcmWithConsistentLengthAndSeeks) {
  const DsdCase c = GetParam();
  test::Signal signal = test::sine(c.bitRate, c.channels, 0.15, 1000.0, -6.0);
  signal.frames += 8 * 333;  // not a whole DSF block
  const auto path = test::writeDsf(dir_.path(), "tone", signal);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  StreamDescription format;
  ASSERT_EQ(reader->getFileDataFormat(format), kNoError);
  EXPECT_EQ(format.sampleRate, c.pcmRate);
  EXPECT_EQ(format.channelsPerFrame, c.channels);
  EXPECT_EQ(reader->codecName(), "DSD");
  std::int64_t length = 0;
  ASSERT_EQ(reader->getFileLengthFrames(length), kNoError);
  EXPECT_NEAR(static_cast<double>(length), static_cast<double>(signal.frames) * c.pcmRate / c.bitRate, 1.0);

  const test::DecodedAudio full = test::decodeFile(path);
  EXPECT_EQ(full.frames(), length);
  EXPECT_NEAR(test::frequencyOf(full), 1000.0, 5.0);
  EXPECT_NEAR(test::peakDbfs(full), -6.0, 1.5);

  // After a seek the resampler starts afresh: past its first frames the audio is the
  // full decode's, and the end falls on the same frame.
  constexpr std::int64_t kSettle = 64;
  const std::int64_t target = length / 3;
  ASSERT_EQ(reader->seek(target), kNoError);
  const std::vector<float> got = readFrames(*reader, c.channels, 4096, length);
  ASSERT_EQ(static_cast<std::int64_t>(got.size()), (length - target) * c.channels);
  float worst = 0;
  for (std::size_t i = kSettle * c.channels; i < got.size(); ++i) {
    worst = std::max(worst, std::abs(got[i] - full.samples[static_cast<std::size_t>(target) * c.channels + i]));
  }
  EXPECT_LT(worst, 1e-3f) << "seek does not land on the frame asked for";
}

INSTANTIATE_TEST_SUITE_P(Rates, DsdTest,
                         ::testing::Values(DsdCase{5644800, 1, 88200}, DsdCase{3072000, 2, 96000}),
                         [](const auto& info) {
                           return "dsf" + std::to_string(static_cast<int>(info.param.bitRate)) + "_" +
                                  std::to_string(info.param.channels) + "ch";
                         });

class ReaderTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const test::Signal& signal, InputKind kind = InputKind::wav24) {
    return test::writeAudio(dir_.path(), "in" + std::to_string(++count_), signal, kind);
  }
  test::TempDir dir_;
  int count_ = 0;
};

TEST_F(ReaderTest, RefusesFilesThatAreNotAudio) {
  std::mt19937 random(3);
  std::vector<std::uint8_t> noiseBytes(20000);
  for (auto& byte : noiseBytes) byte = static_cast<std::uint8_t>(random());
  test::writeBytes(dir_ / "random.mp3", noiseBytes);
  test::writeBytes(dir_ / "empty.wav", {});
  for (const auto& path : {dir_ / "missing.wav", dir_ / "random.mp3", dir_ / "empty.wav", dir_.path()}) {
    std::unique_ptr<AudioFileReader> reader;
    EXPECT_NE(AudioFileReader::open(path, reader), kNoError) << path;
    EXPECT_EQ(reader, nullptr) << path;
  }
}

TEST_F(ReaderTest, RefusesHostileClientFormats) {
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(write(test::sine(44100, 2, 0.2, 440, -6)), reader), kNoError);
  const auto changed = [](StreamDescription description, auto change) {
    change(description);
    return description;
  };
  const StreamDescription stereo = floatClientFormat(44100, 2);
  for (const StreamDescription& client :
       {floatClientFormat(44100, 0), floatClientFormat(44100, kMaxChannels + 1),
        floatClientFormat(44100, 0xFFFFFFFFu), floatClientFormat(-44100, 2),
        floatClientFormat(kMaxSampleRate * 2, 2), floatClientFormat(std::nan(""), 2),
        changed(stereo, [](auto& d) { d.formatFlags |= FormatFlags::kBigEndian; }),
        changed(stereo, [](auto& d) { d.bytesPerFrame = 4; }),
        changed(stereo, [](auto& d) { d.formatID = FormatID::kAAC; }),
        changed(int16ClientFormat(44100, 2), [](auto& d) { d.bitsPerChannel = 24; })}) {
    EXPECT_EQ(reader->setClientFormat(client), kStatusBadClientFormat)
        << client.sampleRate << " Hz, " << client.channelsPerFrame << " channels";
  }
  // The reader still works with its previous client format.
  EXPECT_EQ(readFrames(*reader, 2, 100, 100).size(), 200u);
  EXPECT_EQ(reader->seek(-1), kStatusBadArgument);
}

TEST_F(ReaderTest, ExtremeRatesAndManyChannelsDecodeAsIs) {
  // PCM over the whole range. FLAC frames of 8 channels of 24-bit noise at high rates
  // outgrow what FFmpeg's FLAC parser accepts (its own command line cannot decode them
  // either), so FLAC goes to 192 kHz in stereo.
  for (const auto& [rate, kind, channels] :
       {std::tuple{384000.0, InputKind::wav24, 8u}, std::tuple{8000.0, InputKind::flac24, 8u},
        std::tuple{192000.0, InputKind::flac24, 2u}}) {
    const test::Signal signal = test::noise(rate, channels, 0.25, -3, 5);
    const test::DecodedAudio decoded = test::decodeFile(write(signal, kind));
    EXPECT_EQ(decoded.sampleRate, rate);
    EXPECT_EQ(decoded.channels, channels);
    EXPECT_TRUE(decoded.samples == test::quantised(signal, 24)) << rate << " " << test::nameOf(kind);
  }
}

TEST_F(ReaderTest, MonoToStereoDuplicatesAndStereoToMonoAverages) {
  const test::Signal mono = test::noise(44100, 1, 0.3, -6, 2);
  const test::Signal two = test::noise(44100, 2, 0.3, -6, 3);
  const std::vector<float> source = test::quantised(mono, 24);
  const std::vector<float> pairs = test::quantised(two, 24);
  const test::DecodedAudio stereo = readAs(write(mono), 44100, 2);
  const test::DecodedAudio down = readAs(write(two), 44100, 1);
  ASSERT_EQ(stereo.frames(), mono.frames);
  ASSERT_EQ(down.frames(), two.frames);
  for (std::size_t i = 0; i < source.size(); ++i) {
    ASSERT_EQ(stereo.samples[i * 2], source[i]) << i;
    ASSERT_EQ(stereo.samples[i * 2 + 1], source[i]) << i;
    ASSERT_NEAR(down.samples[i], 0.5f * (pairs[i * 2] + pairs[i * 2 + 1]), 1e-6f) << i;
  }
}

TEST_F(ReaderTest, Int16ClientRoundsSixteenBitSourcesExactly) {
  const test::Signal signal = test::noise(44100, 2, 0.3, -1, 9);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(write(signal, InputKind::flac16), reader), kNoError);
  ASSERT_EQ(reader->setClientFormat(int16ClientFormat(44100, 2)), kNoError);
  const std::vector<std::int16_t> all = readFrames<std::int16_t>(*reader, 2, 1000);
  const std::vector<float> expected = test::quantised(signal, 16);
  ASSERT_EQ(all.size(), expected.size());
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], std::lround(expected[i] * 32768.0)) << i;
}

TEST_F(ReaderTest, SeekCountsSourceFramesWhileResampling) {
  const test::Signal signal = test::ramp(44100, 1, 1.0);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(write(signal, InputKind::wavFloat), reader), kNoError);
  ASSERT_EQ(reader->setClientFormat(floatClientFormat(88200, 1)), kNoError);
  ASSERT_EQ(reader->seek(22050), kNoError);  // half a second in
  const std::vector<float> rest = readFrames(*reader, 1, 777);
  EXPECT_NEAR(static_cast<double>(rest.size()), 44100.0, 2.0);
  // The ramp at 0.5 s is at 0; skip the resampler's edge.
  EXPECT_NEAR(rest[100], signal.sample(22050 + 50, 0), 1e-3);
}

}  // namespace
}  // namespace vexal::platform
