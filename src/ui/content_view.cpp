#include "ui/content_view.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "orchestration/desktop_notice.h"
#include "persistence/settings_store.h"
#include "sources/path_text.h"
#include "ui/convert_bar.h"
#include "ui/drop_zone_view.h"
#include "ui/file_dialogs.h"
#include "ui/file_manager.h"
#include "ui/file_tree_view.h"
#include "ui/focus_ring.h"
#include "ui/icons.h"
#include "ui/job_list_model.h"
#include "ui/launcher_entry.h"
#include "ui/metadata_panel.h"
#include "ui/sidebar_view.h"
#include "ui/updater_controller.h"
#include "ui/wheel_guard.h"

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
  // Read from the list's own bytes: names that are not UTF-8 still reach the jobs.
  paths = localPathsOfUriList(mime->data(QStringLiteral("text/uri-list")));
  if (!paths.isEmpty()) return paths;
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

bool confirmQuit(QWidget* parent) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Quit Vexal?"),
                  QObject::tr("Files are still being converted."), QMessageBox::NoButton, parent);
  box.setInformativeText(
      QObject::tr("Quitting stops the conversion; files not finished yet are not kept and stay in the list."));
  QPushButton* quit = box.addButton(QObject::tr("Stop and Quit"), QMessageBox::DestructiveRole);
  QPushButton* keep = box.addButton(QObject::tr("Keep Converting"), QMessageBox::RejectRole);
  box.setDefaultButton(keep);
  box.setEscapeButton(keep);
  box.exec();
  return box.clickedButton() == quit;
}

