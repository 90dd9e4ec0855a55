#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <limits>

#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "persistence_test_support.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const QDateTime kReferenceDate(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);

using test::readAll;
using test::toQString;
using test::writeAll;

ConversionHistoryEntry makeEntry(const QString& name, int secondsAfterReference = 0) {
  ConversionHistoryEntry entry;
  entry.date = kReferenceDate.addSecs(secondsAfterReference);
  entry.sourceFileName = name + ".flac";
  entry.sourcePath = "/music/in/" + name + ".flac";
  entry.outputFileName = name + ".mp3";
  entry.outputPath = "/music/out/" + name + ".mp3";
  entry.outputFormat = "MP3";
  entry.duration = 1.25;
  entry.successful = true;
  return entry;
}

// A successful entry omits the absent optionals; a failed one keeps them, with a
// fractional date and a size beyond 32 bits.
TEST(HistoryJson, WritesExactKeysAndValuesAndReadsThemBack) {
  ConversionHistoryEntry entry = makeEntry("song");
  entry.id = *Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ConversionHistoryEntry failed = makeEntry("broken");
  failed.date = kReferenceDate.addMSecs(86'400'250);  // one day and 250 ms
  failed.successful = false;
  failed.errorMessage = "Cancelled";
  failed.fileSizeBefore = 5'000'000'000LL;
  failed.fileSizeAfter = 0;
  const QByteArray json = encodeHistory({entry, failed});

  EXPECT_THAT(json.toStdString(), HasSubstr("\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\""));
  EXPECT_THAT(json.toStdString(), HasSubstr("\"date\":86400.25"));
  const QJsonArray array = QJsonDocument::fromJson(json).array();
  ASSERT_EQ(array.size(), 2);
  EXPECT_EQ(array.at(0).toObject().size(), 9);
  EXPECT_EQ(array.at(1).toObject().size(), 12);

  const auto decoded = decodeHistory(json);
  ASSERT_TRUE(decoded);
  EXPECT_THAT(*decoded, ElementsAre(entry, failed));
}

TEST(HistoryJson, NumbersJsonCannotHoldStillGiveADecodableFile) {
  ConversionHistoryEntry entry = makeEntry("odd");
  entry.duration = std::numeric_limits<double>::quiet_NaN();
  entry.date = QDateTime();
  const auto decoded = decodeHistory(encodeHistory({entry, makeEntry("fine")}));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), 2u);
  EXPECT_EQ(decoded->front().duration, 0.0);
}

// One damaged entry among good ones rejects the whole file.
class HistoryJsonRejects : public ::testing::TestWithParam<std::pair<const char*, QJsonValue>> {};

TEST_P(HistoryJsonRejects, WholeFile) {
  const auto& [key, value] = GetParam();
  EXPECT_FALSE(decodeHistory(test::withKey(encodeHistory({makeEntry("a"), makeEntry("b")}), 1, key, value)));
}

INSTANTIATE_TEST_SUITE_P(
    BadValues, HistoryJsonRejects,
    ::testing::Values(std::pair{"id", QJsonValue("not-a-uuid")},
                      std::pair{"id", QJsonValue(QJsonValue::Undefined)},
                      std::pair{"date", QJsonValue("2001-01-01")},
                      std::pair{"duration", QJsonValue(QJsonValue::Null)},
                      std::pair{"errorMessage", QJsonValue(42)},
                      std::pair{"fileSizeBefore", QJsonValue(1.5)}));

class HistoryStore : public ::testing::Test {
 protected:
  // The entries the file holds; none when it does not decode.
  std::vector<ConversionHistoryEntry> written() const {
    return decodeHistory(readAll(path_)).value_or(std::vector<ConversionHistoryEntry>{});
  }

  test::TempDir dir_;
  QString path_ = toQString(dir_ / "history.json");
};

TEST_F(HistoryStore, KeepsTheNewest500) {
  ConversionHistoryManager history(path_);
  for (int i = 0; i < 501; ++i) history.add(makeEntry(QString::number(i), i));
  ASSERT_EQ(history.entries().size(), 500u);
  EXPECT_EQ(history.entries().front().sourceFileName, "500.flac");
  EXPECT_EQ(history.entries().back().sourceFileName, "1.flac");
}

// Each addition restarts the wait: a burst is written once, after its last entry. The
// delay is shortened; the waits are well inside and beyond it.
TEST_F(HistoryStore, BurstOfAdditionsIsWrittenOnceAfterTheLast) {
  ConversionHistoryManager history(path_);
  history.setSaveDelay(std::chrono::milliseconds(600));
  for (const char* name : {"a", "b", "c"}) {
    history.add(makeEntry(name));
    QTest::qWait(300);  // past the delay since the first addition, within it since this one
    EXPECT_FALSE(QFile::exists(path_)) << name;
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path_); }, 5000));
  ASSERT_EQ(written().size(), 3u);
  EXPECT_EQ(written().front().sourceFileName, "c.flac");
  EXPECT_FALSE(history.hasPendingSave());
}

TEST_F(HistoryStore, DestructionWritesAPendingSaveAndOnlyThen) {
  writeAll(path_, encodeHistory({makeEntry("kept")}));
  const QByteArray before = readAll(path_);
  { ConversionHistoryManager history(path_); }  // nothing pending: the file stays
  EXPECT_EQ(readAll(path_), before);
  {
    ConversionHistoryManager history(path_);
    history.add(makeEntry("last", 10));
  }
  ASSERT_EQ(written().size(), 2u);
  EXPECT_EQ(written().front().sourceFileName, "last.flac");
}

