// The two reading passes over item lists as the media-asset layer could present them.

#include "metadata/metadata_items.h"

#include <gtest/gtest.h>

// Expected records name only the fields they hold; GCC 12 warns about the rest.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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

struct ItemsCase {
  std::string name;
  std::vector<MediaItem> items;
  AudioMetadata expected;
};

class ItemsTest : public testing::TestWithParam<ItemsCase> {};

TEST_P(ItemsTest, GivesTheExpectedRecord) {
  EXPECT_EQ(metadataFromItems(GetParam().items), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ItemsTest,
    testing::Values(
        // The ID3 track is only a fallback; after "a/12" left the track absent, its lone
        // piece keeps the total of the first item.
        ItemsCase{"Id3TrackIsAFallback",
                  {text(Id::iTunesTrackNumber, "4/9"), text(Id::id3TrackNumber, "5/10")},
                  {.trackNumber = 4, .trackTotal = 9}},
        ItemsCase{"Id3TrackAfterAnUnreadableOne",
                  {text(Id::iTunesTrackNumber, "a/12"), text(Id::id3TrackNumber, "6")},
                  {.trackNumber = 6, .trackTotal = 12}},
        // Texts of one identifier join (repeats once), numbers take the first; a disc
        // number needs a number value.
        ItemsCase{"TextsJoinNumbersTakeTheFirst",
                  {text(Id::iTunesUserGenre, "Jazz"), text(Id::iTunesUserGenre, "Rock"),
                   text(Id::iTunesUserGenre, "Jazz"), number(Id::iTunesDiscNumber, 2),
                   number(Id::iTunesDiscNumber, 5), text(Id::iTunesDiscNumber, "7")},
                  {.discNumber = 2, .genre = "Jazz; Rock"}},
        ItemsCase{"DiscAsTextIsIgnored", {text(Id::iTunesDiscNumber, "2")}, {}},
        // The ID3 content type is the genre fallback, verbatim; an empty iTunes genre is
        // a genre, one without a text is not.
        ItemsCase{"Id3GenreVerbatim", {text(Id::id3ContentType, "(17)")}, {.genre = "(17)"}},
        ItemsCase{"EmptyITunesGenreWins",
                  {text(Id::iTunesUserGenre, ""), text(Id::id3ContentType, "Rock")},
                  {.genre = ""}},
        ItemsCase{"ITunesGenreWithoutText",
                  {text(Id::iTunesUserGenre, std::nullopt), text(Id::id3ContentType, "Rock")},
                  {.genre = "Rock"}},
        // The release date, then the ID3 year; only four leading digits make a year.
        ItemsCase{"ReleaseTimestamp",
                  {text(Id::iTunesReleaseDate, "2004-05-17T07:00:00Z")},
                  {.year = 2004, .date = "2004-05-17T07:00:00Z"}},
        ItemsCase{"ReleaseDateBeforeId3Year",
                  {text(Id::iTunesReleaseDate, "2004"), text(Id::id3Year, "1990")},
                  {.year = 2004}},
        ItemsCase{"ShortReleaseDate",
                  {text(Id::iTunesReleaseDate, "204"), text(Id::id3Year, "1997-05")},
                  {.year = 1997, .date = "1997-05"}},
        ItemsCase{"NotAYear",
                  {text(Id::iTunesReleaseDate, "20045"), text(Id::id3Year, " 2004")},
                  {}},
        // Common keys take the last item, even when its value is absent.
        ItemsCase{"LastCommonKeyWins",
                  {text("id3/TIT2", "First", CommonKey::title),
                   text("xiph/TITLE", "Second", CommonKey::title)},
                  {.title = "Second"}},
        ItemsCase{"LastCommonKeyWithoutValue",
                  {text("id3/TIT2", "First", CommonKey::title),
                   text("id3/TIT2", std::nullopt, CommonKey::title)},
                  {}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vexal::MetadataService
