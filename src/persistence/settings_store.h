#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <expected>
#include <optional>

#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal {

// The folder for settings ($XDG_CONFIG_HOME/Vexal) joined with `fileName`; the folder is
// created on every call, failures ignored.
QString configURL(const QString& fileName);

// What the window restores at its next start.
struct RememberedState {
  ConversionSettings settings;
  std::optional<OutputFormat> expandedFormat;
  QString outputDirectory;
  QByteArray windowGeometry;  // QWidget::saveGeometry, opaque here
  bool operator==(const RememberedState&) const = default;
};

// A state read key by key: a key that is missing or cannot be read takes its default
// and is named in `resetKeys` ("fadeInSeconds", "outputDirectory"); the rest is kept, so
// a file from an older or newer version loses only what it does not share.
struct DecodedState {
  RememberedState state;
  QStringList resetKeys;
};

QByteArray encodeRememberedState(const RememberedState& state);
// Nothing when the bytes are not a JSON object at all.
std::optional<DecodedState> decodeRememberedState(const QByteArray& json);

// "settings.json": one process's last state, written atomically. A file that is not a
// JSON object is kept aside with a ".corrupt" suffix and everything takes its default.
class SettingsStore {
 public:
  struct Loaded {
    std::optional<RememberedState> state;  // nothing when there was no file or it was damaged
    QStringList resetKeys;                 // of a readable file
    bool damaged = false;                  // set aside
  };

  explicit SettingsStore(QString filePath) : filePath_(std::move(filePath)) {}
  const QString& filePath() const { return filePath_; }

  Loaded load() const;
  std::expected<void, QString> save(const RememberedState& state) const;

 private:
  QString filePath_;
};

}  // namespace vexal