// Two processes adding at the same time, each saving after every entry: the read–merge–
// write under the lock keeps all of them.
TEST_F(HistoryStore, TwoProcessesAddingAtOnceKeepEveryEntry) {
  constexpr int kPerProcess = 50;
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      {
        ConversionHistoryManager history(path_);
        history.load();
        for (int i = 0; i < kPerProcess; ++i) {
          history.add(makeEntry(QStringLiteral("p%1-%2").arg(process).arg(i), i));
          failures += history.saveNow() ? 0 : 1;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(written().size(), 2u * kPerProcess);
}

// What another process removed stays removed, a clear empties the file (entries this
// process never saw included), and entries added after the clear survive it.
TEST_F(HistoryStore, MergeHonoursRemovalsOfEitherProcess) {
  ConversionHistoryManager first(path_);
  first.add(makeEntry("a", 1));
  ASSERT_TRUE(first.saveNow());

  ConversionHistoryManager second(path_);
  second.load();
  ASSERT_EQ(second.entries().size(), 1u);
  first.clear();  // removes "a" from the file
  second.add(makeEntry("b", 2));
  ASSERT_TRUE(second.saveNow());
  ASSERT_EQ(second.entries().size(), 1u);
  EXPECT_EQ(second.entries().front().sourceFileName, "b.flac");

  ConversionHistoryManager third(path_);
  third.add(makeEntry("x", 3));
  ASSERT_TRUE(third.saveNow());  // never seen by `second`, cleared all the same
  second.clear();
  first.add(makeEntry("c", 4));
  ASSERT_TRUE(first.saveNow());
  ASSERT_EQ(written().size(), 1u);
  EXPECT_EQ(written().front().sourceFileName, "c.flac");
  EXPECT_EQ(first.entries(), written());
}

TEST_F(HistoryStore, UndecodableFileIsKeptAsideAndLoadsEmpty) {
  const QByteArray damaged = encodeHistory({makeEntry("a")}).replace("successful\":true", "successful\":\"yes\"");
  writeAll(path_, damaged);
  ConversionHistoryManager history(path_);
  history.load();
  EXPECT_TRUE(history.entries().empty());

  const QStringList aside = QDir(toQString(dir_.path())).entryList({"history.json.*.corrupt"}, QDir::Files);
  ASSERT_EQ(aside.size(), 1);
  const QString asidePath = toQString(dir_ / aside.front().toStdString());
  EXPECT_EQ(readAll(asidePath), damaged);

  history.add(makeEntry("new"));
  ASSERT_TRUE(history.saveNow());
  EXPECT_EQ(written().size(), 1u);
  EXPECT_EQ(readAll(asidePath), damaged);
}

// A folder in place of the file makes the final rename fail: reported once, the entries
// stay in memory and are written once the way is clear.
TEST_F(HistoryStore, FailedSaveIsReportedOnceAndKeepsEntries) {
  ASSERT_TRUE(QDir().mkpath(path_));
  ConversionHistoryManager history(path_);
  QSignalSpy failed(&history, &ConversionHistoryManager::saveFailed);
  for (const char* name : {"a", "b"}) {
    history.add(makeEntry(name));
    EXPECT_FALSE(history.saveNow());
  }
  EXPECT_EQ(history.entries().size(), 2u);
  ASSERT_EQ(failed.count(), 1);
  EXPECT_THAT(failed.front().front().toString().toStdString(), HasSubstr("history.json"));

  ASSERT_TRUE(QDir(path_).removeRecursively());
  ASSERT_TRUE(history.saveNow());
  EXPECT_EQ(written().size(), 2u);
}

// One save of each store in a child set up by `prepare`: bit 1 of the result when the
// history reported success, bit 2 the preset; -1 when the child did not exit.
int savesReportedInChild(const std::function<void()>& prepare, const QString& historyPath,
                         const QString& presetsPath) {
  const pid_t child = ::fork();
  if (child == 0) {
    prepare();
    ConversionHistoryManager history(historyPath);
    history.add(makeEntry("a"));
    PresetManager presets(presetsPath);
    const bool historySaved = history.saveNow();
    const bool presetSaved = presets.add(ConversionPreset("P", ConversionSettings{})).has_value();
    ::_exit((historySaved ? 1 : 0) + (presetSaved ? 2 : 0));
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A file-size limit that shows only when the temporary is flushed: both stores report
// the failure, and no cut-short file takes the history's place.
TEST_F(HistoryStore, FailedFinalCommitIsReportedByBothStores) {
  const auto limitFileSize = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};  // bytes: less than one entry
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  EXPECT_EQ(savesReportedInChild(limitFileSize, path_, toQString(dir_ / "presets.json")), 0)
      << "1: history, 2: preset reported as saved";
  EXPECT_FALSE(QFile::exists(path_)) << "a cut-short file took the history's place";
}

// Only the final rename fails (root's files in a sticky folder, the stores run as
// "nobody"): both stores report the failure and the files keep what they held.
TEST_F(HistoryStore, FailedFinalRenameIsReportedByBothStores) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files another user cannot replace";
  constexpr uid_t kNobody = 65534;
  const std::filesystem::path sticky = dir_ / "shared";
  std::filesystem::create_directory(sticky);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  const QString historyPath = toQString(sticky / "history.json");
  const QString presetsPath = toQString(sticky / "presets.json");
  for (const QString& path : {historyPath, presetsPath}) {
    writeAll(path, "[]");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0666), 0);
  }
  const auto becomeNobody = [] {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(4);
  };
  EXPECT_EQ(savesReportedInChild(becomeNobody, historyPath, presetsPath), 0)
      << "1: history, 2: preset reported as saved";
  EXPECT_EQ(readAll(historyPath), "[]");
  EXPECT_EQ(readAll(presetsPath), "[]");
}

}  // namespace
}  // namespace vexal