constexpr int kReadableDestination = 160;  // px of path text before the tools drop their labels
constexpr int kMinimumListWidth = 300;      // px the list keeps before the metadata panel folds
constexpr int kComfortableListWidth = 420;  // px the list gets before the panel its usual width
constexpr int kMinDestinationWidth = 48;   // px of path text
constexpr int kMaxDestinationWidth = 640;  // px of path text
constexpr int kDestinationChrome = 40;     // px: icon, its gap and the button's frame

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
  WheelGuard::install();
  setWindowTitle(QStringLiteral("Vexal"));
  setWindowIcon(applicationIcon());
  setAcceptDrops(true);
  filesPicker_ = pickFilesAndFolders;
  directoryPicker_ = pickOutputDirectory;
  folderShower_ = showInFolder;
  quitConfirmation_ = confirmQuit;

  buildMenu(updater);

  // Sidebar | (toolbar, list with its metadata panel, convert bar). Both side panels
  // sit in splitters and fold away, so the window fits small and scaled screens.
  auto* central = new QWidget(this);
  auto* columns = new QHBoxLayout(central);
  columns->setContentsMargins(0, 0, 0, 0);
  columns->setSpacing(0);
  splitter_ = new QSplitter(Qt::Horizontal, central);
  splitter_->setObjectName(QStringLiteral("mainSplitter"));
  splitter_->setChildrenCollapsible(true);
  columns->addWidget(splitter_);
  sidebar_ = new SidebarView(*viewModel_);
  auto* sidebarScroll = new QScrollArea(splitter_);
  sidebarScroll->setObjectName(QStringLiteral("sidebarScroll"));
  sidebarScroll->setWidget(sidebar_);
  sidebarScroll->setWidgetResizable(true);
  sidebarScroll->setFrameShape(QFrame::NoFrame);
  sidebarScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  sidebarScroll->setFocusPolicy(Qt::NoFocus);  // its controls take the focus
  sidebarScroll->setMinimumWidth(SidebarView::kMinimumWidth);

  auto* rightColumn = new QWidget(splitter_);
  auto* right = new QVBoxLayout(rightColumn);
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(0);
  right->addWidget(buildToolbar());
  right->addWidget(separator(rightColumn));

  mainArea_ = new QStackedWidget(rightColumn);
  dropZone_ = new DropZoneView(mainArea_);
  jobsPage_ = new QSplitter(Qt::Horizontal, mainArea_);
  jobsPage_->setObjectName(QStringLiteral("jobsSplitter"));
  jobModel_ = new JobListModel(*viewModel_, this);
  fileTree_ = new FileTreeView(jobModel_, jobsPage_);
  fileTree_->setContextMenuPolicy(Qt::CustomContextMenu);
  metadataPanel_ = new MetadataPanel;
  panelScroll_ = new QScrollArea(jobsPage_);
  panelScroll_->setObjectName(QStringLiteral("metadataScroll"));
  panelScroll_->setWidget(metadataPanel_);
  panelScroll_->setWidgetResizable(true);
  panelScroll_->setFrameShape(QFrame::NoFrame);
  panelScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  panelScroll_->setAccessibleName(tr("File details"));
  panelScroll_->setAccessibleDescription(
      tr("Tags, duration, format and any error of the selected file. Escape closes it."));
  jobsPage_->addWidget(fileTree_);
  jobsPage_->addWidget(panelScroll_);
  jobsPage_->setCollapsible(0, false);
  jobsPage_->setStretchFactor(0, 1);
  jobsPage_->setSizes({640, MetadataPanel::kWidth});
  jobsPage_->installEventFilter(this);
  panelScroll_->hide();
  mainArea_->addWidget(dropZone_);
  mainArea_->addWidget(jobsPage_);
  right->addWidget(mainArea_, 1);
  right->addWidget(separator(rightColumn));
  convertBar_ = new ConvertBar(*viewModel_, rightColumn);
  right->addWidget(convertBar_);

  splitter_->addWidget(sidebarScroll);
  splitter_->addWidget(rightColumn);
  splitter_->setCollapsible(1, false);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({SidebarView::kPreferredWidth, kDefaultWidth - SidebarView::kPreferredWidth});
  setCentralWidget(central);

  highlight_ = new DropHighlight(central);
  focusRing_ = new FocusRing(central);

  setMinimumSize(kMinimumWidth, kMinimumHeight);
  const QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
  const QRect available = display ? display->availableGeometry() : QRect(0, 0, 1920, 1080);
  const QSize opening = fittedSize({kDefaultWidth, kDefaultHeight}, {kMinimumWidth, kMinimumHeight},
                                   available.size());
  resize(opening);
  move(available.center() - QPoint(opening.width() / 2, opening.height() / 2));

  // Keyboard: Ctrl+Return converts, Delete removes the selected jobs, Escape folds the
  // metadata panel (sheets close on Escape themselves).
  for (const QKeySequence& keys :
       {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
    auto* shortcut = new QShortcut(keys, this);
    connect(shortcut, &QShortcut::activated, this, &ContentView::startConversion);
  }
  auto* remove = new QShortcut(QKeySequence::Delete, this);
  connect(remove, &QShortcut::activated, this, &ContentView::removeSelectedJobs);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, &ContentView::hideMetadataPanel);

  connect(fileTree_, &QWidget::customContextMenuRequested, this, &ContentView::showJobMenu);
  // Shift+F10 and the Menu key open the current row's menu beside it.
  for (const QKeySequence& keys : {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
    auto* shortcut = new QShortcut(keys, fileTree_, nullptr, nullptr, Qt::WidgetShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] {
      const QModelIndex current = fileTree_->currentIndex();
      if (jobModel_->jobAt(current)) showJobMenu(fileTree_->visualRect(current).center());
    });
  }
  connect(convertBar_, &ConvertBar::showInFolderRequested, this, &ContentView::showFinishedOutputs);
  connect(viewModel_.get(), &ConverterViewModel::jobChanged, this,
          [this](const Uuid& id, ConversionJob::Field field) {
            if (field != ConversionJob::Field::status) return;
            if (selectedFileID_ == id) {
              // Retried: the source may have been fixed since the panel read it.
              const auto job = viewModel_->job(id);
              if (job && job->status().kind() == ConversionStatus::Kind::pending) {
                metadataPanel_->setJob(job);
              } else {
                metadataPanel_->refreshStatus();
              }
            }
            if (auto job = viewModel_->job(id);
                job && job->status().kind() == ConversionStatus::Kind::converting)
              fileTree_->follow(id);
            clearFinishedAction_->setEnabled(convertBar_->finishedCount() > 0);
          });
  connect(viewModel_.get(), &ConverterViewModel::isConvertingChanged, this, [this](bool on) {
    if (on) fileTree_->resumeFollowing();
  });
  connect(sidebar_, &SidebarView::focusOrderChanged, this, &ContentView::applyTabOrder);

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

  // The notice's "Show in Folder" selects the outputs, as the convert bar's does.
  connect(viewModel_.get(), &ConverterViewModel::showFolderRequested, this, [this] { showFinishedOutputs(); });
  restoreRemembered();
  connect(viewModel_.get(), &ConverterViewModel::settingsChanged, this, &ContentView::remember);
  connect(viewModel_.get(), &ConverterViewModel::outputDirectoryChanged, this, &ContentView::remember);
  applyTabOrder();
}

