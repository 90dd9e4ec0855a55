#include "orchestration/library_mirror.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "orchestration/converter_view_model.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

bool stillAsWritten(const PreviousOutput& previous) {
  return stampOf(previous.path.native()) == previous.stamp;
}

// Removes `path` when it is still as written; true when it is gone.
bool removeIfUnchanged(const PreviousOutput& previous) {
  if (!stillAsWritten(previous)) return false;
  return ::unlink(previous.path.c_str()) == 0 || errno == ENOENT;
}

bool sameContents(const fs::path& a, const fs::path& b) {
  std::error_code error;
  if (fs::file_size(a, error) != fs::file_size(b, error) || error) return false;
  std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
  std::array<char, 65536> x{}, y{};
  while (left && right) {
    left.read(x.data(), x.size());
    right.read(y.data(), y.size());
    if (left.gcount() != right.gcount() ||
        std::memcmp(x.data(), y.data(), static_cast<std::size_t>(left.gcount())) != 0)
      return false;
  }
  return !left.bad() && !right.bad() && left.eof() && right.eof();
}

}  // namespace

bool inShard(const std::string& key, int index, int count) {
  if (count <= 1) return true;
  return stableHash(key) % static_cast<std::uint64_t>(count) == static_cast<std::uint64_t>(index);
}

LibraryMirror::LibraryMirror(const fs::path& destination, const ConversionSettings& settings)
    : destination_(destination), index_(destination.native()) {
  index_.load();
  for (OutputFormat format : settings.enabledFormats)
    fingerprints_[format] = outputFingerprint(settings, format);
}

