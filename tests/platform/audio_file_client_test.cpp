#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "platform/audio_file.h"
#include "support/test_support.h"

namespace vexal::platform {
namespace {

using test::InputKind;

// Reads to the end in chunks of `chunk` frames.
template <typename Sample = float>
std::vector<Sample> readAll(AudioFileReader& reader, std::uint32_t channels, std::uint32_t chunk = 8192) {
  std::vector<Sample> out;
  std::vector<Sample> buffer(static_cast<std::size_t>(chunk) * channels);
  for (;;) {
    std::uint32_t frames = chunk;
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
  return test::DecodedAudio{rate, channels, readAll(*reader, channels)};
}

void writeBytes(const std::filesystem::path& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class ReaderFailureTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(ReaderFailureTest, RefusesFilesThatAreNotAudio) {
  std::mt19937 random(3);
  std::vector<char> noiseBytes(20000);
  for (char& byte : noiseBytes) byte = static_cast<char>(random());
  writeBytes(dir_ / "random.mp3", noiseBytes);
  writeBytes(dir_ / "empty.wav", {});
  for (const char* name : {"missing.wav", "random.mp3", "empty.wav"}) {
    std::unique_ptr<AudioFileReader> reader;
    EXPECT_NE(AudioFileReader::open(dir_ / name, reader), kNoError) << name;
    EXPECT_EQ(reader, nullptr) << name;
  }
  std::unique_ptr<AudioFileReader> reader;
  EXPECT_NE(AudioFileReader::open(dir_.path(), reader), kNoError) << "a directory";
}

// Every kind cut at several points: opening may fail, but reading never crashes and
// ends; under the sanitizer build this checks the decoders' buffer handling.
class TruncatedInputTest : public ::testing::TestWithParam<InputKind> {
 protected:
  test::TempDir dir_;
};

TEST_P(TruncatedInputTest, ReadsWhatIsThereOrFails) {
  const InputKind kind = GetParam();
  const double rate = test::requires48k(kind) ? 48000.0 : 44100.0;
  const auto path = test::writeAudio(dir_.path(), "whole", test::noise(rate, 2, 1.0, -6.0), kind);
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const double fraction : {0.02, 0.5, 0.93}) {
    const auto cut = dir_ / ("cut." + test::extensionFor(kind));
    writeBytes(cut, std::vector<char>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() * fraction)));
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

INSTANTIATE_TEST_SUITE_P(AllInputs, TruncatedInputTest, ::testing::ValuesIn(test::kAllInputKinds),
                         [](const auto& info) { return test::nameOf(info.param); });

class ClientFormatTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const test::Signal& signal, InputKind kind = InputKind::wav24) {
    return test::writeAudio(dir_.path(), "in" + std::to_string(++count_), signal, kind);
  }
  test::TempDir dir_;
  int count_ = 0;
};

TEST_F(ClientFormatTest, RefusesHostileClientFormats) {
  const auto path = write(test::sine(44100, 2, 0.2, 440, -6));
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  StreamDescription bigEndian = floatClientFormat(44100, 2);
  bigEndian.formatFlags |= FormatFlags::kBigEndian;
  StreamDescription wrongBytes = floatClientFormat(44100, 2);
  wrongBytes.bytesPerFrame = 4;
  StreamDescription aac = floatClientFormat(44100, 2);
  aac.formatID = FormatID::kAAC;
  StreamDescription int24 = int16ClientFormat(44100, 2);
  int24.bitsPerChannel = 24;
  for (const StreamDescription& client :
       {floatClientFormat(44100, 0), floatClientFormat(44100, kMaxChannels + 1), floatClientFormat(44100, 0xFFFFFFFFu),
        floatClientFormat(-44100, 2), floatClientFormat(kMaxSampleRate * 2, 2), floatClientFormat(std::nan(""), 2),
        bigEndian, wrongBytes, aac, int24}) {
    EXPECT_EQ(reader->setClientFormat(client), kStatusBadClientFormat)
        << client.sampleRate << " Hz, " << client.channelsPerFrame << " channels";
  }
  // The reader still works with its previous client format.
  std::vector<float> buffer(2 * 100);
  std::uint32_t frames = 100;
  EXPECT_EQ(reader->read(buffer.data(), frames), kNoError);
  EXPECT_EQ(frames, 100u);
  EXPECT_EQ(reader->seek(-1), kStatusBadArgument);
}

TEST_F(ClientFormatTest, ExtremeRatesAndManyChannelsDecodeAsIs) {
  // PCM over the whole range. FLAC frames of 8 channels of 24-bit noise at high rates
  // outgrow what FFmpeg's FLAC parser accepts (its own command line cannot decode them
  // either), so FLAC goes to 192 kHz in stereo.
  struct Case {
    double rate;
    InputKind kind;
    std::uint32_t channels;
  };
  for (const auto& [rate, kind, channels] :
       {Case{384000.0, InputKind::wav24, 8}, Case{8000.0, InputKind::flac24, 8}, Case{192000.0, InputKind::flac24, 2}}) {
    const test::Signal signal = test::noise(rate, channels, 0.25, -3, 5);
    const test::DecodedAudio decoded = test::decodeFile(write(signal, kind));
    EXPECT_EQ(decoded.sampleRate, rate);
    EXPECT_EQ(decoded.channels, channels);
    EXPECT_TRUE(decoded.samples == test::quantised(signal, 24)) << rate << " " << test::nameOf(kind);
  }
}

TEST_F(ClientFormatTest, ResamplingKeepsDurationAndPitch) {
  const test::Signal signal = test::sine(44100, 2, 2.0, 1000, -6);
  for (const InputKind kind : {InputKind::flac24, InputKind::mp3}) {
    const test::DecodedAudio resampled = readAs(write(signal, kind), 48000, 2);
    EXPECT_NEAR(static_cast<double>(resampled.frames()), 96000.0, 2.0) << test::nameOf(kind);
    EXPECT_NEAR(test::frequencyOf(resampled, 0), 1000.0, 0.5) << test::nameOf(kind);
    // A -6 dBFS peak sine has an RMS level of -9.03 dBFS.
    EXPECT_NEAR(test::rmsDbfs(resampled), -9.03, kind == InputKind::mp3 ? 0.6 : 0.1) << test::nameOf(kind);
  }
  // And down again, to a rate that does not divide evenly.
  const test::DecodedAudio down = readAs(write(test::sine(48000, 1, 1.0, 1000, -6)), 22050, 1);
  EXPECT_NEAR(static_cast<double>(down.frames()), 22050.0, 2.0);
  EXPECT_NEAR(test::frequencyOf(down), 1000.0, 0.5);
}

TEST_F(ClientFormatTest, MonoToStereoDuplicatesAndStereoToMonoAverages) {
  const test::Signal mono = test::noise(44100, 1, 0.3, -6, 2);
  const test::DecodedAudio stereo = readAs(write(mono), 44100, 2);
  const std::vector<float> source = test::quantised(mono, 24);
  ASSERT_EQ(stereo.frames(), mono.frames);
  for (std::int64_t i = 0; i < mono.frames; ++i) {
    ASSERT_EQ(stereo.samples[i * 2], source[i]) << i;
    ASSERT_EQ(stereo.samples[i * 2 + 1], source[i]) << i;
  }

  const test::Signal two = test::noise(44100, 2, 0.3, -6, 3);
  const test::DecodedAudio down = readAs(write(two), 44100, 1);
  const std::vector<float> pairs = test::quantised(two, 24);
  ASSERT_EQ(down.frames(), two.frames);
  for (std::int64_t i = 0; i < two.frames; ++i) {
    ASSERT_NEAR(down.samples[i], 0.5f * (pairs[i * 2] + pairs[i * 2 + 1]), 1e-6f) << i;
  }
}

TEST_F(ClientFormatTest, Int16ClientRoundsSixteenBitSourcesExactly) {
  const test::Signal signal = test::noise(44100, 2, 0.3, -1, 9);
  const auto path = write(signal, InputKind::flac16);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  ASSERT_EQ(reader->setClientFormat(int16ClientFormat(44100, 2)), kNoError);
  const std::vector<std::int16_t> all = readAll<std::int16_t>(*reader, 2, 1000);
  const std::vector<float> expected = test::quantised(signal, 16);
  ASSERT_EQ(all.size(), expected.size());
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], std::lround(expected[i] * 32768.0)) << i;
}

