#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>
#include <set>
#include <vector>

#include "model/uuid.h"

namespace vexal {

// The application folder ($XDG_DATA_HOME/Vexal) joined with `fileName`; the folder is
// created on every call, failures ignored.
QString storageURL(const QString& fileName);
// Size in bytes, or nothing when the item cannot be examined.
std::optional<qint64> fileSize(const QString& path);

struct ConversionHistoryEntry {
  Uuid id = Uuid::random();
  QDateTime date;  // stored as seconds since 2001-01-01 00:00:00 UTC
  QString sourceFileName;
  QString sourcePath;
  QString outputFileName;
  QString outputPath;
  QString outputFormat;  // display name of the format, "FLAC", "Vorbis"
  double duration = 0;   // seconds
  bool successful = false;
  std::optional<QString> errorMessage;
  std::optional<qint64> fileSizeBefore;
  std::optional<qint64> fileSizeAfter;
  bool operator==(const ConversionHistoryEntry&) const = default;
};

// Finished conversions, newest first, at most kMaxEntries, kept in "history.json".
// Several processes may share the file: a save merges under a lock, keeping the entries
// other processes wrote and dropping those this process removed. Main thread only.
class ConversionHistoryManager : public QObject {
  Q_OBJECT
 public:
  static constexpr int kMaxEntries = 500;
  static constexpr int kSaveDelayMs = 2000;

  // `filePath` defaults to storageURL("history.json"); tests pass their own.
  explicit ConversionHistoryManager(QString filePath = {}, QObject* parent = nullptr);
  ~ConversionHistoryManager() override;  // writes a pending save

  const std::vector<ConversionHistoryEntry>& entries() const { return entries_; }
  const QString& filePath() const { return filePath_; }

  // Reads the file; a missing or undecodable file leaves the list empty (an undecodable
  // one is first kept aside with a ".corrupt" suffix).
  void load();
  void add(ConversionHistoryEntry entry);  // saves 2 s after the last addition
  void clear();                            // saves at once
  // Merges the list into the file now (cancelling a pending delayed save) and takes the
  // merged list; false when the write failed.
  bool saveNow();
  bool hasPendingSave() const { return saveTimer_.isActive(); }
  // Replaces kSaveDelayMs (tests shorten the wait).
  void setSaveDelay(std::chrono::milliseconds delay) { saveTimer_.setInterval(delay); }
  bool lastSaveFailed() const { return lastSaveFailed_; }

 signals:
  void entriesChanged();
  // The first failed save after a good one (or after start): the history is not on disk.
  void saveFailed(const QString& message);

 private:
  std::vector<ConversionHistoryEntry> merged(const std::vector<ConversionHistoryEntry>& stored) const;

  QString filePath_;
  std::vector<ConversionHistoryEntry> entries_;
  std::set<Uuid> unsaved_;  // added here and not yet on disk
  std::set<Uuid> removed_;  // removed here; the next save drops them from the file
  bool cleared_ = false;    // the next save drops every stored entry
  bool lastSaveFailed_ = false;
  QTimer saveTimer_;
};

// JSON encoding shared by the two stores' tests and the command line.
QByteArray encodeHistory(const std::vector<ConversionHistoryEntry>& entries);
std::optional<std::vector<ConversionHistoryEntry>> decodeHistory(const QByteArray& json);

}  // namespace vexal
