#include "ui/content_view.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QShortcut>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "orchestration/desktop_notice.h"
#include "persistence/settings_store.h"
#include "ui/convert_bar.h"
#include "ui/drop_zone_view.h"
#include "ui/file_dialogs.h"
#include "ui/file_tree_view.h"
#include "ui/icons.h"
#include "ui/job_list_model.h"
#include "ui/launcher_entry.h"
#include "ui/metadata_panel.h"
#include "ui/sidebar_view.h"
#include "ui/updater_controller.h"

#ifndef VEXAL_VERSION
#define VEXAL_VERSION ""
#endif

namespace vexal::ui {

// A frame drawn over the whole window while a drag hovers; lets every event through.
class DropHighlight : public QWidget {
 public:
  explicit DropHighlight(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor accent = palette().color(QPalette::Highlight);
    p.setPen(QPen(accent, 3));
    accent.setAlphaF(0.06f);
    p.setBrush(accent);
    p.drawRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 8, 8);
  }
};

namespace {

QStringList localPaths(const QMimeData* mime) {
  QStringList paths;
  if (!mime || !mime->hasUrls()) return paths;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) paths << url.toLocalFile();
  }
  return paths;
}

QFrame* separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

constexpr int kMinDestinationWidth = 160;  // px of path text

}  // namespace

