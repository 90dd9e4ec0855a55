#include "orchestration/library_mirror.h"

#include <system_error>

namespace vexal {

namespace {

namespace fs = std::filesystem;

bool missingOnDisk(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() == fs::file_type::not_found;
}

}  // namespace

PreparedMirror::PreparedMirror(const fs::path& destination, const ConversionSettings& settings,
                               LibraryMirror::Options options, std::function<void()> onWait)
    : mirror_(std::make_shared<LibraryMirror>(destination, settings, options)),
      result_(std::unexpected(QStringLiteral("not opened"))) {
  thread_ = std::jthread([this, options, onWait = std::move(onWait)](std::stop_token stop) {
    result_ = mirror_->store().open(options.shardIndex, options.shardCount, stop, onWait);
  });
}

PreparedMirror::~PreparedMirror() {
  thread_.request_stop();
}

std::expected<LibraryIndex::LoadReport, QString> PreparedMirror::opened(std::stop_token stop) {
  if (thread_.joinable()) {
    const std::stop_callback forward(stop, [this] { thread_.request_stop(); });
    thread_.join();
  }
  return result_;
}

std::string libraryFolderOf(const std::string& libraryPath) {
  const auto slash = libraryPath.rfind('/');
  return slash == std::string::npos ? std::string() : libraryPath.substr(0, slash);
}

std::string MirrorSource::shardKey() const { return track ? libraryPath : libraryFolderOf(libraryPath); }

std::string shardKeyOf(const LibraryIndexEntry& entry) {
  return entry.track || entry.start ? entry.source : libraryFolderOf(entry.source);
}

std::string_view reasonText(MirrorReason reason) {
  switch (reason) {
    case MirrorReason::newSource: return "new";
    case MirrorReason::sourceChanged: return "source changed";
    case MirrorReason::settingsChanged: return "settings changed";
    case MirrorReason::outputMissing: return "output missing";
    case MirrorReason::outputChanged: return "output changed since it was written";
    case MirrorReason::interrupted: return "update interrupted";
    case MirrorReason::orphan: return "orphan";
  }
  return "";
}

std::string_view actionText(MirrorActionKind kind) {
  switch (kind) {
    case MirrorActionKind::convert: return "convert";
    case MirrorActionKind::replace: return "replace";
    case MirrorActionKind::adopt: return "adopt";
    case MirrorActionKind::copy: return "copy";
    case MirrorActionKind::update: return "update";
    case MirrorActionKind::remove: return "delete";
    case MirrorActionKind::keep: return "keep";
  }
  return "";
}

LibraryMirror::LibraryMirror(const fs::path& destination, const ConversionSettings& settings,
                             Options options)
    : store_(destination, options.dryRun), options_(options) {
  for (OutputFormat format : settings.enabledFormats)
    fingerprints_[format] = outputFingerprint(settings, format);
}

LibraryMirror::Decision LibraryMirror::decide(const MirrorSource& source,
                                              const std::vector<OutputFormat>& formats) {
  Decision decision;
  decision.sourceStamp = stampOf(source.file.native());
  for (OutputFormat format : formats) {
    const std::string raw(rawValue(format));
    const SourceKey key = source.keyFor(raw);
    auto entry = store_.current(key);
    bool legacy = false;
    if (!entry && source.start) {
      entry = store_.current({source.imagePath, source.start, std::nullopt, raw});
      legacy = entry.has_value();
    }
    const auto convert = [&](MirrorReason reason) {
      decision.convert.push_back(format);
      decision.reasons[format] = reason;
    };
    if (!entry) {
      convert(MirrorReason::newSource);
      continue;
    }
    std::optional<FileStamp> now;
    const auto state = store_.ownership(*entry, &now);
    const fs::path path = store_.tree().absoluteOf(entry->output);
    switch (state) {
      case MirrorStore::Ownership::missing:
        convert(MirrorReason::outputMissing);
        continue;
      case MirrorStore::Ownership::changed:
        decision.changedByUser.push_back(path);
        [[fallthrough]];
      case MirrorStore::Ownership::refused:
        convert(MirrorReason::outputChanged);
        continue;
      case MirrorStore::Ownership::interrupted:
        convert(MirrorReason::interrupted);
        decision.previous[format] = {path, *entry};
        continue;
      case MirrorStore::Ownership::sameAudio:
        // Retagged: still Vexal's; its new stamp keeps the next run on the fast path.
        if (now) {
          LibraryIndexEntry restamped = *entry;
          restamped.outputStamp = *now;
          if (store_.record(restamped)) entry = restamped;
        }
        break;
      case MirrorStore::Ownership::asWritten:
        break;
    }
    const auto fingerprint = fingerprints_.find(format);
    const bool sameSource = !legacy && decision.sourceStamp &&
                            entry->sourceStamp == *decision.sourceStamp &&
                            entry->detail == source.detail;
    if (sameSource && fingerprint != fingerprints_.end() && entry->fingerprint == fingerprint->second) {
      decision.upToDate[format] = path;
      // What an interrupted update left beside it goes now.
      store_.settle(key, entry->output);
      continue;
    }
    convert(sameSource ? MirrorReason::settingsChanged : MirrorReason::sourceChanged);
    decision.previous[format] = {path, *entry};
  }
  return decision;
}

LibraryIndexEntry LibraryMirror::entryFor(const MirrorSource& source, OutputFormat format,
                                          const FileStamp& sourceStamp, const std::string& output,
                                          const fs::path& file) const {
  LibraryIndexEntry entry;
  entry.output = output;
  entry.source = source.libraryPath;
  entry.track = source.track;
  entry.format = std::string(rawValue(format));
  entry.sourceStamp = sourceStamp;
  if (const auto fingerprint = fingerprints_.find(format); fingerprint != fingerprints_.end())
    entry.fingerprint = fingerprint->second;
  entry.identity = MirrorStore::identityOf(entry.format, file);
  entry.detail = source.detail;
  return entry;
}

Expected<fs::path> LibraryMirror::commit(const MirrorSource& source, OutputFormat format,
                                         const FileStamp& sourceStamp, const fs::path& part,
                                         const fs::path& planned,
                                         const std::optional<PreviousOutput>& previous,
                                         std::string loudness) {
  const auto relative = store_.tree().relativeOf(planned);
  if (!relative) return Unexpected(ConversionError::extAudioFileError("Move output", -EINVAL));
  const std::string raw(rawValue(format));
  LibraryIndexEntry entry = entryFor(source, format, sourceStamp, *relative, part);
  entry.outputStamp = stampOf(part.native()).value_or(FileStamp{});
  const bool replacing = previous && previous->path == planned;
  if (replacing) entry.previousIdentity = previous->entry.identity;
  entry.loudness = std::move(loudness);
  auto taken = store_.place(std::move(entry), part,
                            replacing ? std::optional(previous->entry) : std::nullopt);
  if (!taken) return Unexpected(taken.error());
  faultPoint();  // in place, earlier ones not yet removed
  // Earlier outputs under other names go once the new one is in place.
  store_.settle(source.keyFor(raw), *taken);
  if (source.start) store_.settle({source.imagePath, source.start, std::nullopt, raw}, *taken);
  return store_.tree().absoluteOf(*taken);
}

Expected<> LibraryMirror::adopt(const MirrorSource& source, OutputFormat format,
                                const FileStamp& sourceStamp, const fs::path& output) {
  const auto relative = store_.tree().relativeOf(output);
  const auto stamp = stampOf(output.native());
  if (!relative || !stamp) return Unexpected(ConversionError::fileNotReadable(output));
  const std::string raw(rawValue(format));
  LibraryIndexEntry entry = entryFor(source, format, sourceStamp, *relative, output);
  entry.outputStamp = *stamp;
  if (auto recorded = store_.record(std::move(entry)); !recorded) return recorded;
  store_.settle(source.keyFor(raw), *relative);
  return {};
}

void LibraryMirror::restamp(const fs::path& output) {
  const auto relative = store_.tree().relativeOf(output);
  if (!relative) return;
  auto entry = store_.at(*relative);
  const auto stamp = stampOf(output.native());
  if (!entry || !stamp) return;
  entry->outputStamp = *stamp;
  [[maybe_unused]] const auto recorded = store_.record(std::move(*entry));
}

LibraryMirror::Cleanup LibraryMirror::removeOrphans(const OrphanScope& scope) {
  Cleanup cleanup;
  for (const LibraryIndexEntry& entry : store_.entries()) {
    const std::string root = entry.source.substr(0, entry.source.find('/'));
    const auto base = scope.roots.find(root);
    if (base == scope.roots.end() ||
        !inShard(shardKeyOf(entry), options_.shardIndex, options_.shardCount))
      continue;
    bool gone = false;
    if (entry.track) {
      // A track is gone with its sheet, or when the sheet read this run no longer has it.
      gone = missingOnDisk(base->second / entry.source) ||
             (scope.sheets.contains(entry.source) && !scope.tracks.contains({entry.source, *entry.track}));
    } else {
      gone = !scope.sources.contains(entry.source) && missingOnDisk(base->second / entry.source);
    }
    if (!gone) continue;
    const fs::path path = store_.tree().absoluteOf(entry.output);
    switch (store_.remove(entry)) {
      case MirrorStore::Removal::removed:
        ++cleanup.removed;
        cleanup.actions.push_back({MirrorActionKind::remove, MirrorReason::orphan, entry.source, path});
        [[fallthrough]];
      case MirrorStore::Removal::gone:
        if (!options_.dryRun) {
          [[maybe_unused]] const auto forgotten = store_.forget(entry.output);
        }
        break;
      case MirrorStore::Removal::kept:
        cleanup.kept.push_back(path);
        break;
    }
  }
  return cleanup;
}

}  // namespace vexal
