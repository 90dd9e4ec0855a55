// What vexal-cli tells a user or a script: which path failed and why, what it skipped,
// every output kept, and a live line that fits the terminal.

#include <gmock/gmock.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QRegularExpression>
#include <clocale>
#include <fstream>

#include "app/cli_fixture.h"
#include "app/cli_terminal.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;
using testing::HasSubstr;

// A missing path among good ones, and a FIFO named like audio in a folder: both named in
// a warning, and the run fails although every file it found converted.
TEST_F(Cli, SkippedAndMissingInputsAreNamedAndFailTheRun) {
  fs::create_directories(dir / "in" / "sub");
  test::writeWav(dir / "in" / "sub" / "a.wav", 4410);
  ASSERT_EQ(::mkfifo((dir / "in" / "sub" / "pipe.wav").c_str(), 0600), 0);
  const CliRun result = run({"--format", "flac", "--output", q(dir / "out"), "in", "gone.wav"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err.toStdString(), HasSubstr("warning: in/sub/pipe.wav: a FIFO"));
  EXPECT_THAT(result.err.toStdString(), HasSubstr("warning: gone.wav: no such file or folder"));
  EXPECT_THAT(result.out.toStdString(), HasSubstr("1 of 1 file converted successfully."));
  EXPECT_EQ(framesOf(dir / "out" / "in" / "sub" / "a.flac"), 4410);
}

// One format of a job fails (a file stands where its folder would go): the job is named by
// its path as given, the reason is in words, and the output of the other format is listed.
TEST_F(Cli, AFailedFormatNamesThePathAndListsTheKeptOutput) {
  fs::create_directories(dir / "in" / "sub");
  test::writeWav(dir / "in" / "sub" / "a.wav", 4410);
  fs::create_directories(dir / "out");
  std::ofstream(dir / "out" / "MP3") << "a file, not a folder";
  const CliRun result = run({"--format", "flac,mp3", "--template", "{format}/{filename}",
                             "--output", q(dir / "out"), "in"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.out.toStdString(),
              HasSubstr("in/sub/a.wav: MP3: Create destination failed (OSStatus -20: Not a "
                        "directory)\n  FLAC -> " + (dir / "out" / "FLAC" / "a.flac").string() + "\n"));
  EXPECT_EQ(framesOf(dir / "out" / "FLAC" / "a.flac"), 4410);
}

// The live line on a narrow terminal: every redraw fits, one column to spare (some
// terminals wrap at the last one), its middle giving way.
TEST_F(Cli, LiveLineFitsTheTerminal) {
  const std::string name = std::string(120, 'n') + ".wav";
  test::writeWav(dir / name, 22050);
  const std::string home = "HOME=" + (dir / "home").string();
  const std::string data = "XDG_DATA_HOME=" + dataHome.string();
  char* const environment[] = {const_cast<char*>(home.c_str()), const_cast<char*>(data.c_str()),
                               const_cast<char*>("LANG=C.UTF-8"), nullptr};
  const std::string out = (dir / "out").string();
  const std::string folder = dir.path().string();
  winsize size{};
  size.ws_col = 24;
  size.ws_row = 24;
  int terminal = -1;
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only stderr on the terminal: the live line; the listing goes elsewhere.
    const int nowhere = ::open("/dev/null", O_WRONLY);
    if (nowhere < 0 || ::dup2(nowhere, STDOUT_FILENO) < 0 || ::chdir(folder.c_str()) != 0) ::_exit(3);
    ::execle(VEXAL_CLI_PATH, "vexal-cli", "--format", "flac", "--output", out.c_str(), name.c_str(),
             nullptr, environment);
    ::_exit(4);
  }
  std::string written;
  char buffer[4096];
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) written.append(buffer, got);
  ::close(terminal);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << written;
  // Each redraw starts with "\r" and erase-to-end of line.
  int drawn = 0;
  for (QString line : QString::fromUtf8(written).split("\r\033[K")) {
    line = line.section(QRegularExpression("[\r\n]"), 0, 0);
    if (!line.startsWith('[')) continue;
    ++drawn;
    EXPECT_LE(line.size(), 23) << line.toStdString();
  }
  EXPECT_GT(drawn, 0) << written;
}

// Wide characters take two columns: a Japanese name gives way by columns, not characters,
// and keeps both of its ends.
TEST(Terminal, ElisionCountsColumns) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  const QString name = QStringLiteral("\u65e5\u672c\u8a9e\u306e\u540d\u524d\u3067\u3059.flac");
  const QString fitted = elideMiddle(name, 10);
  EXPECT_EQ(fitted, QStringLiteral("\u65e5\u672c\u2026.flac"));
  EXPECT_EQ(displayColumns(fitted), 10);
  EXPECT_EQ(elideMiddle(name, 30), name);
}

}  // namespace
}  // namespace vexal
