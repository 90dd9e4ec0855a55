#include <QDir>
#include <QFile>
#include <QTest>
#include <gmock/gmock.h>

#include "sources/watch_folder_service.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

void writeFile(const QString& path, const QByteArray& bytes = QByteArray(1000, 'x')) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

// The service's stability clock is one the test moves; only the folder events and the
// size poll (WatchFolderService::kSizePollMs) take real time.
class WatchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.setClock([this] { return now_; });
    service_.setOnFilesDetected([this](const QStringList& files) { reports_.push_back(files); });
  }

  QString path(const QString& name) const { return QDir(folder_).absoluteFilePath(name); }
  QStringList allReported() const {
    QStringList all;
    for (const auto& report : reports_) all += report;
    all.sort();
    return all;
  }
  bool waitUntilWaiting(int count) {
    return QTest::qWaitFor([&] { return service_.waitingFiles().size() == count; }, 4000);
  }
  // Moves the clock, then lets the size poll run at least once.
  void advance(qint64 ms) {
    now_ += ms;
    QTest::qWait(WatchFolderService::kSizePollMs + 100);
  }

  test::TempDir dir_;
  QString folder_ = QString::fromStdString(dir_.path().string());
  WatchFolderService service_;
  std::vector<QStringList> reports_;
  qint64 now_ = 0;
};

TEST_F(WatchFolder, AFileIsReportedOnceWhenItsSizeHeldForTheStableTime) {
  service_.startWatching(folder_);
  writeFile(path("a.flac"));
  ASSERT_TRUE(waitUntilWaiting(1));
  advance(WatchFolderService::kStableMs - 1);
  EXPECT_THAT(reports_, IsEmpty());
  advance(1);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_THAT(reports_[0], ElementsAre(path("a.flac")));

  // Removed and written again, the same path is never reported twice.
  ASSERT_TRUE(QFile::remove(path("a.flac")));
  writeFile(path("a.flac"));
  writeFile(path("b.opus"));
  ASSERT_TRUE(waitUntilWaiting(1));
  advance(WatchFolderService::kStableMs);
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_THAT(reports_[1], ElementsAre(path("b.opus")));
}

TEST_F(WatchFolder, GrowingFileWaitsUntilItStopsGrowing) {
  service_.startWatching(folder_);
  writeFile(path("long.wav"));
  ASSERT_TRUE(waitUntilWaiting(1));
  for (int i = 0; i < 2; ++i) {
    advance(WatchFolderService::kStableMs - 100);
    writeFile(path("long.wav"));
    advance(200);  // past the stable time since the first size, not since the growth
    EXPECT_THAT(reports_, IsEmpty()) << "reported while still growing";
  }
  advance(WatchFolderService::kStableMs);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(QFileInfo(path("long.wav")).size(), 3 * 1000);
}

// Direct entries with an accepted extension (any case) or a cue sheet; entries there
// before the start come with the first change.
TEST_F(WatchFolder, OnlyDirectAudioEntriesAreReported) {
  writeFile(path("old.mp3"));
  service_.startWatching(folder_);
  ASSERT_TRUE(QDir(folder_).mkdir("sub"));
  for (const char* name : {"sub/inner.flac", ".hidden.flac", "notes.txt", "song.MP3", "album.cue", "noextension"}) {
    writeFile(path(name));
  }
  ASSERT_TRUE(waitUntilWaiting(3));
  advance(WatchFolderService::kStableMs);
  EXPECT_THAT(allReported(), ElementsAre(path("album.cue"), path("old.mp3"), path("song.MP3")));
}

TEST_F(WatchFolder, StoppingDropsFilesStillSettling) {
  service_.startWatching(folder_);
  writeFile(path("a.wav"));
  ASSERT_TRUE(waitUntilWaiting(1));
  service_.stopWatching();
  EXPECT_FALSE(service_.isWatching());
  EXPECT_TRUE(service_.waitingFiles().isEmpty());
  advance(WatchFolderService::kStableMs);
  EXPECT_THAT(reports_, IsEmpty());
}

}  // namespace
}  // namespace vexal
