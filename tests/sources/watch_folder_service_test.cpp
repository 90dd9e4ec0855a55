#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <gmock/gmock.h>

#include "sources/watch_folder_service.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

QString toQString(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

void writeFile(const QString& path, const QByteArray& bytes = QByteArray(1000, 'x')) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

class WatchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.setOnFilesDetected([this](const QStringList& files) {
      reports_.push_back(files);
      reportTimes_.push_back(clock_.elapsed());
    });
    clock_.start();
  }

  QString path(const QString& name) const { return QDir(folder_).absoluteFilePath(name); }
  QStringList allReported() const {
    QStringList all;
    for (const auto& report : reports_) all += report;
    return all;
  }
  bool waitForReports(std::size_t count, int timeoutMs = 4000) {
    return QTest::qWaitFor([&] { return reports_.size() >= count; }, timeoutMs);
  }

  test::TempDir dir_;
  QString folder_ = toQString(dir_.path());
  WatchFolderService service_;
  std::vector<QStringList> reports_;
  std::vector<qint64> reportTimes_;
  QElapsedTimer clock_;
};

TEST_F(WatchFolder, CopiedFileIsReportedOnceAfterItSettles) {
  QSignalSpy watching(&service_, &WatchFolderService::watchingChanged);
  service_.startWatching(folder_);
  EXPECT_TRUE(service_.isWatching());
  EXPECT_EQ(watching.count(), 1);

  const qint64 copiedAt = clock_.elapsed();
  writeFile(path("a.flac"));
  ASSERT_TRUE(waitForReports(1));
  EXPECT_GE(reportTimes_[0] - copiedAt, WatchFolderService::kStableMs - 50);
  EXPECT_THAT(reports_[0], ElementsAre(path("a.flac")));
  EXPECT_TRUE(service_.knownFiles().contains(path("a.flac")));

  // Further events (a new unrelated entry) report nothing again.
  writeFile(path("notes.txt"));
  QTest::qWait(1500);
  EXPECT_EQ(reports_.size(), 1u);
}

TEST_F(WatchFolder, OnlyDirectAudioEntriesAreReported) {
  service_.startWatching(folder_);
  ASSERT_TRUE(QDir(folder_).mkdir("sub"));
  writeFile(path("sub/inner.flac"));
  writeFile(path(".hidden.flac"));
  writeFile(path("notes.txt"));
  writeFile(path("song.MP3"));
  writeFile(path("album.cue"));
  writeFile(path("noextension"));
  ASSERT_TRUE(waitForReports(1));
  QTest::qWait(600);
  QStringList reported = allReported();
  reported.sort();
  EXPECT_THAT(reported, ElementsAre(path("album.cue"), path("song.MP3")));
}

TEST_F(WatchFolder, GrowingFileWaitsUntilItStopsGrowing) {
  service_.startWatching(folder_);
  const QString growing = path("long.wav");
  writeFile(growing);
  qint64 lastWriteAt = 0;
  for (int i = 0; i < 7; ++i) {  // about two seconds of copying
    QTest::qWait(300);
    writeFile(growing);
    lastWriteAt = clock_.elapsed();
    EXPECT_THAT(reports_, IsEmpty()) << "reported while still growing";
    EXPECT_THAT(service_.waitingFiles(), ElementsAre(growing));
  }
  ASSERT_TRUE(waitForReports(1));
  EXPECT_GE(reportTimes_[0] - lastWriteAt, WatchFolderService::kStableMs - 50);
  EXPECT_THAT(reports_[0], ElementsAre(growing));
  EXPECT_EQ(QFileInfo(growing).size(), 8 * 1000);
}

TEST_F(WatchFolder, SamePathIsNeverReportedTwice) {
  service_.startWatching(folder_);
  writeFile(path("again.ogg"));
  ASSERT_TRUE(waitForReports(1));
  ASSERT_TRUE(QFile::remove(path("again.ogg")));
  writeFile(path("again.ogg"));
  writeFile(path("other.opus"));
  ASSERT_TRUE(waitForReports(2));
  QTest::qWait(400);
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_THAT(reports_[1], ElementsAre(path("other.opus")));
}

TEST_F(WatchFolder, FilesPresentBeforeWatchingComeWithTheFirstChange) {
  writeFile(path("old.mp3"));
  service_.startWatching(folder_);
  QTest::qWait(300);
  EXPECT_THAT(reports_, IsEmpty());
  writeFile(path("new.mp3"));
  ASSERT_TRUE(waitForReports(1));
  QTest::qWait(300);
  QStringList reported = allReported();
  reported.sort();
  EXPECT_THAT(reported, ElementsAre(path("new.mp3"), path("old.mp3")));
}

TEST_F(WatchFolder, StoppingDropsFilesStillSettling) {
  service_.startWatching(folder_);
  writeFile(path("a.wav"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !service_.waitingFiles().isEmpty(); }, 2000));
  service_.stopWatching();
  EXPECT_FALSE(service_.isWatching());
  EXPECT_EQ(service_.watchedFolder(), folder_);
  EXPECT_TRUE(service_.waitingFiles().isEmpty());
  QTest::qWait(1300);
  EXPECT_THAT(reports_, IsEmpty());
  EXPECT_TRUE(service_.knownFiles().empty());
}

TEST_F(WatchFolder, FolderThatCannotBeOpenedStaysWatchingSilently) {
  const QString missing = path("not-there");
  service_.startWatching(missing);
  EXPECT_TRUE(service_.isWatching());
  EXPECT_EQ(service_.watchedFolder(), missing);
  ASSERT_TRUE(QDir(folder_).mkdir("not-there"));
  writeFile(path("not-there/late.flac"));
  QTest::qWait(300);
  EXPECT_THAT(reports_, IsEmpty());
}

}  // namespace
}  // namespace vexal
