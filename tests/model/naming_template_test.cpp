#include <gtest/gtest.h>

#include "model/naming_template.h"

namespace vexal {
namespace {

NamingResult expand(std::string templateText, const std::optional<AudioMetadata>& metadata,
                    std::string base = "Song") {
  return NamingTemplate{std::move(templateText)}.expand(metadata, base, "mp3");
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
  EXPECT_EQ(expand("{artist}/{album}/{track} - {title}", tags).fileName, " - Intro");
}

TEST(NamingTemplate, SeparatorsOfEmptyValuesAreTidied) {
  AudioMetadata tags;
  tags.title = "Why?";
  EXPECT_EQ(expand("{track} - {title}", tags).fileName, "Why_");
  EXPECT_EQ(expand("{artist} - {title}", tags).fileName, "Unknown Artist - Why_");
  EXPECT_EQ(expand("{genre}", tags, " base ").fileName, "base");
  AudioMetadata albumAndTitle;
  albumAndTitle.title = "T";
  albumAndTitle.album = "A";
  const auto collapsed = expand("/{album}//{title}/", albumAndTitle);
  EXPECT_EQ(collapsed.subdirectory, "A");
  EXPECT_EQ(collapsed.fileName, "T");
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
  EXPECT_EQ(NamingTemplate::sanitizeComponent(std::string("x\0y", 3)), "x_y");
}

}  // namespace
}  // namespace vexal
