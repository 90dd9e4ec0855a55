#include "ui/job_list_model.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <cmath>

#include "orchestration/converter_view_model.h"
#include "ui/icons.h"
#include "ui/settings_choices.h"

namespace vexal::ui {
namespace {

// Above this many new jobs a reset is cheaper than announcing each row.
constexpr int kIncrementalInsertLimit = 64;
constexpr quintptr kTopLevel = 0;

QString sourceFolder(const ConversionJob& job) {
  return QFileInfo(QString::fromStdString(job.sourceURL().string())).absolutePath();
}

int frameIntervalMs() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
  return std::max(1, static_cast<int>(std::lround(1000.0 / hz)));
}

}  // namespace

std::vector<FolderGroup> groupJobs(const std::vector<std::shared_ptr<ConversionJob>>& jobs) {
  std::vector<FolderGroup> groups;
  std::unordered_map<QString, std::size_t> byId;
  FolderGroup ungrouped{kUngroupedGroupID, std::nullopt, std::nullopt, {}};
  for (const auto& job : jobs) {
    if (!job->outputSubdirectory()) {
      ungrouped.jobs.push_back(job);
      continue;
    }
    const QString id = QString::fromStdString(*job->outputSubdirectory());
    auto [it, inserted] = byId.try_emplace(id, groups.size());
    if (inserted) groups.push_back({id, id, sourceFolder(*job), {}});
    groups[it->second].jobs.push_back(job);
  }
  if (!ungrouped.jobs.empty()) groups.push_back(std::move(ungrouped));
  return groups;
}

JobListModel::JobListModel(ConverterViewModel& viewModel, QObject* parent)
    : QAbstractItemModel(parent), viewModel_(viewModel) {
  flushTimer_.setSingleShot(true);
  flushTimer_.setInterval(frameIntervalMs());
  connect(&flushTimer_, &QTimer::timeout, this, &JobListModel::flushChanges);
  connect(&viewModel_, &ConverterViewModel::jobsInserted, this, &JobListModel::insertJobs);
  connect(&viewModel_, &ConverterViewModel::jobsRemoved, this, [this] {
    beginResetModel();
    rebuild();
    endResetModel();
  });
  connect(&viewModel_, &ConverterViewModel::jobChanged, this,
          [this](const Uuid& id, ConversionJob::Field) { onJobChanged(id); });
  rebuild();
}

void JobListModel::rebuild() {
  groups_.clear();
  ungrouped_.clear();
  groupIndex_.clear();
  locations_.clear();
  dirty_.clear();
  for (const auto& job : viewModel_.jobs()) appendJob(job);
}

void JobListModel::appendJob(const std::shared_ptr<ConversionJob>& job) {
  if (!job->outputSubdirectory()) {
    locations_[job->id()] = {-1, static_cast<int>(ungrouped_.size())};
    ungrouped_.push_back(job);
    return;
  }
  const QString id = QString::fromStdString(*job->outputSubdirectory());
  auto [it, inserted] = groupIndex_.try_emplace(id, static_cast<int>(groups_.size()));
  if (inserted) groups_.push_back({id, id, sourceFolder(*job), {}});
  auto& group = groups_[it->second];
  locations_[job->id()] = {it->second, static_cast<int>(group.jobs.size())};
  group.jobs.push_back(job);
}

void JobListModel::insertJobs(int first, int count) {
  const auto& jobs = viewModel_.jobs();
  if (count > kIncrementalInsertLimit || locations_.empty()) {
    beginResetModel();
    rebuild();
    endResetModel();
    return;
  }
  for (int i = first; i < first + count && i < static_cast<int>(jobs.size()); ++i) {
    const auto& job = jobs[i];
    if (locations_.contains(job->id())) continue;
    if (!job->outputSubdirectory()) {
      const int row = namedGroupCount() + static_cast<int>(ungrouped_.size());
      beginInsertRows({}, row, row);
      appendJob(job);
      endInsertRows();
      continue;
    }
    const QString id = QString::fromStdString(*job->outputSubdirectory());
    if (auto it = groupIndex_.find(id); it != groupIndex_.end()) {
      const int row = static_cast<int>(groups_[it->second].jobs.size());
      beginInsertRows(index(it->second, 0), row, row);
      appendJob(job);
      endInsertRows();
      const QModelIndex header = index(it->second, 0);
      emit dataChanged(header, header, {CountRole});
    } else {
      // A new group goes after the named groups and before the ungrouped jobs; its
      // header and first child arrive together.
      const int row = namedGroupCount();
      beginInsertRows({}, row, row);
      appendJob(job);
      endInsertRows();
    }
  }
}

void JobListModel::onJobChanged(const Uuid& id) {
  if (!locations_.contains(id)) return;
  dirty_.insert(id);
  if (!flushTimer_.isActive()) flushTimer_.start();
}

void JobListModel::flushChanges() {
  flushTimer_.stop();
  for (const Uuid& id : dirty_) {
    const QModelIndex idx = indexOfJob(id);
    if (idx.isValid()) emit dataChanged(idx, idx);
  }
  dirty_.clear();
  emit changesFlushed();
}

