#include "persistence/json_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vexal::json_file {

QString appFile(QStandardPaths::StandardLocation location, const QString& fileName) {
  const QString folder = QStandardPaths::writableLocation(location) + QStringLiteral("/Vexal");
  QDir().mkpath(folder);
  return folder + '/' + fileName;
}

std::optional<QByteArray> read(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return std::nullopt;
  return bytes;
}

std::expected<void, QString> writeAtomically(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    return std::unexpected(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
  }
  // Writes are buffered: a disk that refuses part of them shows it only at the flush, which
  // the commit would pass over, leaving the file cut short.
  if (file.write(bytes) != bytes.size() || !file.flush()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return std::unexpected(QStringLiteral("cannot write %1: %2").arg(path, reason));
  }
  if (!file.commit()) {
    return std::unexpected(QStringLiteral("cannot replace %1: %2").arg(path, file.errorString()));
  }
  return {};
}

namespace {

// The lock file's descriptor; closing it releases the lock.
class LockFile {
 public:
  explicit LockFile(const QString& path)
      : fd_(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {}
  ~LockFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  bool lock() {
    int result = 0;
    do {
      result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }

 private:
  int fd_;
};

}  // namespace

std::expected<void, QString> updateLocked(const QString& path, const Merge& merge) {
  const QString lockPath = path + QStringLiteral(".lock");
  LockFile lock(lockPath);
  if (!lock.isOpen() || !lock.lock()) {
    return std::unexpected(
        QStringLiteral("cannot lock %1: %2").arg(lockPath, QString::fromLocal8Bit(std::strerror(errno))));
  }
  return writeAtomically(path, merge(read(path)));
}

std::optional<QString> setAside(const QString& path) {
  const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
  QString target = path + '.' + stamp + QStringLiteral(".corrupt");
  // Two failures within one millisecond must not replace the first copy.
  for (int n = 1; QFile::exists(target); ++n) {
    target = path + '.' + stamp + '-' + QString::number(n) + QStringLiteral(".corrupt");
  }
  if (!QFile::rename(path, target)) return std::nullopt;
  return target;
}

double finiteOrZero(double value) { return std::isfinite(value) ? value : 0.0; }

std::optional<QString> string(const QJsonValue& value) {
  if (!value.isString()) return std::nullopt;
  return value.toString();
}

std::optional<double> number(const QJsonValue& value) {
  if (!value.isDouble()) return std::nullopt;
  return value.toDouble();
}

std::optional<qint64> integer(const QJsonValue& value) {
  if (!value.isDouble()) return std::nullopt;
  // toInteger answers the default for fractions and out-of-range numbers; two defaults
  // tell a stored value apart from a refusal.
  const qint64 a = value.toInteger(0);
  const qint64 b = value.toInteger(1);
  if (a != b) return std::nullopt;
  return a;
}

std::optional<bool> boolean(const QJsonValue& value) {
  if (!value.isBool()) return std::nullopt;
  return value.toBool();
}

}  // namespace vexal::json_file
