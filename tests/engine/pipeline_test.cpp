#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "encode_test_util.h"

// Reading on a second thread ahead of the encoder (settings.threads = 2).
namespace vexal {
namespace {

struct Outcome {
  Expected<> result;
  ConversionTally tally;
  std::vector<double> progress;
  std::ptrdiff_t threads = 0;  // most threads of this process seen at a progress report
};

// `cancel`: stop is requested at the first progress report.
Outcome convert(const std::filesystem::path& source, const std::filesystem::path& output,
                OutputFormat format, int threads, bool cancel = false,
                std::optional<std::int64_t> start = {}, std::optional<std::int64_t> end = {}) {
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.threads = threads;
  std::stop_source stop;
  Outcome run;
  const auto report = [&](double value) {
    run.progress.push_back(value);
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    run.threads = std::max(run.threads, std::distance(std::filesystem::begin(tasks), std::filesystem::end(tasks)));
    if (cancel) stop.request_stop();
  };
  run.result = AudioProcessor::convert(source, output, format, settings, start, end, report,
                                       stop.get_token(), nullptr, &run.tally);
  return run;
}

// The error kind of a conversion on a disk that fills up after `limitBytes` (100: none).
int kindOnFullDisk(const std::filesystem::path& source, const std::filesystem::path& output, OutputFormat format,
                   int threads, std::uint64_t limitBytes = 16 * 1024) {
  return test::exitCodeOnFullDisk(
      [&] {
        const auto result = convert(source, output, format, threads).result;
        return result ? 100 : static_cast<int>(result.error().kind());
      },
      limitBytes);
}
constexpr int kWriteFailed = static_cast<int>(ConversionError::Kind::extAudioFileError);

class PipelinedConversion : public ::testing::TestWithParam<OutputFormat> {
 protected:
  test::TempDir dir_;
};

// The same file, tally and progress as one thread, over a range of five chunks and a
// part off the file's start; float (FLAC) and int16 (MP3) reads.
TEST_P(PipelinedConversion, WritesWhatOneThreadWrites) {
  const auto source = test::writeAudio(dir_.path(), "source", test::noise(44100, 2, 1.2, -3.0),
                                       test::InputKind::flac16);
  const std::int64_t start = 1000;
  const std::int64_t end = start + 5 * 8192 + 77;
  const auto one = dir_ / "one", two = dir_ / "two";
  const Outcome inline_ = convert(source, one, GetParam(), 1, false, start, end);
  const Outcome piped = convert(source, two, GetParam(), 2, false, start, end);
  ASSERT_TRUE(inline_.result && piped.result);
  EXPECT_EQ(test::readBytes(two), test::readBytes(one));
  EXPECT_EQ(piped.tally.frames, end - start);
  EXPECT_EQ(piped.tally.checksum, inline_.tally.checksum);
  EXPECT_EQ(piped.tally.checksum.has_value(), GetParam() == OutputFormat::flac);
  EXPECT_EQ(piped.progress, inline_.progress);
  EXPECT_EQ(piped.progress.size(), 7u);  // a report per chunk, then 1.0
  EXPECT_EQ(piped.threads, inline_.threads + 1);
}

INSTANTIATE_TEST_SUITE_P(Formats, PipelinedConversion,
                         ::testing::Values(OutputFormat::flac, OutputFormat::mp3),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// A cancel after the first chunk, a source that stops decoding mid-stream and a disk
// that fills up mid-file (the writes of each encoder) end both threads with their own
// error (a hang is a deadlock).
TEST_F(PipelinedConversion, FailuresEndBothThreads) {
  const auto source = test::writeAudio(dir_.path(), "source", test::noise(44100, 2, 3.0, -3.0),
                                       test::InputKind::flac16);
  const Outcome cancelled = convert(source, dir_ / "cancelled", OutputFormat::mp3, 2, true);
  ASSERT_FALSE(cancelled.result);
  EXPECT_EQ(cancelled.result.error().kind(), ConversionError::Kind::cancelled);
  EXPECT_EQ(cancelled.progress.size(), 1u);

  auto bytes = test::readBytes(source);
  for (std::size_t i = bytes.size() / 2; i < bytes.size() * 3 / 4; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  const auto damaged = dir_ / "damaged.flac";
  test::writeBytes(damaged, bytes);
  const Outcome broken = convert(damaged, dir_ / "broken", OutputFormat::mp3, 2);
  ASSERT_FALSE(broken.result);
  EXPECT_EQ(broken.result.error().kind(), ConversionError::Kind::sourceDamaged);
  EXPECT_EQ(broken.result.error(), convert(damaged, dir_ / "one", OutputFormat::mp3, 1).result.error());
  EXPECT_GT(broken.progress.size(), 2u);  // the chunks before the damage were encoded

  for (const auto format : {OutputFormat::mp3, OutputFormat::opus, OutputFormat::vorbis, OutputFormat::wav}) {
    EXPECT_EQ(kindOnFullDisk(source, dir_ / "full", format, 2), kWriteFailed) << rawValue(format);
  }
}

class FullDisk : public PipelinedConversion {};

// Every encoder's failed write on a full disk says why in words.
TEST_P(FullDisk, NamesTheReasonInWords) {
  const auto source = test::writeAudio(dir_.path(), "source", test::noise(48000, 2, 0.5, -3.0),
                                       test::InputKind::flac16);
  const Outcome full = convert(source, "/dev/full", GetParam(), 1);
  ASSERT_FALSE(full.result);
  EXPECT_TRUE(full.result.error().errorDescription().ends_with(
      " failed (OSStatus -28: No space left on device)"))
      << full.result.error().errorDescription();
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDisk, ::testing::ValuesIn(kAllOutputFormats),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// A short Opus output sits in the file's buffer until it is closed: a disk refusing it
// then fails the conversion instead of leaving a cut file behind as a success.
TEST(OutputClose, AFailedCloseFailsTheConversion) {
  test::TempDir dir;
  const auto source = test::writeAudio(dir.path(), "source", test::noise(48000, 1, 0.05, -3.0),
                                       test::InputKind::flac16);
  EXPECT_EQ(kindOnFullDisk(source, dir / "short.opus", OutputFormat::opus, 1, 512), kWriteFailed);
}

}  // namespace
}  // namespace vexal