QModelIndex JobListModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  if (!parent.isValid()) {
    if (row >= namedGroupCount() + static_cast<int>(ungrouped_.size())) return {};
    return createIndex(row, 0, kTopLevel);
  }
  if (parent.internalId() != kTopLevel || parent.row() >= namedGroupCount()) return {};
  if (row >= static_cast<int>(groups_[parent.row()].jobs.size())) return {};
  return createIndex(row, 0, static_cast<quintptr>(parent.row() + 1));
}

QModelIndex JobListModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == kTopLevel) return {};
  return createIndex(static_cast<int>(child.internalId() - 1), 0, kTopLevel);
}

int JobListModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return namedGroupCount() + static_cast<int>(ungrouped_.size());
  if (parent.internalId() != kTopLevel || parent.row() >= namedGroupCount()) return 0;
  return static_cast<int>(groups_[parent.row()].jobs.size());
}

int JobListModel::columnCount(const QModelIndex&) const {
  return 1;
}

bool JobListModel::isGroup(const QModelIndex& index) const {
  return index.isValid() && index.internalId() == kTopLevel && index.row() < namedGroupCount();
}

QString JobListModel::groupId(const QModelIndex& index) const {
  if (isGroup(index)) return groups_[index.row()].id;
  if (index.isValid() && index.internalId() != kTopLevel) return groups_[index.internalId() - 1].id;
  return kUngroupedGroupID;
}

std::shared_ptr<ConversionJob> JobListModel::jobAt(const QModelIndex& index) const {
  if (!index.isValid() || isGroup(index)) return nullptr;
  if (index.internalId() == kTopLevel) return ungrouped_[index.row() - namedGroupCount()];
  return groups_[index.internalId() - 1].jobs[index.row()];
}

const ConversionJob* JobListModel::jobFor(const QModelIndex& index) const {
  return jobAt(index).get();
}

QModelIndex JobListModel::indexOfJob(const Uuid& id) const {
  auto it = locations_.find(id);
  if (it == locations_.end()) return {};
  const auto [group, row] = it->second;
  if (group < 0) return createIndex(namedGroupCount() + row, 0, kTopLevel);
  return createIndex(row, 0, static_cast<quintptr>(group + 1));
}

QModelIndex JobListModel::indexOfGroup(const QString& id) const {
  auto it = groupIndex_.find(id);
  return it == groupIndex_.end() ? QModelIndex() : createIndex(it->second, 0, kTopLevel);
}

Qt::ItemFlags JobListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  if (isGroup(index)) return Qt::ItemIsEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool isCancelled(const ConversionStatus& status) {
  return status.kind() == ConversionStatus::Kind::cancelled ||
         (status.error() && status.error()->kind() == ConversionError::Kind::cancelled);
}

QString statusReason(const ConversionJob& job) {
  QString text = QString::fromStdString(job.status().text());
  // The row already names the file: "Cannot read file: a.mp3" reads "Cannot read file".
  const QString name = QString::fromStdString(job.sourceURL().filename().string());
  const QString tail = QStringLiteral(": ") + name;
  if (!name.isEmpty() && text.endsWith(tail)) text.chop(tail.size());
  return text;
}

QString outputStepText(const ConversionJob& job) {
  const auto& step = job.currentOutput();
  if (!step) return {};
  const QString format = qs(displayName(step->format));
  if (step->count < 2) return format;
  return QStringLiteral("%1 %2/%3").arg(format).arg(step->index + 1).arg(step->count);
}

QVariant JobListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (isGroup(index)) {
    const FolderGroup& group = groups_[index.row()];
    switch (role) {
      case Qt::DisplayRole:
        return group.name.value_or(QString());
      case Qt::ToolTipRole:
        return group.path.value_or(QString());
      case Qt::DecorationRole:
        return symbolIcon(QStringLiteral("folder"));
      case IsGroupRole:
        return true;
      case GroupIdRole:
        return group.id;
      case CountRole:
        return static_cast<int>(group.jobs.size());
      default:
        return {};
    }
  }
  const ConversionJob* job = jobFor(index);
  if (!job) return {};
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(job->fileName());
    case Qt::ToolTipRole: {
      // The whole name first: the row may show it cut.
      QString tip = QString::fromStdString(job->fileName()) + QLatin1Char('\n') +
                    QString::fromStdString(job->sourceURL().string());
      if (job->status().kind() == ConversionStatus::Kind::failed) {
        tip += QLatin1Char('\n') + QString::fromStdString(job->status().text());
      }
      return tip;
    }
    case Qt::AccessibleDescriptionRole:
      if (job->status().kind() == ConversionStatus::Kind::converting) {
        return QStringLiteral("%1 %2, %3%").arg(QString::fromStdString(job->status().text()), outputStepText(*job))
            .arg(static_cast<int>(job->progress() * 100));
      }
      return QString::fromStdString(job->status().text());
    case OutputStepRole:
      return outputStepText(*job);
    case StatusTextRole:
      return statusReason(*job);
    case JobIdRole:
      return QString::fromStdString(job->id().toString());
    case IsGroupRole:
      return false;
    case GroupIdRole:
      return groupId(index);
    case StatusKindRole:
      return static_cast<int>(job->status().kind());
    case ProgressRole:
      return job->progress();
    default:
      return {};
  }
}

}  // namespace vexal::ui
