#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <fstream>
#include <string>

#include "engine/audio_processor.h"
#include "platform/logging.h"
#include "support/test_support.h"

namespace vexal {
namespace {

std::filesystem::path taggedSource(const test::TempDir& dir, const std::string& title) {
  const auto source =
      test::writeAudio(dir.path(), "source", test::sine(44100, 2, 0.5, 440, -6), test::InputKind::flac16);
  if (!title.empty()) {
    TagLib::FileRef file(source.c_str());
    file.tag()->setTitle(TagLib::String(title, TagLib::String::UTF8));
    file.tag()->setArtist("Vexal Ensemble");
    EXPECT_TRUE(file.save());
  }
  return source;
}

std::string titleOf(const std::filesystem::path& path) {
  TagLib::FileRef file(path.c_str());
  if (file.isNull() || !file.tag()) return {};
  return file.tag()->title().to8Bit(true);
}

// M4A and FLAC outputs get the source's tags after encoding; WAV and AIFF never do.
class TagCarrying : public ::testing::TestWithParam<OutputFormat> {};

TEST_P(TagCarrying, TagsFollowTheFormatsRule) {
  test::TempDir dir;
  const auto source = taggedSource(dir, "Étude in A");
  const auto output = dir / ("out." + std::string(fileExtension(GetParam())));
  ConversionSettings settings;
  settings.preserveMetadata = true;
  std::vector<std::string> logged;
  const auto previous = platform::setLogSink(
      [&](platform::LogCategory, platform::LogLevel, std::string_view text) {
        logged.emplace_back(text);
      });
  const auto result = AudioProcessor::convert(source, output, GetParam(), settings, {}, {}, {});
  platform::setLogSink(previous);
  ASSERT_TRUE(result) << result.error().errorDescription();
  EXPECT_TRUE(logged.empty());
  const bool tagged = GetParam() == OutputFormat::aac || GetParam() == OutputFormat::alac ||
                      GetParam() == OutputFormat::flac;
  EXPECT_EQ(titleOf(output), tagged ? "Étude in A" : "");
  // The audio is still all there after the rewrite.
  EXPECT_EQ(test::decodeFile(output).frames(), 22050);
}

INSTANTIATE_TEST_SUITE_P(Formats, TagCarrying,
                         ::testing::Values(OutputFormat::aac, OutputFormat::alac,
                                           OutputFormat::flac, OutputFormat::wav),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

TEST(TagCarryingTest, NothingIsWrittenWhenOffOrEmpty) {
  test::TempDir dir;
  const auto tagged = taggedSource(dir, "Kept Out");
  ConversionSettings settings;
  settings.preserveMetadata = false;
  ASSERT_TRUE(AudioProcessor::convert(tagged, dir / "off.flac", OutputFormat::flac, settings, {},
                                      {}, {}));
  EXPECT_EQ(titleOf(dir / "off.flac"), "");
}

}  // namespace
}  // namespace vexal

#include <sys/stat.h>
#include <unistd.h>

namespace vexal {
namespace {

// A tag rewrite that cannot create its temporary beside the output is logged, and the
// conversion still succeeds. The folder is made unwritable for an unprivileged user;
// the conversion runs in a child that gives up root, with the output file itself
// pre-created writable so that the encoder can replace its contents.
TEST(TagCarryingDeathTest, FailedM4ATagWriteIsLoggedAndSwallowed) {
  test::TempDir dir;
  const auto source = taggedSource(dir, "Logged");
  const auto folder = dir / "locked";
  std::filesystem::create_directories(folder);
  const auto output = folder / "out.m4a";
  std::ofstream(output).put(0);
  chmod(output.c_str(), 0666);
  chmod(folder.c_str(), 0755);
  chmod(dir.path().c_str(), 0755);
  chmod(source.c_str(), 0644);
  EXPECT_EXIT(
      {
        if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(3);
        std::vector<std::string> logged;
        platform::setLogSink([&](platform::LogCategory category, platform::LogLevel level,
                                 std::string_view text) {
          if (category == platform::LogCategory::metadata && level == platform::LogLevel::error) {
            logged.emplace_back(text);
          }
        });
        ConversionSettings settings;
        const auto result =
            AudioProcessor::convert(source, output, OutputFormat::alac, settings, {}, {}, {});
        if (!result) std::_Exit(4);
        if (logged.size() != 1 || logged[0].rfind("writeToM4A failed for out.m4a: ", 0) != 0) {
          std::_Exit(5);
        }
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vexal