TEST_F(ClientFormatTest, SeekCountsSourceFramesWhileResampling) {
  const test::Signal signal = test::ramp(44100, 1, 1.0);
  const auto path = write(signal, InputKind::wavFloat);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  ASSERT_EQ(reader->setClientFormat(floatClientFormat(88200, 1)), kNoError);
  ASSERT_EQ(reader->seek(22050), kNoError);  // half a second in
  const std::vector<float> rest = readAll(*reader, 1, 777);
  EXPECT_NEAR(static_cast<double>(rest.size()), 44100.0, 2.0);
  // The ramp at 0.5 s is at 0; skip the resampler's edge.
  EXPECT_NEAR(rest[100], signal.sample(22050 + 50, 0), 1e-3);
}

TEST_F(ClientFormatTest, OddReadSizesDeliverEveryFrame) {
  const test::Signal signal = test::noise(44100, 2, 0.5, -6, 4);
  const auto path = write(signal, InputKind::mp3);
  const test::DecodedAudio whole = test::decodeFile(path);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  std::vector<float> got;
  std::vector<float> buffer(2 * 5000);
  for (std::uint32_t size = 1;; size = size * 7 % 4999 + 1) {
    std::uint32_t frames = size;
    ASSERT_EQ(reader->read(buffer.data(), frames), kNoError);
    if (frames == 0) break;
    ASSERT_LE(frames, size);
    got.insert(got.end(), buffer.begin(), buffer.begin() + frames * 2);
  }
  EXPECT_TRUE(got == whole.samples);
}

}  // namespace
}  // namespace vexal::platform
