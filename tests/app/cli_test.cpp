#include <gmock/gmock.h>

#include <QJsonArray>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <random>

#include "app/cli_fixture.h"
#include "app/cli_progress.h"
#include "orchestration/verification.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;

struct UsageCase {
  QStringList arguments;
  QString named;  // what the message must name
};

void PrintTo(const UsageCase& usage, std::ostream* out) { *out << usage.arguments.join(' ').toStdString(); }

class CliUsage : public Cli, public testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsage, ExitsTwoNamingTheBadOptionOrValue) {
  std::ofstream(dir / "a.wav") << "";
  QStringList arguments = GetParam().arguments;
  arguments << q(dir / "a.wav");
  const CliRun result = run(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err.toStdString(), testing::HasSubstr(GetParam().named.toStdString()));
  EXPECT_FALSE(fs::exists(dir / "home" / "Music" / "a.wav"));
}

INSTANTIATE_TEST_SUITE_P(
    BadArguments, CliUsage,
    testing::Values(UsageCase{{"--frobnicate"}, "frobnicate"},
                    UsageCase{{"--format", "flac,ape"}, "'ape'"},
                    UsageCase{{"--format", "mp3", "--bitrate", "fast"}, "--bitrate"},
                    UsageCase{{"--format", "wav", "--fade-in", "-1"}, "--fade-in"},
                    UsageCase{{"--format", "wav", "--jobs", "0"}, "--jobs"},
                    UsageCase{{"--preset", "Nonexistent"}, "Nonexistent"},
                    UsageCase{{"--format", "wav", "--bit-depth", "32"}, "--bit-depth"},
                    UsageCase{{"--format", "wav", "--output", ".", "--watch", "."}, "--watch"},
                    UsageCase{{}, "--format"},
                    UsageCase{{"--format", "flac", "--delete"}, "--delete"},
                    UsageCase{{"--format", "flac", "--shard", "0/3"}, "--shard"},
                    UsageCase{{"--format", "flac", "--shard", "4/3"}, "--shard"},
                    UsageCase{{"--format", "flac", "--shard", "2"}, "--shard"}));

// A cue sheet into lossless and lossy formats at once: its tracks go into a folder named
// by its album title, and the history lists every output.
TEST_F(Cli, ConvertsACueSheetIntoSeveralFormats) {
  fs::create_directories(dir / "cd");
  test::writeWav(dir / "cd" / "image.wav", 3 * 44100, 44100, 2);
  std::ofstream(dir / "cd" / "image.cue") << "TITLE \"Live\"\nFILE \"image.wav\" WAVE\n"
                                             "TRACK 01 AUDIO\nTITLE \"Intro\"\nINDEX 01 00:00:00\n"
                                             "TRACK 02 AUDIO\nINDEX 01 00:02:00\n";
  const fs::path out = dir / "out";
  const CliRun result = run({"--format", "flac,mp3,wav", "--output", q(out), q(dir / "cd" / "image.cue")});
  ASSERT_EQ(result.status, 0) << result.err.toStdString() << result.out.toStdString();
  EXPECT_THAT(result.out.toStdString(), testing::HasSubstr("2 of 2 files converted successfully."));
  EXPECT_EQ(framesOf(out / "Live" / "01 Intro.flac"), 2 * 44100);
  EXPECT_EQ(framesOf(out / "Live" / "02 Track 2.wav"), 44100);
  EXPECT_GT(framesOf(out / "Live" / "02 Track 2.mp3"), 0);

  const CliRun history = run({"--history"});
  EXPECT_EQ(history.status, 0);
  EXPECT_EQ(history.out.count('\n'), 6);  // one line per output file
}

// A loud file normalised past its true-peak ceiling completes and says what it reached;
// with --limiter it reaches the target and has nothing to say.
TEST_F(Cli, NormalisationHeldAtTheCeilingSaysWhatItReached) {
  const auto source =
      test::writeAudio(dir.path(), "loud", test::pinkNoise(44100, 2, 1.0, -3.3), test::InputKind::wav24);
  const QStringList common{"--format", "flac", "--normalize", "lufs", "--target", "-9", "--output", q(dir / "out")};
  const CliRun held = run(QStringList(common) << q(source));
  ASSERT_EQ(held.status, 0) << held.err.toStdString();
  EXPECT_THAT(held.err.toStdString(),
              testing::ContainsRegex("loud.wav \\(FLAC\\): -9.0 LUFS requested, -1[0-9].[0-9] LUFS reached: "
                                     "true-peak ceiling -1 dBTP"));
  const CliRun limited = run(QStringList(common) << "--limiter" << q(source));
  ASSERT_EQ(limited.status, 0) << limited.err.toStdString();
  EXPECT_THAT(limited.err.toStdString(), testing::Not(testing::HasSubstr("requested")));
}