ContentView::ContentView(ConverterViewModel::Options options, const UpdaterController* updater,
                         QWidget* parent)
    : QMainWindow(parent),
      settingsStore_(options.settingsFile.isEmpty() ? nullptr
                                                    : std::make_unique<SettingsStore>(options.settingsFile)),
      viewModel_(std::make_unique<ConverterViewModel>(std::move(options))),
      launcher_(std::make_unique<LauncherEntry>(kDesktopFileName)),
      updater_(updater) {
  setObjectName(QStringLiteral("ContentView"));
  setWindowTitle(QStringLiteral("Vexal"));
  setWindowIcon(applicationIcon());
  setAcceptDrops(true);
  resize(kDefaultWidth, kDefaultHeight);
  setMinimumSize(960, 600);  // px: sidebar, a usable list and the 320-px metadata panel
  filesPicker_ = pickFilesAndFolders;
  directoryPicker_ = pickOutputDirectory;

  buildMenu(updater);

  auto* central = new QWidget(this);
  auto* columns = new QHBoxLayout(central);
  columns->setContentsMargins(0, 0, 0, 0);
  columns->setSpacing(0);
  sidebar_ = new SidebarView(*viewModel_, central);
  columns->addWidget(sidebar_);

  auto* right = new QVBoxLayout;
  right->setSpacing(0);
  right->addWidget(buildToolbar());
  right->addWidget(separator(central));

  mainArea_ = new QStackedWidget(central);
  dropZone_ = new DropZoneView(mainArea_);
  jobsPage_ = new QWidget(mainArea_);
  auto* jobs = new QHBoxLayout(jobsPage_);
  jobs->setContentsMargins(0, 0, 0, 0);
  jobs->setSpacing(0);
  jobModel_ = new JobListModel(*viewModel_, this);
  fileTree_ = new FileTreeView(jobModel_, jobsPage_);
  metadataPanel_ = new MetadataPanel(jobsPage_);
  panelDivider_ = new QFrame(jobsPage_);
  panelDivider_->setFrameShape(QFrame::VLine);
  panelDivider_->setFrameShadow(QFrame::Sunken);
  jobs->addWidget(fileTree_, 1);
  jobs->addWidget(panelDivider_);
  jobs->addWidget(metadataPanel_);
  metadataPanel_->hide();
  panelDivider_->hide();
  mainArea_->addWidget(dropZone_);
  mainArea_->addWidget(jobsPage_);
  right->addWidget(mainArea_, 1);
  right->addWidget(separator(central));
  convertBar_ = new ConvertBar(*viewModel_, central);
  right->addWidget(convertBar_);
  columns->addLayout(right, 1);
  setCentralWidget(central);

  highlight_ = new DropHighlight(central);

  // Keyboard: Ctrl+Return converts, Delete removes the selected jobs.
  for (const QKeySequence& keys :
       {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
    auto* shortcut = new QShortcut(keys, this);
    connect(shortcut, &QShortcut::activated, this, &ContentView::startConversion);
  }
  auto* remove = new QShortcut(QKeySequence::Delete, this);
  connect(remove, &QShortcut::activated, this, &ContentView::removeSelectedJobs);

  connect(fileTree_, &FileTreeView::selectedJobsChanged, this, [this](const std::set<Uuid>& ids) {
    if (syncingSelection_) return;
    syncingSelection_ = true;
    viewModel_->setSelectedJobIDs(ids);
    syncingSelection_ = false;
  });
  connect(fileTree_, &FileTreeView::currentJobChanged, this, &ContentView::showJob);
  connect(viewModel_.get(), &ConverterViewModel::selectionChanged, this, [this] {
    if (syncingSelection_) return;
    if (viewModel_->selectedJobIDs().empty() && !fileTree_->selectedJobIDs().empty()) {
      syncingSelection_ = true;
      fileTree_->clearSelection();
      syncingSelection_ = false;
    }
  });
  connect(viewModel_.get(), &ConverterViewModel::jobsInserted, this, &ContentView::refreshJobsArea);
  connect(viewModel_.get(), &ConverterViewModel::jobsRemoved, this, [this] {
    if (selectedFileID_ && !viewModel_->job(*selectedFileID_)) showJob(std::nullopt);
    refreshJobsArea();
  });
  connect(viewModel_.get(), &ConverterViewModel::outputDirectoryChanged, this,
          &ContentView::refreshDestination);
  connect(viewModel_.get(), &ConverterViewModel::isConvertingChanged, this,
          &ContentView::refreshProgress);
  connect(jobModel_, &JobListModel::changesFlushed, this, [this] {
    convertBar_->refresh();
    refreshProgress();
  });

  refreshJobsArea();
  refreshDestination();
  refreshProgress();

  connect(viewModel_.get(), &ConverterViewModel::showFolderRequested, this, [](const QString& folder) {
    showInFileManager(folder, [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
  });
  restoreRemembered();
  connect(viewModel_.get(), &ConverterViewModel::settingsChanged, this, &ContentView::remember);
  connect(viewModel_.get(), &ConverterViewModel::outputDirectoryChanged, this, &ContentView::remember);
}

ContentView::~ContentView() {
  // The unfolded format and the geometry change without a signal: written here, while
  // the sidebar still exists.
  remember();
  // The views and sheets observe the orchestrator; they go first.
  qDeleteAll(findChildren<QDialog*>(Qt::FindDirectChildrenOnly));
  delete takeCentralWidget();
  delete jobModel_;
}

void ContentView::restoreRemembered() {
  if (!settingsStore_) return;
  const auto state = settingsStore_->load();
  if (!state) return;
  restoring_ = true;
  viewModel_->setSettings(state->settings);
  // A destination that has gone (an unplugged drive) falls back to the default.
  if (QFileInfo(state->outputDirectory).isDir()) viewModel_->setOutputDirectory(state->outputDirectory);
  sidebar_->setExpandedFormat(state->expandedFormat);
  if (!state->windowGeometry.isEmpty()) restoreGeometry(state->windowGeometry);
  restoring_ = false;
}

void ContentView::remember() {
  if (!settingsStore_ || restoring_) return;
  const RememberedState state{viewModel_->settings(), sidebar_->expandedFormat(), viewModel_->outputDirectory(),
                              saveGeometry()};
  if (const auto saved = settingsStore_->save(state); !saved)
    qWarning().noquote() << "Settings not remembered:" << saved.error();
}

void ContentView::buildMenu(const UpdaterController* updater) {
  QMenu* app = menuBar()->addMenu(QStringLiteral("&Vexal"));
  QAction* about = app->addAction(QStringLiteral("About Vexal"));
  about->setMenuRole(QAction::AboutRole);
  connect(about, &QAction::triggered, this, [this] {
    QMessageBox::about(
        this, QStringLiteral("About Vexal"),
        QStringLiteral("<h3>Vexal %1</h3><p>Converts audio files to AAC, ALAC, FLAC, WAV, AIFF, "
                       "MP3, Opus and Ogg Vorbis.</p><p>GPL-3.0-or-later</p>")
            .arg(QStringLiteral(VEXAL_VERSION)));
  });
  checkForUpdatesAction_ = app->addAction(QStringLiteral("Check for Updates…"));
  checkForUpdatesAction_->setObjectName(QStringLiteral("checkForUpdates"));
  checkForUpdatesAction_->setEnabled(updater && updater->isAvailable());
  connect(checkForUpdatesAction_, &QAction::triggered, this, [this] {
    if (updater_) updater_->checkForUpdates();
  });
  app->addSeparator();
  QAction* quit = app->addAction(QStringLiteral("Quit"));
  quit->setShortcut(QKeySequence::Quit);
  quit->setMenuRole(QAction::QuitRole);
  connect(quit, &QAction::triggered, this, &QWidget::close);
}

QWidget* ContentView::buildToolbar() {
  auto* bar = new QToolBar(this);
  bar->setObjectName(QStringLiteral("toolbar"));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setIconSize({16, 16});
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->setContentsMargins(8, 4, 8, 4);
  addFilesAction_ =
      bar->addAction(symbolIcon(QStringLiteral("plus")), QStringLiteral("Add Files/Folders"));
  addFilesAction_->setObjectName(QStringLiteral("addFiles"));
  addFilesAction_->setShortcut(QKeySequence::Open);
  addFilesAction_->setToolTip(
      QStringLiteral("Add Files/Folders (%1)")
          .arg(QKeySequence(QKeySequence::Open).toString(QKeySequence::NativeText)));
  connect(addFilesAction_, &QAction::triggered, this, &ContentView::openFiles);
  auto* spacer = new QWidget(bar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar->addWidget(spacer);
  destinationButton_ = new QToolButton(bar);
  destinationButton_->setObjectName(QStringLiteral("destinationButton"));
  destinationButton_->setIcon(symbolIcon(QStringLiteral("folder")));
  destinationButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  destinationButton_->setAccessibleName(QStringLiteral("Destination folder"));
  connect(destinationButton_, &QToolButton::clicked, this, &ContentView::chooseOutputDirectory);
  bar->addWidget(destinationButton_);
  return bar;
}

bool ContentView::isShowingDropZone() const {
  return mainArea_->currentWidget() == dropZone_;
}

void ContentView::openFiles() {
  const QStringList paths = filesPicker_(this);
  if (!paths.isEmpty()) viewModel_->importURLs(paths);
}

void ContentView::chooseOutputDirectory() {
  const QString folder = directoryPicker_(this, viewModel_->outputDirectory());
  if (!folder.isEmpty()) viewModel_->setOutputDirectory(folder);
}

void ContentView::startConversion() {
  if (viewModel_->isConverting() || !convertBar_->canStart()) return;
  viewModel_->startConversion();
}

void ContentView::removeSelectedJobs() {
  if (!viewModel_->selectedJobIDs().empty()) viewModel_->removeSelectedJobs();
}

void ContentView::setTargeted(bool targeted) {
  isTargeted_ = targeted;
  dropZone_->setTargeted(targeted);
  highlight_->setGeometry(centralWidget()->rect());
  highlight_->setVisible(targeted);
  highlight_->raise();
}

void ContentView::dragEnterEvent(QDragEnterEvent* event) {
  if (localPaths(event->mimeData()).isEmpty()) return;
  event->acceptProposedAction();
  setTargeted(true);
}

void ContentView::dragMoveEvent(QDragMoveEvent* event) {
  if (!localPaths(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent*) {
  setTargeted(false);
}

void ContentView::dropEvent(QDropEvent* event) {
  setTargeted(false);
  const QStringList paths = localPaths(event->mimeData());
  if (paths.isEmpty()) return;
  event->acceptProposedAction();
  viewModel_->importURLs(paths);
}

void ContentView::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (highlight_ && centralWidget()) highlight_->setGeometry(centralWidget()->rect());
  if (destinationButton_) refreshDestination();
}

void ContentView::refreshJobsArea() {
  mainArea_->setCurrentWidget(viewModel_->jobs().empty() ? static_cast<QWidget*>(dropZone_)
                                                         : jobsPage_);
  convertBar_->refresh();
}

void ContentView::refreshDestination() {
  const QString folder = QDir::toNativeSeparators(viewModel_->outputDirectory());
  // The whole path, elided in the middle so both its root and its last folder show.
  const int room = std::max(kMinDestinationWidth, width() / 3);  // px
  destinationButton_->setText(destinationButton_->fontMetrics().elidedText(folder, Qt::ElideMiddle, room));
  destinationButton_->setToolTip(
      QStringLiteral("Destination folder: %1").arg(folder));
}

void ContentView::refreshProgress() {
  const bool converting = viewModel_->isConverting();
  if (converting) {
    const double progress = viewModel_->overallProgress();
    setWindowTitle(QStringLiteral("Vexal — %1").arg(badgeText(progress)));
    // One bus signal per visible change (a whole percent or the count), not per frame.
    const std::pair<int, int> badge{static_cast<int>(progress * 100), viewModel_->remainingCount()};
    if (!wasConverting_ || badge != lastBadge_) launcher_->update(progress, badge.second);
    lastBadge_ = badge;
  } else {
    setWindowTitle(QStringLiteral("Vexal"));
    if (wasConverting_) launcher_->clear();
  }
  wasConverting_ = converting;
  convertBar_->refresh();
}

void ContentView::showJob(const std::optional<Uuid>& id) {
  selectedFileID_ = id;
  auto job = id ? viewModel_->job(*id) : nullptr;
  metadataPanel_->setJob(job);
  metadataPanel_->setVisible(job != nullptr);
  panelDivider_->setVisible(job != nullptr);
}

}  // namespace vexal::ui
