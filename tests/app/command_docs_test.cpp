// The manual pages and shell completions the build writes, held against --help.

#include <gmock/gmock.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include "app/cli_fixture.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;

QString readText(const fs::path& path) {
  QFile file(test::q(path));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
  return QString::fromUtf8(file.readAll());
}

// "-j" and "--jobs" of a help line "  -j, --jobs <N>  Convert ...".
QStringList helpOptions(const QString& program) {
  QProcess process;
  process.start(program, {"--help"});
  EXPECT_TRUE(process.waitForFinished(30'000));
  QStringList options;
  static const QRegularExpression line(R"(^  (-\w)?(?:, )?(--[\w-]+))");
  for (const QString& text : QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n')) {
    const auto match = line.match(text);
    if (!match.hasMatch()) continue;
    if (match.hasCaptured(1)) options << match.captured(1);
    options << match.captured(2);
  }
  return options;
}

// How each file spells an option: the manual sets it in bold with its dashes escaped, fish
// names it by flag.
QString spelled(const QString& file, const QString& option) {
  const bool isLong = option.startsWith("--");
  if (file.endsWith(".1")) return "\\fB" + QString(option).replace("-", "\\-");
  if (file.endsWith(".fish")) return (isLong ? "-l " : "-s ") + option.mid(isLong ? 2 : 1);
  return option;
}

class CommandDocs : public testing::TestWithParam<const char*> {};

TEST_P(CommandDocs, ManualAndCompletionsNameEveryOptionOfHelp) {
  const QString program = GetParam();
  const fs::path tool = program == "vexal" ? VEXAL_WINDOW_PATH : VEXAL_CLI_PATH;
  const QStringList options = helpOptions(test::q(tool));
  EXPECT_THAT(options, testing::IsSupersetOf({QString("--help"), QString("--version")}));
  const fs::path docs = VEXAL_DOCS_DIR;
  for (const fs::path& file :
       {docs / "man" / (program + ".1").toStdString(), docs / "bash" / program.toStdString(),
        docs / "zsh" / ("_" + program).toStdString(), docs / "fish" / (program + ".fish").toStdString()}) {
    // Bash lists words in $'...' quotes, separated by "\n".
    const QString text = readText(file).replace("\\n", "\n");
    for (const QString& option : options) {
      const QString name = spelled(test::q(file), option);
      const QRegularExpression word("(^|[^\\w-])" + QRegularExpression::escape(name) + "([^\\w-]|$)",
                                    QRegularExpression::MultilineOption);
      EXPECT_TRUE(word.match(text).hasMatch()) << file << " lacks " << option.toStdString();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, CommandDocs, testing::Values("vexal-cli", "vexal"),
                         [](const auto& info) { return info.param == std::string("vexal") ? "window" : "tool"; });

// Bash completes formats inside a list, and presets from the user's own store.
TEST_F(Cli, BashCompletesFormatsAndSavedPresets) {
  ASSERT_EQ(run({"--format", "opus", "--save-preset", "Late Night"}).status, 0);
  const auto complete = [&](const QString& words) {
    QProcess bash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", test::q(dataHome));
    environment.insert("PATH", test::q(fs::path(VEXAL_CLI_PATH).parent_path()) + ":" +
                                   environment.value("PATH"));
    bash.setProcessEnvironment(environment);
    const QString script = "source " + test::q(fs::path(VEXAL_DOCS_DIR) / "bash" / "vexal-cli") +
                           "; COMP_WORDS=(" + words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                           "_vexal_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
    bash.start("bash", {"-c", script});
    EXPECT_TRUE(bash.waitForFinished(30'000));
    // One candidate a line, shown as "a|b".
    return QString::fromUtf8(bash.readAllStandardOutput()).trimmed().replace('\n', '|').toStdString();
  };
  EXPECT_EQ(complete("vexal-cli --format flac,o"), "flac,opus");
  EXPECT_EQ(complete("vexal-cli --preset 'La'"), "Late Night");
  EXPECT_EQ(complete("vexal-cli --normalize ''"), "peak|rms|lufs");
}

}  // namespace
}  // namespace vexal
