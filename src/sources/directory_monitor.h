#pragma once

#include <QFileSystemWatcher>
#include <QString>
#include <functional>
#include <memory>

namespace vexal {

// Turns change events of one directory's entry list (added, removed, renamed; inotify
// through QFileSystemWatcher) into a plain callback on the thread that owns the monitor.
// Writes into an existing file are not entry changes and raise no event.
class DirectoryMonitor {
 public:
  DirectoryMonitor(QString path, std::function<void()> onChange);
  ~DirectoryMonitor();
  DirectoryMonitor(const DirectoryMonitor&) = delete;
  DirectoryMonitor& operator=(const DirectoryMonitor&) = delete;

  // Arms the watch (dropping any earlier one); false when the directory cannot be
  // watched (missing, no permission), in which case no events ever come.
  bool start();
  void stop();
  bool isArmed() const { return watcher_ != nullptr; }
  const QString& path() const { return path_; }

 private:
  QString path_;
  std::function<void()> onChange_;
  std::unique_ptr<QFileSystemWatcher> watcher_;
};

}  // namespace vexal
