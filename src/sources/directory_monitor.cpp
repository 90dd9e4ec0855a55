#include "sources/directory_monitor.h"

#include <QFileInfo>

namespace vexal {

DirectoryMonitor::DirectoryMonitor(QString path, std::function<void()> onChange)
    : path_(std::move(path)), onChange_(std::move(onChange)) {}

DirectoryMonitor::~DirectoryMonitor() = default;

bool DirectoryMonitor::start() {
  stop();
  if (!QFileInfo(path_).isDir()) return false;
  auto watcher = std::make_unique<QFileSystemWatcher>();
  if (!watcher->addPath(path_)) return false;
  QObject::connect(watcher.get(), &QFileSystemWatcher::directoryChanged, watcher.get(), [this](const QString&) {
    if (onChange_) onChange_();
  });
  watcher_ = std::move(watcher);
  return true;
}

void DirectoryMonitor::stop() { watcher_.reset(); }

}  // namespace vexal
