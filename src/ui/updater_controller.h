#pragma once

#include <QString>
#include <optional>

namespace vexal::ui {

// "Check for Updates…": available only in builds configured with an update key
// (VEXAL_UPDATE_KEY). Distributions update the package themselves; such builds have no key.
class UpdaterController {
 public:
  // The key compiled in; empty disables updates.
  explicit UpdaterController(QString updateKey = compiledUpdateKey());

  bool isAvailable() const { return controller_.has_value(); }
  // Opens the release feed in the browser; false when unavailable.
  bool checkForUpdates() const;

  static QString compiledUpdateKey();
  static QString releasesUrl();

 private:
  struct Controller {
    QString publicKey;
  };
  std::optional<Controller> controller_;
};

}  // namespace vexal::ui
