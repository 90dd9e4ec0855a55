#include "persistence/json_file.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <cmath>

namespace vexal::json_file {

std::optional<QByteArray> read(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return std::nullopt;
  return bytes;
}

bool writeAtomically(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  if (file.write(bytes) != bytes.size()) {
    file.cancelWriting();
    return false;
  }
  return file.commit();
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
