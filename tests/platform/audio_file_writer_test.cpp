#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "platform/audio_file.h"
#include "support/test_support.h"

namespace vexal::platform {
namespace {

StreamDescription destinationFor(FileType type, std::uint32_t formatId, double rate, std::uint32_t channels,
                                 std::uint32_t bits = 24) {
  StreamDescription description;
  description.sampleRate = rate;
  description.formatID = formatId;
  description.channelsPerFrame = channels;
  if (formatId == FormatID::kLinearPCM) {
    description.formatFlags = FormatFlags::kSignedInteger | FormatFlags::kPacked;
    if (type == FileType::aiff) description.formatFlags |= FormatFlags::kBigEndian;
    description.bytesPerPacket = description.bytesPerFrame = 3 * channels;
    description.framesPerPacket = 1;
    description.bitsPerChannel = 24;
  } else if (formatId == FormatID::kAAC) {
    description.framesPerPacket = 1024;
  } else if (formatId == FormatID::kALAC) {
    description.framesPerPacket = 4096;
    description.bitsPerChannel = bits;
  } else {
    description.bitsPerChannel = 24;
  }
  return description;
}

// Writes all of `samples` in uneven pieces, then closes.
Status writeFile(const std::filesystem::path& path, FileType type, const StreamDescription& destination,
                 const std::vector<float>& samples) {
  std::unique_ptr<AudioFileWriter> writer;
  if (const Status status = AudioFileWriter::create(path, type, destination, writer); status != kNoError) return status;
  const std::uint32_t channels = destination.channelsPerFrame;
  if (const Status status = writer->setClientFormat(floatClientFormat(destination.sampleRate, channels));
      status != kNoError) {
    return status;
  }
  const std::int64_t frames = static_cast<std::int64_t>(samples.size()) / channels;
  for (std::int64_t done = 0, piece = 1000; done < frames; piece = piece * 3 % 8191 + 1) {
    const auto count = static_cast<std::uint32_t>(std::min(piece, frames - done));
    if (const Status status = writer->write(samples.data() + done * channels, count); status != kNoError) return status;
    done += count;
  }
  return writer->close();
}

struct LosslessCase {
  const char* name;
  FileType type;
  std::uint32_t formatId;
  std::uint32_t storedBits;
  std::uint32_t flags;
};

class LosslessWriterTest : public ::testing::TestWithParam<LosslessCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(LosslessWriterTest, RoundTripsBitExactly) {
  const LosslessCase& param = GetParam();
  for (const int contentBits : {16, 24}) {
    if (contentBits > static_cast<int>(param.storedBits)) continue;
    for (const std::uint32_t channels : {1u, 6u}) {
      const test::Signal signal = test::noise(48000, channels, 0.7, -1.0, channels + contentBits);
      const std::vector<float> samples = test::quantised(signal, contentBits);
      const auto path = dir_ / (std::string("out-") + param.name);
      ASSERT_EQ(writeFile(path, param.type, destinationFor(param.type, param.formatId, 48000, channels, param.storedBits),
                          samples),
                kNoError);

      std::unique_ptr<AudioFileReader> reader;
      ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
      StreamDescription format;
      reader->getFileDataFormat(format);
      EXPECT_EQ(format.formatID, param.formatId);
      EXPECT_EQ(format.bitsPerChannel, param.storedBits);
      EXPECT_EQ(format.channelsPerFrame, channels);
      if (param.formatId == FormatID::kLinearPCM) {
        EXPECT_EQ(format.formatFlags, param.flags);
      }
      if (param.formatId == FormatID::kALAC) {
        EXPECT_EQ(format.framesPerPacket, 4096u);
      }
      std::int64_t length = 0;
      reader->getFileLengthFrames(length);
      EXPECT_EQ(length, signal.frames);
      const test::DecodedAudio decoded = test::decodeFile(path);
      EXPECT_TRUE(decoded.samples == samples) << contentBits << "-bit content, " << channels << " channels";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LosslessWriterTest,
    ::testing::Values(
        LosslessCase{"wav", FileType::wave, FormatID::kLinearPCM, 24, FormatFlags::kSignedInteger | FormatFlags::kPacked},
        LosslessCase{"aiff", FileType::aiff, FormatID::kLinearPCM, 24,
                     FormatFlags::kSignedInteger | FormatFlags::kPacked | FormatFlags::kBigEndian},
        LosslessCase{"flac", FileType::flac, FormatID::kFLAC, 24, 0},
        LosslessCase{"alac16", FileType::m4a, FormatID::kALAC, 16, 0},
        LosslessCase{"alac24", FileType::m4a, FormatID::kALAC, 24, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class WriterTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(WriterTest, ClipsAndRoundsWithoutDither) {
  // Values between the 24-bit steps round to the nearest; beyond full scale they clip.
  // A quarter and three quarters of a step (2^-23) each way: truncation would keep all
  // four on the lower step.
  const std::vector<float> samples = {0.5f + 0x1p-25f,  -0.25f - 0x1p-24f + 0x1p-26f,
                                      0.5f + 0x3p-25f,  -0.25f - 0x3p-25f,
                                      1.5f,             -3.0f,
                                      1.0f,             -1.0f};
  const std::vector<float> expected = {0.5f,           -0.25f,
                                       0.5f + 0x1p-23f, -0.25f - 0x1p-23f,
                                       1.0f - 0x1p-23f, -1.0f,
                                       1.0f - 0x1p-23f, -1.0f};
  const auto path = dir_ / "clip.wav";
  ASSERT_EQ(writeFile(path, FileType::wave, destinationFor(FileType::wave, FormatID::kLinearPCM, 44100, 1), samples),
            kNoError);
  EXPECT_EQ(test::decodeFile(path).samples, expected);
}

TEST_F(WriterTest, AacKeepsLengthAndPitch) {
  const test::Signal signal = test::sine(48000, 2, 1.7, 1000, -6);
  const auto path = dir_ / "tone.m4a";
  ASSERT_EQ(writeFile(path, FileType::m4a, destinationFor(FileType::m4a, FormatID::kAAC, 48000, 2),
                      test::render(signal)),
            kNoError);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  std::int64_t length = 0;
  reader->getFileLengthFrames(length);
  EXPECT_EQ(length, signal.frames);
  const test::DecodedAudio decoded = test::decodeFile(path);
  EXPECT_EQ(decoded.frames(), signal.frames);
  EXPECT_NEAR(test::frequencyOf(decoded), 1000.0, 0.5);
  EXPECT_NEAR(test::rmsDbfs(decoded), -9.03, 0.5);
}

TEST_F(WriterTest, RefusesBitRatesAndQualitiesTheEncoderCannotMeet) {
  std::unique_ptr<AudioFileWriter> writer;
  ASSERT_EQ(
      AudioFileWriter::create(dir_ / "a.m4a", FileType::m4a, destinationFor(FileType::m4a, FormatID::kAAC, 44100, 2), writer),
      kNoError);
  for (const std::uint32_t bitRate : {0u, 7999u, 0xFFFFFFFFu}) {
    EXPECT_NE(writer->setAACBitrate(bitRate), kNoError) << bitRate;
  }
  for (const double quality : {0.0, std::nan("")}) {
    EXPECT_NE(writer->setAACVBRQuality(quality), kNoError) << quality;
  }
  EXPECT_EQ(writer->setAACBitrate(192000), kNoError);
  EXPECT_EQ(writer->commitEncoderSettings(), kNoError);
  EXPECT_NE(writer->setAACBitrate(128000), kNoError) << "after the encoder started";
  EXPECT_EQ(writer->close(), kNoError);
  EXPECT_EQ(writer->close(), kStatusAlreadyClosed);

  std::unique_ptr<AudioFileWriter> flac;
  ASSERT_EQ(AudioFileWriter::create(dir_ / "a.flac", FileType::flac,
                                    destinationFor(FileType::flac, FormatID::kFLAC, 44100, 2), flac),
            kNoError);
  EXPECT_NE(flac->setAACBitrate(128000), kNoError);
  EXPECT_EQ(flac->setClientFormat(int16ClientFormat(44100, 2)), kStatusBadClientFormat);
  EXPECT_EQ(flac->setClientFormat(floatClientFormat(48000, 2)), kStatusBadClientFormat);
}

TEST_F(WriterTest, RefusesBadDestinationsWithoutTouchingAnExistingFile) {
  const auto path = dir_ / "keep.wav";
  std::ofstream(path) << "precious";
  const StreamDescription wav = destinationFor(FileType::wave, FormatID::kLinearPCM, 44100, 2);
  auto changed = [&](auto change) {
    StreamDescription destination = wav;
    change(destination);
    return destination;
  };
  for (const auto& [type, destination] :
       {std::pair{FileType::wave, changed([](auto& d) { d.channelsPerFrame = 0; })},
        std::pair{FileType::wave, changed([](auto& d) { d.sampleRate = 44100.5; })},
        std::pair{FileType::wave, destinationFor(FileType::wave, FormatID::kAAC, 44100, 2)},
        // The native AAC encoder has no tables for 5 kHz.
        std::pair{FileType::m4a, destinationFor(FileType::m4a, FormatID::kAAC, 5000, 2)}}) {
    std::unique_ptr<AudioFileWriter> writer;
    EXPECT_NE(AudioFileWriter::create(path, type, destination, writer), kNoError);
    EXPECT_EQ(writer, nullptr);
  }
  EXPECT_EQ(test::readBytes(path), (std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));

  std::unique_ptr<AudioFileWriter> writer;
  EXPECT_NE(AudioFileWriter::create(dir_ / "no" / "such" / "dir.wav", FileType::wave, wav, writer), kNoError);
}

// A full disk, and a file-size limit in a child process standing for a disk that fills up
// mid-file: the write or the close fails, never reporting a truncated file as written.
TEST_F(WriterTest, AFullDiskFailsTheWriteOrClose) {
  // A long file fails while writing; a short one sits in the output buffer until the
  // close, which alone can see the disk refuse it.
  for (const auto& [seconds, limitBytes] : {std::pair{2.0, 16 * 1024}, std::pair{0.02, 256}}) {
    const std::vector<float> samples = test::render(test::noise(44100, 2, seconds, -3));
    for (const auto& [type, formatId] :
         {std::pair{FileType::wave, FormatID::kLinearPCM}, std::pair{FileType::flac, FormatID::kFLAC},
          std::pair{FileType::m4a, FormatID::kALAC}, std::pair{FileType::m4a, FormatID::kAAC}}) {
      SCOPED_TRACE(std::to_string(seconds) + " s, format " + std::to_string(formatId));
      const StreamDescription destination = destinationFor(type, formatId, 44100, 2);
      EXPECT_NE(writeFile("/dev/full", type, destination, samples), kNoError);
      if (formatId == FormatID::kALAC) continue;
      const auto written = [&] { return writeFile(dir_ / "limited", type, destination, samples) == kNoError; };
      EXPECT_EQ(test::exitCodeOnFullDisk(written, limitBytes), 0) << "a truncated file was reported as written";
    }
  }
}

}  // namespace
}  // namespace vexal::platform
