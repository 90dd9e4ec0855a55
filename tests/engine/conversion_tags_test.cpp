#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

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
