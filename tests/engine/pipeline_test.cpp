#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <stop_token>
#include <string>
#include <vector>

#include "encode_test_util.h"
#include "engine/audio_processor.h"
#include "support/test_support.h"

// Reading on a second thread ahead of the encoder (settings.threads = 2): the same file,
// tally and progress as one thread, and failures on either side end both threads.
namespace vexal {
namespace {

using test::InputKind;

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
  std::stop_source stop;
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.threads = threads;
  Outcome run;
  run.result = AudioProcessor::convert(
      source, output, format, settings, start, end,
      [&](double value) {
        run.progress.push_back(value);
        const std::filesystem::directory_iterator tasks("/proc/self/task");
        run.threads = std::max(run.threads, std::distance(std::filesystem::begin(tasks), std::filesystem::end(tasks)));
        if (cancel) stop.request_stop();
      },
      stop.get_token(), nullptr, &run.tally);
  return run;
}

class PipelinedConversion : public ::testing::TestWithParam<OutputFormat> {
 protected:
  test::TempDir dir_;
};

// A range of five chunks and a part, so the stage, the checksum and the progress see
// chunk boundaries off the file's start. The float (FLAC) and int16 (MP3) reads.
TEST_P(PipelinedConversion, WritesWhatOneThreadWrites) {
  const auto source = test::writeAudio(dir_.path(), "source", test::noise(44100, 2, 1.2, -3.0),
                                       InputKind::flac16);
  const std::int64_t start = 1000;
  const std::int64_t end = start + 5 * 8192 + 77;
  const std::string extension(fileExtension(GetParam()));
  const Outcome inline_ = convert(source, dir_ / ("one." + extension), GetParam(), 1, false, start, end);
  const Outcome piped = convert(source, dir_ / ("two." + extension), GetParam(), 2, false, start, end);
  ASSERT_TRUE(inline_.result && piped.result);
  EXPECT_EQ(test::readBytes(dir_ / ("two." + extension)), test::readBytes(dir_ / ("one." + extension)));
  EXPECT_EQ(piped.tally.frames, end - start);
  EXPECT_EQ(piped.tally.frames, inline_.tally.frames);
  EXPECT_EQ(piped.tally.checksum, inline_.tally.checksum);
  EXPECT_EQ(piped.tally.checksum.has_value(), GetParam() == OutputFormat::flac);
  EXPECT_EQ(piped.progress, inline_.progress);
  EXPECT_EQ(piped.progress.size(), 7u);  // a report per chunk, then 1.0
  EXPECT_EQ(piped.threads, inline_.threads + 1);
}

INSTANTIATE_TEST_SUITE_P(Formats, PipelinedConversion,
                         ::testing::Values(OutputFormat::flac, OutputFormat::mp3),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// Failures end both threads (a hang here is a deadlock) with the side's own error: a
// cancel after the first chunk, a source that stops decoding mid-stream, a disk that
// fills up mid-file (a child limited to 16 KiB of output).
TEST(PipelinedFailure, EndsBothThreadsWithTheRightError) {
  test::TempDir dir;
  const auto source = test::writeAudio(dir.path(), "source", test::noise(44100, 2, 3.0, -3.0),
                                       InputKind::flac16);
  const Outcome cancelled = convert(source, dir / "cancelled.mp3", OutputFormat::mp3, 2, true);
  ASSERT_FALSE(cancelled.result);
  EXPECT_EQ(cancelled.result.error().kind(), ConversionError::Kind::cancelled);
  EXPECT_EQ(cancelled.progress.size(), 1u);

  const auto intact = test::readBytes(source);
  std::string bytes(intact.begin(), intact.end());
  for (std::size_t i = bytes.size() / 2; i < bytes.size() * 3 / 4; ++i) bytes[i] = static_cast<char>(i * 7);
  const auto damaged = dir / "damaged.flac";
  std::ofstream(damaged, std::ios::binary) << bytes;
  const Outcome broken = convert(damaged, dir / "broken.mp3", OutputFormat::mp3, 2);
  ASSERT_FALSE(broken.result);
  EXPECT_EQ(broken.result.error().kind(), ConversionError::Kind::sourceDamaged);
  EXPECT_EQ(broken.result.error(), convert(damaged, dir / "one.mp3", OutputFormat::mp3, 1).result.error());
  EXPECT_GT(broken.progress.size(), 2u);  // chunks before the damage were encoded

  for (const auto& [format, expected] :
       {std::pair{OutputFormat::mp3, ConversionError::Kind::outputDirectoryNotWritable},
        std::pair{OutputFormat::wav, ConversionError::Kind::extAudioFileError}}) {
    EXPECT_EQ(test::exitCodeOnFullDisk([&] {
                const auto full = convert(source, dir / ("full." + std::string(fileExtension(format))), format, 2);
                return full.result ? 100 : static_cast<int>(full.result.error().kind());
              }),
              static_cast<int>(expected))
        << rawValue(format);
  }
}

}  // namespace
}  // namespace vexal
