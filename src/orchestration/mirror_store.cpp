#include "orchestration/mirror_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "model/conversion_settings.h"
#include "orchestration/output_files.h"
#include "persistence/index_journal.h"
#include "platform/audio_identity.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr auto kLockPoll = std::chrono::milliseconds(100);

// FNV-1a 64 of a whole file: a companion's identity.
std::optional<std::uint64_t> contentHash(const fs::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  std::array<unsigned char, 1 << 16> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return hash;
    for (ssize_t i = 0; i < got; ++i) hash = (hash ^ buffer[static_cast<std::size_t>(i)]) * 0x100000001b3ULL;
  }
}

FileStamp stampFrom(const struct stat& info) {
  return {static_cast<std::int64_t>(info.st_size),
          static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

ConversionError indexFailure(const IndexError& error) {
  return ConversionError::extAudioFileError(error.step, -error.error);
}

// Takes `path` with flock `mode`, polling while someone else holds it.
std::expected<UniqueFd, int> takeLock(const fs::path& path, int mode, std::stop_token stop,
                                      const std::function<void()>& onWait, bool& waited) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return std::unexpected(errno);
  while (::flock(fd.get(), mode | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return std::unexpected(errno);
    if (!waited && onWait) onWait();
    waited = true;
    if (stop.stop_requested()) return std::unexpected(ECANCELED);
    std::this_thread::sleep_for(kLockPoll);
  }
  return fd;
}

}  // namespace

bool inShard(const std::string& key, int index, int count) {
  if (count <= 1) return true;
  return stableHash(key) % static_cast<std::uint64_t>(count) == static_cast<std::uint64_t>(index);
}

MirrorStore::MirrorStore(fs::path destination, bool dryRun)
    : destination_(std::move(destination)),
      dryRun_(dryRun),
      tree_(destination_),
      index_(destination_.native()) {}

MirrorStore::~MirrorStore() { close(); }

void MirrorStore::close() {
  std::lock_guard lock(mutex_);
  index_.close();
  locks_.clear();
}

std::expected<LibraryIndex::LoadReport, QString> MirrorStore::open(
    int shardIndex, int shardCount, std::stop_token stop, const std::function<void()>& onWait) {
  if (!tree_.isOpen())
    return std::unexpected(QStringLiteral("cannot open %1: %2")
                               .arg(pathToQString(destination_), QString::fromLocal8Bit(std::strerror(errno))));
  if (!dryRun_) {
    const fs::path folder = destination_ / LibraryIndex::kFolderName;
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
      return std::unexpected(QStringLiteral("cannot create the index folder: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
    // One run per destination; the shards of one split share it, one run per shard.
    bool waited = false;
    auto whole = takeLock(folder / "lock", shardCount > 1 ? LOCK_SH : LOCK_EX, stop, onWait, waited);
    if (!whole)
      return std::unexpected(QStringLiteral("cannot lock the destination: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(whole.error()))));
    locks_.push_back(std::move(*whole));
    if (shardCount > 1) {
      const std::string name = "shard-" + std::to_string(shardIndex + 1) + "-of-" +
                               std::to_string(shardCount) + ".lock";
      auto shard = takeLock(folder / name, LOCK_EX, stop, onWait, waited);
      if (!shard)
        return std::unexpected(QStringLiteral("cannot lock the shard: %1")
                                   .arg(QString::fromLocal8Bit(std::strerror(shard.error()))));
      locks_.push_back(std::move(*shard));
    }
  }
  std::lock_guard lock(mutex_);
  auto loaded = index_.load(dryRun_ ? LibraryIndex::Access::readOnly : LibraryIndex::Access::write);
  if (!loaded) return std::unexpected(QString::fromStdString(loaded.error().text()));
  if (loaded->ignored > 0) {
    warn(QStringLiteral("ignored %1 index entr%2 naming a path outside the destination")
             .arg(loaded->ignored)
             .arg(loaded->ignored == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
  }
  return *loaded;
}

std::optional<std::uint64_t> MirrorStore::identityOf(std::string_view format, const fs::path& path) {
  return format == kCompanionFormat ? contentHash(path) : platform::audioIdentity(path);
}

std::expected<std::shared_ptr<const UniqueFd>, int> MirrorStore::openFolderOf(
    const std::string& relative) const {
  const auto slash = relative.rfind('/');
  const std::string_view parent =
      slash == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, slash);
  {
    std::lock_guard lock(folderMutex_);
    for (const OpenFolder& open : folders_) {
      struct stat info {};
      // A folder removed since (no links left) may have been made again under its name.
      if (open.fd && open.path == parent && ::fstat(open.fd->get(), &info) == 0 && info.st_nlink > 0)
        return open.fd;
    }
  }
  auto folder = tree_.openParent(relative);
  if (!folder) return std::unexpected(folder.error());  // not cached: reported every time
  auto shared = std::make_shared<const UniqueFd>(std::move(*folder));
  std::lock_guard lock(folderMutex_);
  folders_[nextFolder_] = {std::string(parent), shared};
  nextFolder_ = (nextFolder_ + 1) % folders_.size();
  return shared;
}

MirrorStore::Ownership MirrorStore::ownership(const LibraryIndexEntry& entry,
                                              std::optional<FileStamp>* now) const {
  const auto opened = openFolderOf(entry.output);
  if (!opened) {
    if (opened.error() == ENOENT) return Ownership::missing;
    warn(QStringLiteral("not touching %1: it lies beyond a link or outside the destination")
             .arg(pathToQString(tree_.absoluteOf(entry.output))));
    return Ownership::refused;
  }
  const UniqueFd& folder = **opened;
  const std::string name = fs::path(entry.output).filename().string();
  struct stat info {};
  if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Ownership::missing : Ownership::refused;
  if (!S_ISREG(info.st_mode)) return Ownership::changed;
  const FileStamp stamp = stampFrom(info);
  if (now) *now = stamp;
  if (stamp == entry.outputStamp) return Ownership::asWritten;
  // The stamp moved: only the audio tells whether this is still what Vexal wrote.
  const auto identity = identityOf(entry.format, DestinationTree::procPath(folder.get(), name));
  if (identity && identity == entry.identity) return Ownership::sameAudio;
  if (identity && identity == entry.previousIdentity) return Ownership::interrupted;
  return Ownership::changed;
}

std::optional<LibraryIndexEntry> MirrorStore::current(const SourceKey& key) const {
  std::lock_guard lock(mutex_);
  const LibraryIndexEntry* entry = index_.current(key);
  return entry ? std::optional(*entry) : std::nullopt;
}

std::vector<LibraryIndexEntry> MirrorStore::entries() const {
  std::lock_guard lock(mutex_);
  std::vector<LibraryIndexEntry> all;
  all.reserve(index_.entries().size());
  for (const auto& [output, entry] : index_.entries()) all.push_back(entry);
  return all;
}

bool MirrorStore::isRecorded(const std::string& relative) const {
  std::lock_guard lock(mutex_);
  return index_.at(relative) != nullptr;
}

std::optional<LibraryIndexEntry> MirrorStore::at(const std::string& relative) const {
  std::lock_guard lock(mutex_);
  const LibraryIndexEntry* entry = index_.at(relative);
  return entry ? std::optional(*entry) : std::nullopt;
}

Expected<> MirrorStore::record(LibraryIndexEntry entry) {
  if (dryRun_) return {};
  std::lock_guard lock(mutex_);
  if (auto recorded = index_.record(std::move(entry)); !recorded)
    return Unexpected(indexFailure(recorded.error()));
  return {};
}

Expected<> MirrorStore::forget(const std::string& relative) {
  if (dryRun_) return {};
  std::lock_guard lock(mutex_);
  if (auto forgotten = index_.forget(relative); !forgotten)
    return Unexpected(indexFailure(forgotten.error()));
  return {};
}

Expected<std::string> MirrorStore::place(LibraryIndexEntry entry, const fs::path& part,
                                        const std::optional<LibraryIndexEntry>& replacing) {
  if (const int error = syncFile(part); error != 0)
    return Unexpected(ConversionError::extAudioFileError("Flush output", -error));
  const std::string planned = entry.output;
  {
    std::lock_guard lock(mutex_);
    if (auto recorded = index_.record(entry); !recorded) return Unexpected(indexFailure(recorded.error()));
  }
  faultPoint();  // recorded, not yet in place
  if (replacing && replacing->output == planned) {
    const int error = tree_.replaceFile(part.filename().string(), planned,
                                        [&](int, const std::string&, const struct stat&) {
                                          return isOurs(ownership(*replacing));
                                        });
    if (error == 0) return planned;
    // EPERM: no longer ours (changed meanwhile): kept, the new file goes beside it.
    if (error != EPERM) return Unexpected(ConversionError::extAudioFileError("Move output", -error));
  }
  auto committed = commitPart(part, tree_.absoluteOf(planned));
  if (!committed) {
    std::lock_guard lock(mutex_);
    [[maybe_unused]] const auto ignored = index_.forget(planned);
    return Unexpected(committed.error());
  }
  const std::string taken = tree_.relativeOf(*committed).value_or(planned);
  if (taken != planned) {
    std::lock_guard lock(mutex_);
    entry.output = taken;
    if (auto recorded = index_.record(entry); !recorded) return Unexpected(indexFailure(recorded.error()));
    // The planned name holds someone else's file (or the user's changed one).
    [[maybe_unused]] const auto ignored = index_.forget(planned);
  }
  return taken;
}

std::vector<std::string> MirrorStore::settle(const SourceKey& key, const std::string& keep) {
  std::vector<LibraryIndexEntry> others;
  {
    std::lock_guard lock(mutex_);
    for (const LibraryIndexEntry* entry : index_.retired(key)) {
      if (entry->output != keep) others.push_back(*entry);
    }
    if (const LibraryIndexEntry* entry = index_.current(key); entry && entry->output != keep)
      others.push_back(*entry);
  }
  std::vector<std::string> removed;
  for (const LibraryIndexEntry& entry : others) {
    faultPoint();
    if (remove(entry) == Removal::removed) removed.push_back(entry.output);
    faultPoint();  // removed, not yet forgotten
    // Forgotten either way: gone, or the user's from now on.
    if (!dryRun_) {
      [[maybe_unused]] const auto ignored = forget(entry.output);
    }
  }
  return removed;
}

MirrorStore::Removal MirrorStore::remove(const LibraryIndexEntry& entry) {
  const Ownership state = ownership(entry);
  if (state == Ownership::missing) return Removal::gone;
  if (!isOurs(state)) return Removal::kept;
  if (dryRun_) return Removal::removed;
  const int error = tree_.removeFile(entry.output, [&](int, const std::string&, const struct stat&) {
    return isOurs(ownership(entry));
  });
  if (error == ENOENT) return Removal::gone;
  if (error != 0) return Removal::kept;
  tree_.removeEmptyFolders(entry.output);
  return Removal::removed;
}

void MirrorStore::warn(QString text) const {
  std::lock_guard lock(warningsMutex_);
  warnings_.push_back(std::move(text));
}

std::vector<QString> MirrorStore::takeWarnings() {
  std::lock_guard lock(warningsMutex_);
  return std::exchange(warnings_, {});
}

}  // namespace vexal
