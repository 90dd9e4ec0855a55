// The two reading passes over item lists as the media-asset layer could present them.

#include "metadata/metadata_items.h"

#include <gtest/gtest.h>

namespace vexal::MetadataService {
namespace {

using platform::CommonKey;
using platform::MediaItem;
namespace Id = platform::MediaIdentifier;

MediaItem text(std::string_view identifier, std::optional<std::string> value,
               std::optional<CommonKey> key = std::nullopt) {
  return MediaItem{.commonKey = key, .identifier = std::string(identifier), .stringValue = value};
}

MediaItem number(std::string_view identifier, std::int64_t value) {
  return MediaItem{.identifier = std::string(identifier), .numberValue = value};
}

struct TrackCase {
  std::string text;
  std::optional<std::int64_t> track;
  std::optional<std::int64_t> total;
};

class TrackTextTest : public testing::TestWithParam<TrackCase> {};

TEST_P(TrackTextTest, ParsesNumberAndTotalFromTheITunesItemAndTheId3Frame) {
  for (const auto identifier : {Id::iTunesTrackNumber, Id::id3TrackNumber}) {
    const auto metadata = metadataFromItems({text(identifier, GetParam().text)});
    EXPECT_EQ(metadata.trackNumber, GetParam().track) << identifier;
    EXPECT_EQ(metadata.trackTotal, GetParam().total) << identifier;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TrackTextTest,
    testing::Values(TrackCase{"3/12", 3, 12}, TrackCase{"/12", 12, std::nullopt},
                    TrackCase{"a/12", std::nullopt, 12}, TrackCase{"3 / 12", std::nullopt, std::nullopt},
                    TrackCase{"+7", 7, std::nullopt}, TrackCase{"3//12", 3, 12},
                    TrackCase{"+-3", std::nullopt, std::nullopt},
                    TrackCase{"99999999999999999999", std::nullopt, std::nullopt}));

TEST(MetadataItemsTest, Id3TrackIsOnlyAFallback) {
  auto metadata =
      metadataFromItems({text(Id::iTunesTrackNumber, "4/9"), text(Id::id3TrackNumber, "5/10")});
  EXPECT_EQ(metadata.trackNumber, 4);
  EXPECT_EQ(metadata.trackTotal, 9);

  // "a/12" leaves the track absent, so the ID3 frame is still consulted; its lone piece
  // keeps the total of the first item.
  metadata =
      metadataFromItems({text(Id::iTunesTrackNumber, "a/12"), text(Id::id3TrackNumber, "6")});
  EXPECT_EQ(metadata.trackNumber, 6);
  EXPECT_EQ(metadata.trackTotal, 12);
}

TEST(MetadataItemsTest, TextsOfOneIdentifierJoinNumbersTakeTheFirst) {
  const auto metadata =
      metadataFromItems({text(Id::iTunesUserGenre, "Jazz"), text(Id::iTunesUserGenre, "Rock"),
                         text(Id::iTunesUserGenre, "Jazz"), number(Id::iTunesDiscNumber, 2),
                         number(Id::iTunesDiscNumber, 5)});
  EXPECT_EQ(metadata.genre, "Jazz; Rock");
  EXPECT_EQ(metadata.discNumber, 2);
  // A disc number needs a number value.
  EXPECT_FALSE(metadataFromItems({text(Id::iTunesDiscNumber, "2")}).discNumber);
}

TEST(MetadataItemsTest, GenreFallsBackToId3ContentTypeVerbatim) {
  EXPECT_EQ(metadataFromItems({text(Id::id3ContentType, "Rock")}).genre, "Rock");
  EXPECT_EQ(metadataFromItems({text(Id::id3ContentType, "(17)")}).genre, "(17)");
  // An empty iTunes genre is a genre: the ID3 frame is not tried.
  EXPECT_EQ(
      metadataFromItems({text(Id::iTunesUserGenre, ""), text(Id::id3ContentType, "Rock")}).genre,
      "");
  // An iTunes genre item without a text leaves room for the fallback.
  EXPECT_EQ(
      metadataFromItems({text(Id::iTunesUserGenre, std::nullopt), text(Id::id3ContentType, "Rock")})
          .genre,
      "Rock");
}

struct YearCase {
  std::optional<std::string> releaseDate;
  std::optional<std::string> id3Year;
  std::optional<std::int64_t> year;
};

class YearTest : public testing::TestWithParam<YearCase> {};

TEST_P(YearTest, ReleaseDateThenId3Year) {
  std::vector<MediaItem> items;
  if (GetParam().releaseDate) items.push_back(text(Id::iTunesReleaseDate, GetParam().releaseDate));
  if (GetParam().id3Year) items.push_back(text(Id::id3Year, GetParam().id3Year));
  EXPECT_EQ(metadataFromItems(items).year, GetParam().year);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, YearTest,
    testing::Values(YearCase{"2004-05-17T07:00:00Z", std::nullopt, 2004},
                    YearCase{"2004", "1990", 2004}, YearCase{"204", "1997", 1997},
                    YearCase{std::nullopt, "1997-05", 1997}, YearCase{"20045", std::nullopt, std::nullopt},
                    YearCase{" 2004", std::nullopt, std::nullopt}));

TEST(MetadataItemsTest, CommonKeysTakeTheLastItemEvenWhenItsValueIsAbsent) {
  auto metadata = metadataFromItems({text("id3/TIT2", "First", CommonKey::title),
                                     text("xiph/TITLE", "Second", CommonKey::title)});
  EXPECT_EQ(metadata.title, "Second");
  metadata = metadataFromItems({text("id3/TIT2", "First", CommonKey::title),
                                text("id3/TIT2", std::nullopt, CommonKey::title)});
  EXPECT_FALSE(metadata.title);
}

}  // namespace
}  // namespace vexal::MetadataService
