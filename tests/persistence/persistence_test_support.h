#pragma once

// Shared by the persistence suites: whole-file reads and writes through Qt.

#include <gtest/gtest.h>

#include <QFile>
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

}  // namespace vexal::test
