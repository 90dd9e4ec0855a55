#include "sources/watch_folder_service.h"

#include <QSet>
#include <algorithm>
#include <chrono>
#include <filesystem>

#include "model/input_formats.h"
#include "sources/directory_monitor.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

qint64 steadyNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::optional<qint64> sizeOf(const QString& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(pathFromQString(path), error);
  if (error) return std::nullopt;
  return static_cast<qint64>(size);
}

}  // namespace

const std::set<QString>& WatchFolderService::watchedExtensions() {
  static const std::set<QString> extensions = [] {
    std::set<QString> set = {QStringLiteral("cue")};
    for (const auto& extension : acceptedInputExtensions()) set.insert(QString::fromStdString(extension));
    return set;
  }();
  return extensions;
}

WatchFolderService::WatchFolderService(QObject* parent) : QObject(parent), nowMs_(steadyNowMs) {
  sizePoll_.setInterval(kSizePollMs);
  connect(&sizePoll_, &QTimer::timeout, this, &WatchFolderService::measureWaitingFiles);
}

WatchFolderService::~WatchFolderService() = default;

QStringList WatchFolderService::waitingFiles() const {
  QStringList paths;
  for (const auto& file : waiting_) paths.append(file.path);
  return paths;
}

void WatchFolderService::setOnFilesDetected(std::function<void(const QStringList&)> callback) {
  onFilesDetected_ = std::move(callback);
}

void WatchFolderService::startWatching(const QString& folder) {
  stopWatching();
  watchedFolder_ = folder;
  isWatching_ = true;
  // The scan runs as its own main-thread task after the event handler has returned; the
  // context object drops it when the service is gone by then.
  dirMonitor_ = std::make_unique<DirectoryMonitor>(
      folder, [this] { QTimer::singleShot(0, this, &WatchFolderService::scanForNewFiles); });
  // A folder that cannot be watched leaves the service watching without events.
  dirMonitor_->start();
  emit watchingChanged();
}

void WatchFolderService::stopWatching() {
  const bool wasWatching = isWatching_;
  dirMonitor_.reset();
  isWatching_ = false;
  // Files still settling belong to the folder being left; they are not reported.
  waiting_.clear();
  sizePoll_.stop();
  if (wasWatching) emit watchingChanged();
}

void WatchFolderService::scanForNewFiles() {
  if (!watchedFolder_ || !isWatching_) return;
  // Listed as bytes, so names that are not UTF-8 reach the jobs intact.
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::absolute(pathFromQString(*watchedFolder_), error);
  fs::directory_iterator it(folder, error);
  if (error) return;
  // Direct entries only (not sub-folders), and names starting with a dot are skipped.
  std::vector<fs::path> names;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    const fs::path name = it->path().filename();
    std::error_code typeError;
    if (name.native().starts_with('.') || it->is_directory(typeError)) continue;
    names.push_back(name);
  }
  std::ranges::sort(names);
  const qint64 now = nowMs_();
  QSet<QString> waitingPaths;
  for (const auto& file : waiting_) waitingPaths.insert(file.path);
  for (const fs::path& name : names) {
    if (!watchedExtensions().contains(QString::fromStdString(lowerExtension(name)))) continue;
    const QString path = pathToQString(folder / name);
    if (knownFiles_.contains(path)) continue;
    if (waitingPaths.contains(path)) continue;
    const auto size = sizeOf(path);
    if (!size) continue;  // gone again since the listing
    waiting_.push_back({path, *size, now});
  }
  if (!waiting_.empty() && !sizePoll_.isActive()) sizePoll_.start();
}

void WatchFolderService::measureWaitingFiles() {
  const qint64 now = nowMs_();
  QStringList ready;
  std::erase_if(waiting_, [&](WaitingFile& file) {
    const auto size = sizeOf(file.path);
    if (!size) return true;  // removed before it settled: a later event sees it anew
    if (*size != file.size) {
      file.size = *size;
      file.stableSinceMs = now;
      return false;
    }
    if (now - file.stableSinceMs < kStableMs) return false;
    knownFiles_.insert(file.path);
    ready.append(file.path);
    return true;
  });
  if (waiting_.empty()) sizePoll_.stop();
  if (!ready.isEmpty() && onFilesDetected_) onFilesDetected_(ready);
}

}  // namespace vexal