QSize ContentView::fittedSize(QSize preferred, QSize minimum, QSize available) {
  const QSize limit(available.width() * 9 / 10, available.height() * 9 / 10);
  return preferred.boundedTo(limit).expandedTo(minimum).boundedTo(available);
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
  const SettingsStore::Loaded loaded = settingsStore_->load();
  if (loaded.damaged) {
    convertBar_->showNotice(tr("Settings could not be read and were reset to their defaults"));
  } else if (!loaded.resetKeys.isEmpty()) {
    convertBar_->showNotice(tr("Some settings could not be read and were reset to their defaults"),
                            tr("Reset: %1").arg(loaded.resetKeys.join(QStringLiteral(", "))));
  }
  const auto& state = loaded.state;
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
  const auto saved = settingsStore_->save(state);
  // Said once, not at every change, until a save works again.
  if (!saved && !std::exchange(settingsSaveFailed_, true))
    convertBar_->showNotice(tr("Settings cannot be saved: %1").arg(saved.error()));
  if (saved) settingsSaveFailed_ = false;
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
  quitAction_ = app->addAction(QStringLiteral("Quit"));
  quitAction_->setObjectName(QStringLiteral("quit"));
  // Ctrl+Q always: some platform themes bind nothing to the standard Quit key.
  QList<QKeySequence> quitKeys{QKeySequence(Qt::CTRL | Qt::Key_Q)};
  for (const QKeySequence& keys : QKeySequence::keyBindings(QKeySequence::Quit)) {
    if (!quitKeys.contains(keys)) quitKeys << keys;
  }
  quitAction_->setShortcuts(quitKeys);
  quitAction_->setShortcutContext(Qt::ApplicationShortcut);
  quitAction_->setMenuRole(QAction::QuitRole);
  connect(quitAction_, &QAction::triggered, this, &QWidget::close);
}

QWidget* ContentView::buildToolbar() {
  auto* bar = new QToolBar(this);
  toolBar_ = bar;
  // Its width decides how much of the destination path fits.
  bar->installEventFilter(this);
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
  // Tool bars keep their buttons out of the Tab chain; these are the window's first stops.
  QWidget* addButton = bar->widgetForAction(addFilesAction_);
  addButton->setObjectName(QStringLiteral("addFilesButton"));
  addButton->setFocusPolicy(Qt::TabFocus);
  addButton->setAccessibleName(QStringLiteral("Add Files/Folders"));
  addButton->setAccessibleDescription(tr("Chooses audio files, folders or cue sheets to convert"));
  clearFinishedAction_ = bar->addAction(symbolIcon(QStringLiteral("text.badge.xmark")), QStringLiteral("Clear Finished"));
  clearFinishedAction_->setObjectName(QStringLiteral("clearFinished"));
  clearFinishedAction_->setEnabled(false);
  connect(clearFinishedAction_, &QAction::triggered, viewModel_.get(),
          &ConverterViewModel::clearFinishedJobs);
  QWidget* clearButton = bar->widgetForAction(clearFinishedAction_);
  clearButton->setObjectName(QStringLiteral("clearFinishedButton"));
  clearButton->setFocusPolicy(Qt::TabFocus);
  clearButton->setAccessibleName(QStringLiteral("Clear Finished"));
  clearButton->setAccessibleDescription(
      tr("Removes converted, failed and cancelled files from "
         "the list"));
  auto* spacer = new QWidget(bar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar->addWidget(spacer);
  destinationButton_ = new QToolButton(bar);
  destinationButton_->setObjectName(QStringLiteral("destinationButton"));
  destinationButton_->setIcon(symbolIcon(QStringLiteral("folder")));
  destinationButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  destinationButton_->setFocusPolicy(Qt::TabFocus);
  destinationButton_->setAccessibleName(QStringLiteral("Destination folder"));
  connect(destinationButton_, &QToolButton::clicked, this, &ContentView::chooseOutputDirectory);
  bar->addWidget(destinationButton_);
  // The bar's overflow button, should a font ever push a tool into it.
  if (auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"))) {
    more->setAccessibleName(tr("More tools"));
    more->setToolTip(more->accessibleName());
    more->setFocusPolicy(Qt::TabFocus);
  }
  return bar;
}

int ContentView::toolbarChrome() const {
  // The bar's own margins, its layout's (from the style) and a few px the layout keeps.
  const QMargins bar = toolBar_->contentsMargins();
  const QMargins layout = toolBar_->layout()->contentsMargins();
  return bar.left() + bar.right() + layout.left() + layout.right() + 8;
}

void ContentView::fitToolbar() {
  int labelled = toolbarChrome() + kDestinationChrome + kReadableDestination;
  for (QAction* action : {addFilesAction_, clearFinishedAction_}) {
    const QWidget* button = toolBar_->widgetForAction(action);
    // Icon, gap, text and the button's frame.
    labelled += toolBar_->iconSize().width() + button->fontMetrics().horizontalAdvance(action->text()) + 24 +
                toolBar_->layout()->spacing();
  }
  toolBar_->setToolButtonStyle(toolBar_->width() >= labelled ? Qt::ToolButtonTextBesideIcon
                                                             : Qt::ToolButtonIconOnly);
}

void ContentView::fitJobsPage() {
  if (panelScroll_->isHidden()) return;
  const int total = jobsPage_->width() - jobsPage_->handleWidth();
  const int panel = jobsPage_->sizes().value(1);
  if (total - metadataPanel_->minimumWidth() < kMinimumListWidth) {
    if (panel > 0) {
      jobsPage_->setSizes({total, 0});
      panelFoldedForRoom_ = true;
    }
    return;
  }
  if (panel == 0 && !std::exchange(panelFoldedForRoom_, false)) return;  // folded by the user
  // The list comes first: the panel takes what is left beyond a comfortable list, from
  // its minimum up to its usual width.
  const int usual = std::clamp(total - kComfortableListWidth, metadataPanel_->minimumWidth(), MetadataPanel::kWidth);
  if (panel == 0 || total - panel < kComfortableListWidth || panel < usual) {
    jobsPage_->setSizes({total - usual, usual});
  }
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

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == toolBar_ && event->type() == QEvent::Resize && destinationButton_) {
    fitToolbar();
    refreshDestination();
  }
  if (watched == jobsPage_ && event->type() == QEvent::Resize) fitJobsPage();
  return QMainWindow::eventFilter(watched, event);
}

