#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "model/uuid.h"
#include "orchestration/converter_view_model.h"

namespace vexal {
class SettingsStore;
}

class QAction;
class QFrame;
class QMenu;
class QScrollArea;
class QSplitter;
class QStackedWidget;
class QToolBar;
class QToolButton;

namespace vexal::ui {

class ConvertBar;
class DropZoneView;
class DropHighlight;
class FileTreeView;
class FocusRing;
class JobListModel;
class LauncherEntry;
class MetadataPanel;
class SidebarView;
class UpdaterController;

// The window: sidebar, toolbar, the job list (or the drop zone while it is empty) with
// the metadata panel, and the convert bar. It shows the orchestrator's state and calls
// its operations; it converts nothing itself.
class ContentView : public QMainWindow {
  Q_OBJECT
 public:
  static constexpr int kDefaultWidth = 1300;
  static constexpr int kDefaultHeight = 870;
  static constexpr int kMinimumWidth = 640;   // px: the list and convert bar, panels folded
  static constexpr int kMinimumHeight = 480;  // px
  static inline const QString kDesktopFileName = QStringLiteral("io.github.vexal.Vexal");

  // The opening size: `preferred` within 90 % of the screen's available area, never
  // below `minimum` unless the screen itself is smaller.
  static QSize fittedSize(QSize preferred, QSize minimum, QSize available);

  explicit ContentView(ConverterViewModel::Options options = {},
                       const UpdaterController* updater = nullptr, QWidget* parent = nullptr);
  ~ContentView() override;

  ConverterViewModel& viewModel() { return *viewModel_; }
  SidebarView* sidebar() const { return sidebar_; }
  ConvertBar* convertBar() const { return convertBar_; }
  FileTreeView* fileTree() const { return fileTree_; }
  JobListModel* jobModel() const { return jobModel_; }
  DropZoneView* dropZone() const { return dropZone_; }
  MetadataPanel* metadataPanel() const { return metadataPanel_; }
  QToolButton* destinationButton() const { return destinationButton_; }
  QAction* addFilesAction() const { return addFilesAction_; }
  QAction* checkForUpdatesAction() const { return checkForUpdatesAction_; }
  QAction* clearFinishedAction() const { return clearFinishedAction_; }
  QAction* quitAction() const { return quitAction_; }
  QSplitter* splitter() const { return splitter_; }
  FocusRing* focusRing() const { return focusRing_; }
  bool isTargeted() const { return isTargeted_; }
  bool isShowingDropZone() const;
  const std::optional<Uuid>& selectedFileID() const { return selectedFileID_; }

  // Dialogs, replaceable in tests.
  void setFilesPicker(std::function<QStringList(QWidget*)> picker) {
    filesPicker_ = std::move(picker);
  }
  void setDirectoryPicker(std::function<QString(QWidget*, const QString&)> picker) {
    directoryPicker_ = std::move(picker);
  }
  // Opens the file manager on files (tests record the paths instead).
  void setFolderShower(std::function<bool(const QStringList&)> shower) {
    folderShower_ = std::move(shower);
  }
  // Asks whether to stop the running batch and quit; true quits (tests answer it).
  void setQuitConfirmation(std::function<bool(QWidget*)> confirm) {
    quitConfirmation_ = std::move(confirm);
  }

  void openFiles();
  void chooseOutputDirectory();
  void startConversion();
  void removeSelectedJobs();
  void hideMetadataPanel();
  // The session ends (SIGTERM, SIGHUP, the session manager): the batch is cancelled as
  // Cancel does, without asking, and, when `quit`, the application quits; the workers
  // remove their temporaries before the process ends. The session manager's own
  // request only cancels: it ends the application itself afterwards.
  void endSession(bool quit = true);
  // The context menu of the jobs at `viewportPos` in the list (the selection when the
  // click falls on it), shown as a popup.
  QMenu* showJobMenu(const QPoint& viewportPos);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The state of the last session (settings, unfolded format, destination, geometry).
  void restoreRemembered();
  void remember();
  void buildMenu(const UpdaterController* updater);
  QWidget* buildToolbar();
  void setTargeted(bool targeted);
  void refreshJobsArea();
  void refreshDestination();
  // Tool buttons show their labels while the bar has room for them, icons only below.
  void fitToolbar();
  int toolbarChrome() const;
  // The metadata panel folds when the list would be left narrower than it can be read.
  void fitJobsPage();
  void refreshProgress();
  void showJob(const std::optional<Uuid>& id);
  void applyTabOrder();
  void showOutputsInFolder(const std::vector<std::shared_ptr<ConversionJob>>& jobs);
  void showFinishedOutputs();

  std::unique_ptr<SettingsStore> settingsStore_;  // null: nothing is remembered
  bool restoring_ = false;
  std::unique_ptr<ConverterViewModel> viewModel_;
  std::unique_ptr<LauncherEntry> launcher_;
  const UpdaterController* updater_ = nullptr;
  SidebarView* sidebar_ = nullptr;
  ConvertBar* convertBar_ = nullptr;
  JobListModel* jobModel_ = nullptr;
  FileTreeView* fileTree_ = nullptr;
  DropZoneView* dropZone_ = nullptr;
  MetadataPanel* metadataPanel_ = nullptr;
  QScrollArea* panelScroll_ = nullptr;
  QStackedWidget* mainArea_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QSplitter* jobsPage_ = nullptr;
  FocusRing* focusRing_ = nullptr;
  DropHighlight* highlight_ = nullptr;
  QToolButton* destinationButton_ = nullptr;
  QToolBar* toolBar_ = nullptr;
  QAction* addFilesAction_ = nullptr;
  QAction* checkForUpdatesAction_ = nullptr;
  QAction* clearFinishedAction_ = nullptr;
  QAction* quitAction_ = nullptr;
  bool isTargeted_ = false;
  bool wasConverting_ = false;
  std::pair<int, int> lastBadge_{-1, -1};  // percent and count last sent to the launcher
  bool syncingSelection_ = false;
  std::optional<Uuid> selectedFileID_;
  std::function<QStringList(QWidget*)> filesPicker_;
  std::function<QString(QWidget*, const QString&)> directoryPicker_;
  std::function<bool(const QStringList&)> folderShower_;
  std::function<bool(QWidget*)> quitConfirmation_;
  bool endingSession_ = false;
  bool panelFoldedForRoom_ = false;  // folded by fitJobsPage, which unfolds it again
  bool settingsSaveFailed_ = false;  // told once until a save succeeds again
};

}  // namespace vexal::ui