// Names that would steer a terminal are printed escaped; a name that is not UTF-8 still
// converts and is shown with a replacement character.
TEST_F(Cli, HostileAndNonUtf8NamesConvertAndPrintEscaped) {
  fs::create_directories(dir / "in");
  const std::string hostile = "\x1b[2J\xe2\x80\xaered\r";
  const std::string latin1 = "caf\xe9";
  test::writeWav(dir / "in" / (hostile + ".wav"), 4410, 44100, 1);
  test::writeWav(dir / "in" / (latin1 + ".wav"), 4410, 44100, 1);
  const CliRun result = run({"--format", "flac", "--output", q(dir / "out"), q(dir / "in")});
  ASSERT_EQ(result.status, 0) << result.err.toStdString() << result.out.toStdString();
  EXPECT_TRUE(fs::exists(dir / "out" / "in" / (latin1 + ".flac")));
  EXPECT_TRUE(fs::exists(dir / "out" / "in" / "[2Jred.flac"));
  for (const QChar raw : {QChar(0x1b), QChar(u'\r'), QChar(0x202e)}) EXPECT_FALSE(result.out.contains(raw));
  EXPECT_TRUE(result.out.contains(QStringLiteral("\\x1b[2J\\u202ered\\x0d.wav: Completed")));
  EXPECT_TRUE(result.out.contains(QStringLiteral("caf\ufffd.wav: Completed")));
}

// A folder holding no audio at all converts nothing: that is a failure, not a success.
TEST_F(Cli, ExitsOneWhenNothingIsFound) {
  fs::create_directories(dir / "notes");
  std::ofstream(dir / "notes" / "readme.txt") << "no audio here";
  const CliRun empty = run({"--format", "flac", "--output", q(dir / "out"), q(dir / "notes")});
  EXPECT_EQ(empty.status, 1);
  EXPECT_THAT(empty.err.toStdString(), testing::HasSubstr("no audio files"));
}