void ContentView::refreshJobsArea() {
  mainArea_->setCurrentWidget(viewModel_->jobs().empty() ? static_cast<QWidget*>(dropZone_)
                                                         : jobsPage_);
  convertBar_->refresh();
  clearFinishedAction_->setEnabled(convertBar_->finishedCount() > 0);
}

void ContentView::refreshDestination() {
  const QString folder = QDir::toNativeSeparators(viewModel_->outputDirectory());
  // The whole path, elided in the middle so both its root and its last folder show.
  // What the tool bar leaves beside its other buttons, so the path never pushes the
  // button into the bar's overflow menu.
  int room = kMaxDestinationWidth;  // px
  if (toolBar_ && toolBar_->width() > 0) {
    int used = toolbarChrome() + destinationButton_->sizeHint().width() -
               destinationButton_->fontMetrics().horizontalAdvance(destinationButton_->text());
    for (QAction* action : toolBar_->actions()) {
      const QWidget* widget = toolBar_->widgetForAction(action);
      if (!widget || widget == destinationButton_ || !widget->isVisibleTo(toolBar_)) continue;
      used += toolBar_->layout()->spacing();
      if (widget->sizePolicy().horizontalPolicy() == QSizePolicy::Expanding) continue;
      used += widget->sizeHint().width();
    }
    room = toolBar_->width() - used;
  }
  room = std::clamp(room, kMinDestinationWidth, kMaxDestinationWidth);
  destinationButton_->setText(destinationButton_->fontMetrics().elidedText(folder, Qt::ElideMiddle, room));
  destinationButton_->setToolTip(
      QStringLiteral("Destination folder: %1").arg(folder));
  destinationButton_->setAccessibleDescription(
      tr("Converted files are written to %1. Press to choose another folder.").arg(folder));
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
  const bool opening = job && panelScroll_->isHidden();
  panelScroll_->setVisible(job != nullptr);
  // Once the splitter has laid out the shown panel.
  if (opening) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          // A panel the user folded earlier opens again for the job asked for.
          if (jobsPage_->sizes().value(1) == 0) panelFoldedForRoom_ = true;
          fitJobsPage();
        },
        Qt::QueuedConnection);
  }
}

