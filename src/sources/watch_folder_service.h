#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace vexal {

class DirectoryMonitor;

// Watches one folder and reports audio files and cue sheets that appear in it, each
// once, after its size has stayed the same for a second (so files still being copied
// in wait). Main thread only.
class WatchFolderService : public QObject {
  Q_OBJECT
 public:
  static const std::set<QString>& watchedExtensions();  // accepted audio and "cue", lower case
  static constexpr int kStableMs = 1000;     // a file's size must hold this long
  static constexpr int kSizePollMs = 250;    // how often waiting files are measured

  explicit WatchFolderService(QObject* parent = nullptr);
  ~WatchFolderService() override;

  const std::optional<QString>& watchedFolder() const { return watchedFolder_; }
  bool isWatching() const { return isWatching_; }
  // Paths already reported; they are never reported again.
  const std::set<QString>& knownFiles() const { return knownFiles_; }
  // Paths seen in the folder whose size has not yet held still for kStableMs.
  QStringList waitingFiles() const;

  void startWatching(const QString& folder);
  void stopWatching();
  void setOnFilesDetected(std::function<void(const QStringList&)> callback);
  // The steady clock in ms that times kStableMs; tests pass one they move.
  void setClock(std::function<qint64()> nowMs) { nowMs_ = std::move(nowMs); }

 signals:
  void watchingChanged();

 private:
  struct WaitingFile {
    QString path;
    qint64 size = 0;           // bytes at the last measurement
    qint64 stableSinceMs = 0;  // steady clock, when that size was first seen
  };

  void scanForNewFiles();
  void measureWaitingFiles();

  std::optional<QString> watchedFolder_;
  bool isWatching_ = false;
  std::unique_ptr<DirectoryMonitor> dirMonitor_;
  std::function<void(const QStringList&)> onFilesDetected_;
  std::set<QString> knownFiles_;
  std::vector<WaitingFile> waiting_;  // in the order first seen
  QTimer sizePoll_;
  std::function<qint64()> nowMs_;
};

}  // namespace vexal