std::string LibraryMirror::relative(const fs::path& output) const {
  const std::string& text = output.native();
  const std::string prefix = destination_.native() + '/';
  return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

LibraryMirror::Decision LibraryMirror::decide(const std::string& key,
                                              std::optional<std::int64_t> start,
                                              const fs::path& source,
                                              const std::vector<OutputFormat>& formats) const {
  Decision decision;
  decision.sourceStamp = stampOf(source.native());
  for (OutputFormat format : formats) {
    const LibraryIndexEntry* entry = index_.find(key, start, std::string(rawValue(format)));
    if (!entry) {
      decision.convert.push_back(format);
      continue;
    }
    const PreviousOutput previous{destination_ / entry->output, entry->outputStamp};
    const bool asWritten = stillAsWritten(previous);
    const auto fingerprint = fingerprints_.find(format);
    if (asWritten && decision.sourceStamp && entry->sourceStamp == *decision.sourceStamp &&
        fingerprint != fingerprints_.end() && entry->fingerprint == fingerprint->second) {
      decision.upToDate[format] = previous.path;
      continue;
    }
    decision.convert.push_back(format);
    if (asWritten) decision.previous[format] = previous;
  }
  return decision;
}

void LibraryMirror::recordOutput(const std::string& key, std::optional<std::int64_t> start,
                                 OutputFormat format, const FileStamp& sourceStamp,
                                 const fs::path& output,
                                 const std::optional<PreviousOutput>& replaced) {
  if (replaced && replaced->path != output) index_.forget(relative(replaced->path));
  const auto stamp = stampOf(output.native());
  if (!stamp) return;  // gone already: nothing to keep track of
  LibraryIndexEntry entry;
  entry.output = relative(output);
  entry.source = key;
  entry.start = start;
  entry.format = std::string(rawValue(format));
  entry.sourceStamp = sourceStamp;
  const auto fingerprint = fingerprints_.find(format);
  entry.fingerprint = fingerprint == fingerprints_.end() ? std::string() : fingerprint->second;
  entry.outputStamp = *stamp;
  index_.record(std::move(entry));
}

void LibraryMirror::restampOutput(const fs::path& output) {
  const auto entry = index_.entries().find(relative(output));
  const auto stamp = stampOf(output.native());
  if (entry == index_.entries().end() || !stamp) return;
  LibraryIndexEntry updated = entry->second;
  updated.outputStamp = *stamp;
  index_.record(std::move(updated));
}

LibraryMirror::Cleanup LibraryMirror::removeOrphans(const std::map<std::string, fs::path>& roots,
                                                    const std::set<std::string>& imported,
                                                    int shardIndex, int shardCount) {
  Cleanup cleanup;
  std::vector<LibraryIndexEntry> orphans;
  for (const auto& [output, entry] : index_.entries()) {
    const std::string root = entry.source.substr(0, entry.source.find('/'));
    const auto base = roots.find(root);
    if (base == roots.end() || imported.contains(entry.source) ||
        !inShard(entry.source, shardIndex, shardCount))
      continue;
    std::error_code error;
    const auto status = fs::symlink_status(base->second / entry.source, error);
    if (status.type() != fs::file_type::not_found) continue;  // still there (or unknown)
    orphans.push_back(entry);
  }
  std::set<fs::path> folders;
  for (const LibraryIndexEntry& orphan : orphans) {
    const PreviousOutput recorded{destination_ / orphan.output, orphan.outputStamp};
    if (!stampOf(recorded.path.native())) {
      index_.forget(orphan.output);  // removed by the user already
      continue;
    }
    if (!removeIfUnchanged(recorded)) {
      cleanup.kept.push_back(recorded.path);
      continue;
    }
    index_.forget(orphan.output);
    ++cleanup.removed;
    for (fs::path folder = recorded.path.parent_path();
         folder.native().size() > destination_.native().size(); folder = folder.parent_path())
      folders.insert(folder);
  }
  removeEmptyFolders({folders.begin(), folders.end()});
  return cleanup;
}

Expected<fs::path> commitOver(const fs::path& part, const fs::path& planned,
                              const std::optional<PreviousOutput>& previous) {
  if (previous && previous->path == planned && stillAsWritten(*previous)) {
    // Flushed first, so a crash leaves the old file or the whole new one.
    const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced) return Unexpected(ConversionError::extAudioFileError("Flush output", -errno));
    if (::rename(part.c_str(), planned.c_str()) != 0)
      return Unexpected(ConversionError::extAudioFileError("Move output", -errno));
    // The rename is durable once the folder is; some file systems refuse this.
    if (const int folder = ::open(planned.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
      ::fsync(folder);
      ::close(folder);
    }
    return planned;
  }
  auto committed = commitPart(part, planned);
  if (committed && previous && previous->path != *committed) removeIfUnchanged(*previous);
  return committed;
}

bool isCompanionFile(const fs::path& path) {
  std::string name = path.filename().string();
  std::ranges::transform(name, name.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name == "cover.jpg" || name == "folder.jpg") return true;
  const std::string extension = lowerExtension(path);
  return extension == "png" || extension == "pdf" || extension == "cue" || extension == "log";
}

void copyCompanions(const fs::path& sourceFolder, const fs::path& outputFolder,
                    CompanionReport& report) {
  std::error_code error;
  if (fs::equivalent(sourceFolder, outputFolder, error)) return;
  for (fs::directory_iterator it(sourceFolder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code typeError;
    const fs::path& from = it->path();
    if (!it->is_regular_file(typeError) || !isCompanionFile(from) ||
        from.filename().string().starts_with('.'))
      continue;
    const fs::path to = outputFolder / from.filename();
    if (fs::symlink_status(to, typeError).type() != fs::file_type::not_found) {
      if (!sameContents(from, to)) report.conflicts.push_back(to);
      continue;
    }
    // Copied under a hidden name, then moved without replacing anything.
    const fs::path part = createPartFile(to);
    std::error_code copyError;
    fs::copy_file(from, part, fs::copy_options::overwrite_existing, copyError);
    const int moved = copyError ? copyError.value() : renameNoReplace(part, to);
    if (moved == 0) {
      ++report.copied;
      continue;
    }
    ::unlink(part.c_str());
    if (moved == EEXIST && sameContents(from, to)) continue;
    if (moved == EEXIST) {
      report.conflicts.push_back(to);
    } else {
      report.errors.push_back(QStringLiteral("%1: %2").arg(pathToQString(to),
                                                           QString::fromLocal8Bit(std::strerror(moved))));
    }
  }
}

}  // namespace vexal