void ContentView::hideMetadataPanel() {
  if (!panelScroll_->isVisible()) return;
  const bool panelHadFocus = panelScroll_->isAncestorOf(QApplication::focusWidget());
  // The current row goes too, so clicking it again opens the panel again.
  fileTree_->clearCurrent();
  showJob(std::nullopt);
  if (panelHadFocus) fileTree_->setFocus(Qt::OtherFocusReason);
}

void ContentView::applyTabOrder() {
  // Reading order: tool bar, sidebar top to bottom, list, panel, convert bar.
  QList<QWidget*> chain{findChild<QWidget*>(QStringLiteral("addFilesButton")),
                        findChild<QWidget*>(QStringLiteral("clearFinishedButton")),
                        destinationButton_};
  if (auto* more = toolBar_->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"))) chain << more;
  chain += sidebar_->focusChain();
  chain << fileTree_ << panelScroll_;
  chain += convertBar_->focusChain();
  for (qsizetype i = 0; i + 1 < chain.size(); ++i) setTabOrder(chain[i], chain[i + 1]);
}

void ContentView::showOutputsInFolder(const std::vector<std::shared_ptr<ConversionJob>>& jobs) {
  // Outputs when there are any, else the sources; only those of the first folder, so
  // the file manager opens one window with them selected.
  QStringList paths;
  for (const auto& job : jobs) {
    for (const auto& [format, output] : job->outputURLs())
      paths << QString::fromStdString(output.string());
  }
  if (paths.isEmpty()) {
    for (const auto& job : jobs) paths << QString::fromStdString(job->sourceURL().string());
  }
  if (paths.isEmpty()) {
    paths << viewModel_->outputDirectory();
  } else {
    const QString folder = QFileInfo(paths.front()).absolutePath();
    paths.removeIf([&](const QString& path) { return QFileInfo(path).absolutePath() != folder; });
  }
  folderShower_(paths);
}

void ContentView::showFinishedOutputs() {
  std::vector<std::shared_ptr<ConversionJob>> done;
  for (const auto& job : viewModel_->jobs()) {
    if (job->status().kind() == ConversionStatus::Kind::completed) done.push_back(job);
  }
  showOutputsInFolder(done);
}

void ContentView::closeEvent(QCloseEvent* event) {
  if (viewModel_->isConverting() && !endingSession_ && !quitConfirmation_(this)) {
    event->ignore();
    return;
  }
  // Like Cancel: the workers remove what they were writing before the process ends.
  if (viewModel_->isConverting()) viewModel_->cancelConversion();
  QMainWindow::closeEvent(event);
}

void ContentView::endSession(bool quit) {
  endingSession_ = true;
  viewModel_->cancelConversion();
  if (!quit) return;
  close();
  QCoreApplication::quit();
}

QMenu* ContentView::showJobMenu(const QPoint& viewportPos) {
  const QModelIndex at = fileTree_->indexAt(viewportPos);
  auto clicked = jobModel_->jobAt(at);
  if (!clicked) return nullptr;
  std::set<Uuid> ids = fileTree_->selectedJobIDs();
  if (!ids.contains(clicked->id())) {
    fileTree_->setCurrentIndex(at);  // a click beside the selection selects that job
    ids = {clicked->id()};
  }
  std::vector<std::shared_ptr<ConversionJob>> jobs;
  bool retryable = false;
  for (const auto& job : viewModel_->jobs()) {
    if (!ids.contains(job->id())) continue;
    jobs.push_back(job);
    const auto kind = job->status().kind();
    retryable |=
        kind == ConversionStatus::Kind::failed || kind == ConversionStatus::Kind::cancelled;
  }
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("jobMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  connect(menu->addAction(tr("Show in Folder")), &QAction::triggered, this,
          [this, jobs] { showOutputsInFolder(jobs); });
  QAction* retry = menu->addAction(tr("Retry"));
  retry->setEnabled(retryable);
  connect(retry, &QAction::triggered, this, [this, ids] { viewModel_->retryJobs(ids); });
  connect(menu->addAction(tr("Remove")), &QAction::triggered, this, [this, ids] {
    viewModel_->setSelectedJobIDs(ids);
    viewModel_->removeSelectedJobs();
  });
  menu->addSeparator();
  menu->addAction(clearFinishedAction_);
  menu->popup(fileTree_->viewport()->mapToGlobal(viewportPos));
  return menu;
}

}  // namespace vexal::ui
