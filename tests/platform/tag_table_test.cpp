// The README's table of where each property goes is the writers' own mapping: it is
// generated here and must equal the README's copy (on a mismatch the test prints the
// table to paste).

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/media_assets.h"

namespace vexal::platform {
namespace {

// The properties taggers write most (MusicBrainz Picard's names), and a name no format
// knows standing for any other.
constexpr std::string_view kRows =
    "TITLE ARTIST ALBUM ALBUMARTIST GENRE COMPOSER DATE TRACKNUMBER DISCNUMBER TITLESORT "
    "ARTISTSORT ALBUMSORT ALBUMARTISTSORT COMPOSERSORT ORIGINALDATE RELEASEDATE "
    "COMPILATION BPM COMMENT LYRICS LYRICIST CONDUCTOR ARRANGER REMIXER PRODUCER LABEL "
    "CATALOGNUMBER BARCODE ISRC MEDIA DISCSUBTITLE GROUPING MOOD COPYRIGHT LANGUAGE "
    "SCRIPT RELEASECOUNTRY RELEASESTATUS RELEASETYPE ASIN MUSICBRAINZ_TRACKID "
    "MUSICBRAINZ_RELEASETRACKID MUSICBRAINZ_ALBUMID MUSICBRAINZ_ARTISTID "
    "MUSICBRAINZ_ALBUMARTISTID MUSICBRAINZ_RELEASEGROUPID MUSICBRAINZ_WORKID ACOUSTID_ID "
    "NAME";

std::string code(const std::string& text) {
  return text.empty() ? "-" : "`" + text + "`";
}

std::string generatedTable() {
  std::string table =
      "| Property | FLAC, Ogg Vorbis, Opus | MP3 (ID3v2.3) | AAC, ALAC (M4A) "
      "|\n|---|---|---|---|\n";
  std::istringstream rows{std::string(kRows)};
  for (std::string property; rows >> property;) {
    const PropertyPlacement placement = placementOf(property);
    const bool other = property == "NAME";
    table += "| " + (other ? std::string("any other NAME") : code(property)) + " | " +
             code(property) + " | " + code(placement.mp3) + " | " + code(placement.m4a) + " |\n";
  }
  return table;
}

TEST(TagTableTest, ReadmeListsTheWritersMapping) {
  std::ifstream in(VEXAL_SOURCE_DIR "/README.md");
  const std::string readme{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::string begin = "<!-- property table -->\n";
  const std::string end = "<!-- end of property table -->";
  const auto from = readme.find(begin);
  const auto to = readme.find(end);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const std::string table = generatedTable();
  EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), table) << table;
}

}  // namespace
}  // namespace vexal::platform
