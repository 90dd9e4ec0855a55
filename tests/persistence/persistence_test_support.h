#pragma once

// Shared by the persistence suites: whole-file reads and writes through Qt, and JSON edits.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <filesystem>

namespace vexal::test {

inline QString toQString(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

inline QByteArray readAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

inline void writeAll(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

// `json`, an array of objects, with `key` of element `index` set to `value` (removed
// when `value` is undefined).
inline QByteArray withKey(const QByteArray& json, int index, const char* key, const QJsonValue& value) {
  QJsonArray array = QJsonDocument::fromJson(json).array();
  QJsonObject object = array.at(index).toObject();
  if (value.isUndefined()) {
    object.remove(QLatin1String(key));
  } else {
    object.insert(QLatin1String(key), value);
  }
  array.replace(index, object);
  return QJsonDocument(array).toJson();
}

}  // namespace vexal::test
