#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <optional>

// Helpers shared by the two JSON stores: whole-file reads, atomic writes, keeping an
// undecodable file aside, and strict typed reads of JSON values.
namespace vexal::json_file {

// The file's bytes, or nothing when it is missing or cannot be read.
std::optional<QByteArray> read(const QString& path);
// Writes through a temporary file that replaces `path` in one step; false on any failure
// (the old file is then left as it was).
bool writeAtomically(const QString& path, const QByteArray& bytes);
// Renames `path` to "<path>.<UTC timestamp>.corrupt" so that the next save does not
// destroy what the user had; returns the new name, or nothing when the rename failed.
std::optional<QString> setAside(const QString& path);

// JSON has no NaN or infinity (Qt would write null, which the strict reader rejects,
// losing the whole file at the next load): such values are stored as 0.
double finiteOrZero(double value);

// Strict readers: nothing for a wrong JSON type or a number that does not fit.
std::optional<QString> string(const QJsonValue& value);
std::optional<double> number(const QJsonValue& value);
std::optional<qint64> integer(const QJsonValue& value);
std::optional<bool> boolean(const QJsonValue& value);

}  // namespace vexal::json_file
