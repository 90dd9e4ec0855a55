#pragma once

#include <QByteArray>
#include <QString>
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

QByteArray encodeRememberedState(const RememberedState& state);
std::optional<RememberedState> decodeRememberedState(const QByteArray& json);

// "settings.json": one process's last state, written atomically. A file that fails to
// decode is kept aside with a ".corrupt" suffix and loads as nothing.
class SettingsStore {
 public:
  explicit SettingsStore(QString filePath) : filePath_(std::move(filePath)) {}
  const QString& filePath() const { return filePath_; }

  std::optional<RememberedState> load() const;
  std::expected<void, QString> save(const RememberedState& state) const;

 private:
  QString filePath_;
};

}  // namespace vexal
