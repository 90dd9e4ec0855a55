#include <gtest/gtest.h>

#include <map>

#include "model/naming_template.h"

namespace vexal {
namespace {

NamingResult expand(std::string templateText, const std::optional<AudioMetadata>& metadata,
                    std::string base = "Song") {
  return NamingTemplate{std::move(templateText)}.expand(metadata, base, "mp3", "MP3");
}

TEST(NamingTemplate, SlashInsideATagValueDoesNotMakeAFolder) {
  AudioMetadata tags;
  tags.artist = "Left/Right";
  tags.trackNumber = 3;
  tags.title = "Intro";
  const auto result = expand("{artist}/{album}/{track} - {title}", tags);
  EXPECT_EQ(result.subdirectory, "Left_Right/Unknown Album");
  EXPECT_EQ(result.fileName, "03 - Intro");
  tags.trackNumber.reset();
  EXPECT_EQ(expand("{artist}/{album}/{track} - {title}", tags).fileName, "Intro");
  // Empty folder levels collapse.
  tags.album = "A";
  EXPECT_EQ(expand("/{album}//{title}/", tags).subdirectory, "A");
}

TEST(NamingTemplate, NumbersAndCase) {
  AudioMetadata tags;
  tags.trackNumber = 123;
  EXPECT_EQ(expand("{track}", tags).fileName, "123");
  tags.trackNumber = 0;
  EXPECT_EQ(expand("{track}", tags).fileName, "00");
  tags.trackNumber = 5;
  tags.discNumber = 1;
  EXPECT_EQ(expand("{disc}-{track}", tags).fileName, "1-05");
  EXPECT_EQ(expand("{Title}", tags).fileName, "{Title}");
  EXPECT_EQ(expand("{title}", std::nullopt).fileName, "Song");
}

TEST(NamingTemplate, SanitizeReplacesEachForbiddenCharacter) {
  EXPECT_EQ(NamingTemplate::sanitizeComponent(" a:b//c\t"), "a_b__c");
  EXPECT_EQ(NamingTemplate::sanitizeComponent(std::string("x\0y", 3)), "xy");
}

// Tags written by anyone: nothing in them may hide a file, steer a terminal or reverse
// the name on screen, whichever field carries it.
struct HostileCase {
  std::string value;
  std::string cleaned;
};

class HostileTagTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileTagTest, EveryFieldIsCleaned) {
  const HostileCase& c = GetParam();
  AudioMetadata tags;
  tags.artist = tags.album = tags.title = tags.genre = c.value;
  // A value that cleans down to nothing counts as missing.
  const std::map<std::string, std::string> fallbacks = {
      {"{artist}", "Unknown Artist"}, {"{album}", "Unknown Album"}, {"{title}", "Song"},
      {"{genre}", ""}, {"{albumartist}", "Unknown Artist"}};
  for (const auto& [field, fallback] : fallbacks) {
    const std::string expected = c.cleaned.empty() ? fallback : c.cleaned;
    const auto result = expand(field + "/" + field + " - {track}", tags);
    EXPECT_EQ(result.subdirectory, expected.empty() ? std::nullopt : std::optional(expected)) << field;
    EXPECT_EQ(result.fileName, expected.empty() ? "Song" : expected) << field;
  }
  EXPECT_EQ(NamingTemplate::sanitizeComponent(c.value), c.cleaned);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, HostileTagTest,
    ::testing::Values(HostileCase{"\x1b[31mRed\x1b[0m", "[31mRed[0m"},
                      HostileCase{"Line\rBreak\n", "Line Break"},
                      HostileCase{"\xe2\x80\xae" "evil\xe2\x80\xac.exe", "evil.exe"},
                      HostileCase{"\xe2\x81\xa6" "L\xe2\x81\xa7" "R\xe2\x81\xa8" "F\xe2\x81\xa9", "LRF"},
                      HostileCase{"C1\xc2\x9b" "csi", "C1csi"},
                      HostileCase{".hidden", "hidden"},
                      HostileCase{" . ..dots", "dots"},
                      HostileCase{"-rf", "rf"},
                      HostileCase{"caf\xe9", "caf\xe9"},
                      HostileCase{"\x1b\r", ""}));

// An empty field takes its separator along; other text stays.
struct EmptyFieldCase {
  std::string templateText;
  std::string fileName;
};

class EmptyFieldTest : public ::testing::TestWithParam<EmptyFieldCase> {};

TEST_P(EmptyFieldTest, LeavesNoStraySeparator) {
  AudioMetadata tags;
  tags.title = "T";
  tags.artist = "A";
  tags.genre = "";
  EXPECT_EQ(expand(GetParam().templateText, tags, "file").fileName, GetParam().fileName);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, EmptyFieldTest,
    ::testing::Values(EmptyFieldCase{"{track} - {filename}.{ext}", "file.mp3"},
                      EmptyFieldCase{"{artist} - {genre} - {title}", "A - T"},
                      EmptyFieldCase{"{track}_{title}_{disc}", "T"},
                      EmptyFieldCase{"{title} ({year})", "T ()"},
                      EmptyFieldCase{" - {title} - ", "T"}));

}  // namespace
}  // namespace vexal
