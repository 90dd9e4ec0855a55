#pragma once

// Runs the real vexal-cli in a scratch folder with its own data and home folders.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "engine/audio_file_info.h"
#include "orchestration/orchestration_helpers.h"
#include "support/test_support.h"

namespace vexal {

struct CliRun {
  int status = -1;
  QString out;
  QString err;
};

class Cli : public testing::Test {
 protected:
  // Starts vexal-cli without waiting for it.
  std::unique_ptr<QProcess> launch(const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", test::q(dataHome));
    environment.insert("HOME", test::q(dir / "home"));
    for (const auto& [name, value] : extraEnvironment) environment.insert(name, value);
    process->setWorkingDirectory(test::q(dir.path()));
    process->setProcessEnvironment(environment);
    process->start(VEXAL_CLI_PATH, arguments);
    EXPECT_TRUE(process->waitForStarted());
    return process;
  }

  static CliRun finish(QProcess& process) {
    EXPECT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(120'000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
  }

  CliRun run(const QStringList& arguments,
             const std::function<void(QProcess&)>& whileRunning = {}) {
    const auto process = launch(arguments);
    if (whileRunning) whileRunning(*process);
    return finish(*process);
  }

  // A finished process has id 0, and kill(0, ...) would signal this whole process group
  // (the test runner included).
  static void sendSignal(QProcess& process, int signal) {
    if (const qint64 pid = process.processId(); pid > 0) ::kill(static_cast<pid_t>(pid), signal);
  }

  // The events of --json output (one object a line), of one kind when `kind` is given.
  static std::vector<QJsonObject> jsonEvents(const QString& out, const QString& kind = {}) {
    std::vector<QJsonObject> events;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
      const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
      EXPECT_TRUE(document.isObject()) << line.toStdString();
      if (kind.isEmpty() || document.object().value("event").toString() == kind) events.push_back(document.object());
    }
    return events;
  }

  std::int64_t framesOf(const std::filesystem::path& path) {
    const auto info = readAudioFileInfo(path);
    return info ? info->totalFrames : -1;
  }

  test::TempDir dir;
  std::filesystem::path dataHome = dir / "data";
  std::vector<std::pair<QString, QString>> extraEnvironment;  // for the next runs
};

}  // namespace vexal
