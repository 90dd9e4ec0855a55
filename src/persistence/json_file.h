#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QStandardPaths>
#include <QString>
#include <expected>
#include <functional>
#include <optional>

// Helpers shared by the two JSON stores: whole-file reads, atomic writes, keeping an
// undecodable file aside, and strict typed reads of JSON values.
namespace vexal::json_file {

// `location` (data or config home), then "Vexal", then `fileName`; the folder is created
// on every call, a failure ignored (it shows up as a failed write later).
QString appFile(QStandardPaths::StandardLocation location, const QString& fileName);
// The file's bytes, or nothing when it is missing or cannot be read.
std::optional<QByteArray> read(const QString& path);
// Writes through a temporary file that replaces `path` in one step; on any failure the
// old file is left as it was and the error names the step that failed.
std::expected<void, QString> writeAtomically(const QString& path, const QByteArray& bytes);
// Read–merge–write for a store that several processes share: under an exclusive advisory
// lock on "<path>.lock" (flock), `merge` receives the file's current bytes (nothing when
// it is missing) and answers the bytes to write, which replace the file atomically. The
// error text names what failed (the lock, the temporary, the rename); the file is then
// left as it was.
using Merge = std::function<QByteArray(const std::optional<QByteArray>& current)>;
std::expected<void, QString> updateLocked(const QString& path, const Merge& merge);

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
