#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <set>

namespace vexal {

class DirectoryMonitor;

// Watches one folder and reports audio files and cue sheets that appear in it, each
// once, after its size has stayed the same for a second (so files still being copied
// in wait). Main thread only.
class WatchFolderService : public QObject {
  Q_OBJECT
 public:
  static const std::set<QString>& watchedExtensions();  // thirteen, lower case

  explicit WatchFolderService(QObject* parent = nullptr);
  ~WatchFolderService() override;

  const std::optional<QString>& watchedFolder() const { return watchedFolder_; }
  bool isWatching() const { return isWatching_; }
  const std::set<QString>& knownFiles() const { return knownFiles_; }

  void startWatching(const QString& folder);
  void stopWatching();
  void setOnFilesDetected(std::function<void(const QStringList&)> callback);

 signals:
  void watchingChanged();

 private:
  void scanForNewFiles();

  std::optional<QString> watchedFolder_;
  bool isWatching_ = false;
  std::unique_ptr<DirectoryMonitor> dirMonitor_;
  std::function<void(const QStringList&)> onFilesDetected_;
  std::set<QString> knownFiles_;
};

}  // namespace vexal
