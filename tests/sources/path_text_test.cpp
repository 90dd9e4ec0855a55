#include <gtest/gtest.h>

#include "sources/path_text.h"

namespace vexal {
namespace {

// Any byte string survives the trip through a QString; valid UTF-8 reads as itself.
class PathText : public ::testing::TestWithParam<std::string> {};

TEST_P(PathText, RoundTripsEveryByte) {
  const std::filesystem::path path(GetParam());
  const QString text = pathToQString(path);
  EXPECT_EQ(pathFromQString(text), path);
  const QByteArray utf8(GetParam().data(), static_cast<qsizetype>(GetParam().size()));
  if (QString::fromUtf8(utf8).toUtf8() == utf8) {
    EXPECT_EQ(text, QString::fromUtf8(utf8));
  }
}

INSTANTIATE_TEST_SUITE_P(Names, PathText,
                         ::testing::Values(std::string("/music/plain.flac"), std::string("/m/caf\xe9.wav"),
                                           std::string("\xc3\xa9t\xc3\xa9 \xf0\x9f\x8e\xb5"),
                                           std::string("\xc3"), std::string("\xc0\xaf overlong"),
                                           std::string("\xe0\x80\xaf overlong"),
                                           std::string("\xf0\x80\x80\xaf overlong"),
                                           std::string("\xed\xb3\xa9 surrogate"),
                                           std::string("\xf4\x90\x80\x80 beyond"),
                                           std::string("\xef\xbf\xbd kept"), std::string("\xff\xfe")));

// A file manager's list: its escapes keep their bytes, comments, other hosts and other
// schemes are left out.
TEST(UriList, LocalFilesKeepTheirBytes) {
  const QStringList paths = localPathsOfUriList(
      "# dragged\r\nfile:///m/caf%E9.wav\r\nfile://localhost/m/a%20b.flac\r\n"
      "FILE:/m/c.ogg\r\nfile://other/m/d.wav\r\nhttps://example.org/e.wav\r\n"
      "file:///m/f.mp3?x#y");
  ASSERT_EQ(paths.size(), 4);
  EXPECT_EQ(pathFromQString(paths[0]), std::filesystem::path("/m/caf\xe9.wav"));
  EXPECT_EQ(paths[1], "/m/a b.flac");
  EXPECT_EQ(paths[2], "/m/c.ogg");
  EXPECT_EQ(paths[3], "/m/f.mp3");
}

}  // namespace
}  // namespace vexal