// A batch with one source that is not audio, as --json reports it: the run fails, the
// good files keep their outputs.
TEST_F(Cli, JsonLinesParseAndCountEveryFile) {
  test::writeWav(dir / "a.wav", 4410, 44100, 1);
  test::writeWav(dir / "b.wav", 4410, 44100, 2);
  std::ofstream(dir / "bad.wav") << "this is not a wave file";
  const CliRun result = run({"--json", "--format", "flac,wav", "--output", q(dir / "out"),
                             q(dir / "a.wav"), q(dir / "b.wav"), q(dir / "bad.wav")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(jsonEvents(result.out, "started").size(), 3u);
  const auto finished = jsonEvents(result.out, "finished");
  EXPECT_EQ(finished.size(), 3u);
  for (const QJsonObject& event : finished) {
    const bool bad = event["source"].toString().endsWith("bad.wav");
    EXPECT_EQ(event.contains("error"), bad) << event["source"].toString().toStdString();
    for (const QJsonValue output : event["outputs"].toArray())
      EXPECT_GT(framesOf(fs::path(output.toString().toStdString())), 0);
    EXPECT_EQ(event["outputs"].toArray().size(), bad ? 0 : 2);
  }
  const auto summary = jsonEvents(result.out, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["completed"].toInt(), 2);
  EXPECT_EQ(summary[0]["failed"].toInt(), 1);
  EXPECT_EQ(summary[0]["total"].toInt(), 3);
}

// Speed and time left on a clock the test moves.
TEST(ProgressMeterTest, MeasuresSpeedAndTimeLeft) {
  auto now = std::chrono::steady_clock::time_point{};
  ProgressMeter meter([&] { return now; });
  meter.start();
  // Two formats, 10 s of audio each: after 2 s one file waits, the other has written one
  // of its two outputs (its progress spans both).
  auto waiting = std::make_shared<ConversionJob>("/in/a.wav", "a");
  auto running = std::make_shared<ConversionJob>("/in/b.wav", "b");
  running->setStatus(ConversionStatus::converting());
  running->setProgress(0.5);
  meter.setDuration(waiting->id(), 10.0);
  meter.setDuration(running->id(), 10.0);
  now = std::chrono::steady_clock::time_point{} + std::chrono::seconds(2);
  ProgressSnapshot snapshot = meter.measure({waiting, running});
  EXPECT_EQ(snapshot.running, 1);
  EXPECT_DOUBLE_EQ(snapshot.fraction, 0.25);
  EXPECT_DOUBLE_EQ(*snapshot.speed, 2.5);
  EXPECT_DOUBLE_EQ(*snapshot.etaSeconds, 6.0);

  waiting->setStatus(ConversionStatus::failed(ConversionError::fileNotReadable("/in/a.wav")));
  snapshot = meter.measure({waiting, running});
  EXPECT_EQ(snapshot.done, 1);
  EXPECT_DOUBLE_EQ(snapshot.fraction, 0.75);  // a failed file has nothing left to do
  EXPECT_DOUBLE_EQ(*snapshot.speed, 2.5);     // and converted no audio
}

#ifdef VEXAL_WINDOW_PATH
// The window started where there is no display says so and exits 1, not with Qt's abort.
TEST(WindowCommand, WithoutADisplaySaysSoInsteadOfAborting) {
  QProcess window;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(name);
  window.setProcessEnvironment(environment);
  window.start(VEXAL_WINDOW_PATH, {});
  ASSERT_TRUE(window.waitForFinished(30'000));
  EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(window.exitCode(), 1);
  EXPECT_THAT(window.readAllStandardError().toStdString(), testing::HasSubstr("no display"));
}
#endif

// A data folder that cannot be created (a file stands in its path): saving a preset
// fails, and a batch still converts but warns once that its history is not saved.
TEST_F(Cli, UnwritableDataFolderFailsSavePresetAndWarnsOnceInABatch) {
  std::ofstream(dir / "blocker") << "a file, not a folder";
  dataHome = dir / "blocker" / "data";
  const CliRun saved = run({"--format", "opus", "--save-preset", "Voice"});
  EXPECT_EQ(saved.status, 1);
  EXPECT_THAT(saved.err.toStdString(), testing::HasSubstr("preset \"Voice\" not saved"));
  EXPECT_THAT(saved.out.toStdString(), testing::Not(testing::HasSubstr("Saved preset")));

  test::writeWav(dir / "a.wav", 4410, 44100, 1);
  test::writeWav(dir / "b.wav", 4410, 44100, 1);
  const CliRun batch = run({"--format", "wav", "--output", q(dir / "out"), q(dir / "a.wav"), q(dir / "b.wav")});
  EXPECT_EQ(batch.status, 0) << batch.err.toStdString();
  EXPECT_EQ(batch.err.count("History could not be saved"), 1) << batch.err.toStdString();
  EXPECT_TRUE(fs::exists(dir / "out" / "b.wav"));
}

// Ctrl-C cancels like the Cancel button: exit 130, and every file left behind is the
// complete output of a job that finished before the interrupt.
TEST_F(Cli, InterruptCancelsAndLeavesNoPartialOutput) {
  fs::create_directories(dir / "many");
  for (int i = 0; i < 12; ++i) {
    test::writeWav(dir / "many" / ("t" + std::to_string(i) + ".wav"), 12 * 44100, 44100, 2);
  }
  const fs::path out = dir / "out";
  const CliRun result =
      run({"--format", "flac,mp3", "--normalize", "lufs", "--output", q(out), q(dir / "many")},
          [&](QProcess& process) {
            // Interrupt once the first job has finished.
            while (process.state() == QProcess::Running && !process.canReadLine()) {
              process.waitForReadyRead(100);
            }
            sendSignal(process, SIGINT);
          });
  EXPECT_EQ(result.status, 130) << result.err.toStdString();
  std::set<std::string> completed;
  for (const QString& line : result.out.split('\n')) {
    // Summary lines name each source by its path; "[n/m] ..." lines report jobs as they end.
    if (!line.startsWith('[') && line.endsWith(": Completed"))
      completed.insert(fs::path(line.chopped(11).toStdString()).filename().string());
  }
  EXPECT_LT(completed.size(), 12u);
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    if (!entry.is_regular_file()) continue;
    const std::string source = entry.path().stem().string() + ".wav";
    EXPECT_TRUE(completed.contains(source)) << "left behind: " << entry.path();
    EXPECT_GT(framesOf(entry.path()), 0);
  }
}

// SIGKILL (the OOM killer, a power cut) at seeded random points of a batch: every file
// under a real name is a complete output, and the next run sweeps the temporaries.
TEST_F(Cli, KilledRunsLeaveOnlyCompleteOutputsUnderRealNames) {
  constexpr std::int64_t kFrames = 22050;
  fs::create_directories(dir / "in");
  for (int i = 0; i < 3; ++i) {
    test::writeWav(dir / "in" / ("t" + std::to_string(i) + ".wav"), kFrames, 44100, 2);
  }
  const fs::path out = dir / "out";
  const QStringList arguments = {"--format", "aac,flac,mp3,opus,wav", "--output", q(out),
                                 q(dir / "in")};
  // Hidden temporaries seen, and a check of every file under a real name.
  const auto inspect = [&] {
    int hidden = 0;
    if (!fs::exists(out)) return hidden;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      if (!entry.is_regular_file()) continue;
      if (entry.path().filename().string().starts_with(".vexal-")) {
        ++hidden;
        continue;
      }
      const VerificationResult decoded = verifyOutput(entry.path());
      EXPECT_TRUE(decoded.decodable) << entry.path();
      EXPECT_EQ(decoded.frames, std::llround(kFrames * decoded.sampleRate / 44100))
          << entry.path();
    }
    return hidden;
  };

  // Kill points are fractions of one whole run on this machine, so they land inside the
  // batch however fast it is.
  const auto began = std::chrono::steady_clock::now();
  const CliRun timing = run({"--format", "aac,flac,mp3,opus,wav", "--output",
                             q(dir / "timing"), q(dir / "in")});
  ASSERT_EQ(timing.status, 0) << timing.err.toStdString();
  const auto wholeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - began)
                           .count();
  std::mt19937 random(20261206);
  std::uniform_real_distribution<double> fraction(0.15, 0.85);
  for (int kill = 0; kill < 3; ++kill) {
    const int delay = std::max(10, static_cast<int>(fraction(random) * static_cast<double>(wholeMs)));
    run(arguments, [&](QProcess& process) {
      process.waitForFinished(delay);  // returns early if the batch ends first
      sendSignal(process, SIGKILL);
    });
    inspect();
  }

  // Leftovers that are surely there, as a run killed mid-write or mid-retag leaves them
  // (the folder "in" keeps its name under the destination).
  fs::create_directories(out / "in");
  std::ofstream(out / "in" / ".vexal-part-planted.flac") << "partial";
  std::ofstream(out / "in" / ".vexal-meta-planted.m4a") << "partial";
  // A tag writer's copy holds no lock: it goes once it is clearly not being written.
  fs::last_write_time(out / "in" / ".vexal-meta-planted.m4a",
                      fs::last_write_time(out / "in" / ".vexal-meta-planted.m4a") - std::chrono::hours(2));
  const CliRun finished = run(arguments);
  EXPECT_EQ(finished.status, 0) << finished.err.toStdString();
  EXPECT_EQ(inspect(), 0);
}

// --watch converts files that appear in the folder until interrupted.
TEST_F(Cli, WatchConvertsNewFilesUntilInterrupted) {
  fs::create_directories(dir / "drop");
  const fs::path out = dir / "out";
  const CliRun result = run({"--format", "flac", "--output", q(out), "--watch", q(dir / "drop")},
                            [&](QProcess& process) {
                              process.waitForReadyRead(10'000);  // "Watching ..."
                              test::writeWav(dir / "drop" / "new.wav", 4410, 44100, 2);
                              test::waitFor(
                                  [&] {
                                    return fs::exists(out / "new.flac") &&
                                           process.readAllStandardOutput().contains("1 of 1");
                                  },
                                  30'000);
                              sendSignal(process, SIGINT);
                            });
  EXPECT_EQ(result.status, 130);
  EXPECT_EQ(framesOf(out / "new.flac"), 4410);
}

}  // namespace
}  // namespace vexal
