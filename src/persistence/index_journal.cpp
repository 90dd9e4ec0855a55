#include "persistence/index_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "model/conversion_settings.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHeader = "#vexal-index 1\n";
constexpr std::string_view kJournalExtension = ".log";
constexpr std::string_view kSnapshotExtension = ".snap";
// A journal of another host whose lock cannot be trusted is taken for dead once it has
// not been written to for this long; a live writer appends at least once per output.
constexpr std::chrono::hours kForeignJournalQuiet{24};
// Lines longer than this are not records (a damaged or hostile file): skipped unread.
constexpr std::size_t kMaxLineBytes = 1 << 20;
constexpr int kReadAttempts = 8;

std::unexpected<IndexError> failed(std::string step, int error) {
  return std::unexpected(IndexError{std::move(step), error});
}

void escapeInto(std::string& out, std::string_view field) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : field) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      out += '%';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out += field[i];
      continue;
    }
    if (i + 2 >= field.size()) return std::nullopt;
    const int high = hexDigit(field[i + 1]);
    const int low = hexDigit(field[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string hex64(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}


// "<time>-<pid>-<host>-<random>": unique without coordination, and it tells which host
// and process wrote it.
struct JournalName {
  std::uint32_t pid = 0;
  std::uint32_t host = 0;
};
std::optional<JournalName> parseName(const std::string& stem) {
  unsigned long long time = 0, random = 0;
  unsigned pid = 0, host = 0;
  if (std::sscanf(stem.c_str(), "%16llx-%u-%8x-%8llx", &time, &pid, &host, &random) != 4)
    return std::nullopt;
  return JournalName{pid, host};
}

bool isJournalFile(const std::string& name) {
  return !name.starts_with('.') &&
         (name.ends_with(kJournalExtension) || name.ends_with(kSnapshotExtension));
}

std::string newFileStem() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char stem[80];
  std::snprintf(stem, sizeof stem, "%016llx-%u-%08x-%08llx",
                static_cast<unsigned long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                static_cast<unsigned>(::getpid()), static_cast<unsigned>(hostTag()),
                static_cast<unsigned long long>(random() & 0xffffffffu));
  return stem;
}

int syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  ::close(fd);
  return result;
}

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// The file's bytes; ENOENT when it vanished.
std::expected<std::string, int> readWhole(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::unexpected(errno);
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(error);
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

}  // namespace

void faultPoint() {
  static const long target = [] {
    const char* text = std::getenv("VEXAL_FAULT_KILL");
    return text ? std::strtol(text, nullptr, 10) : 0L;
  }();
  static std::atomic<long> reached{0};
  if (target > 0 && ++reached == target) ::raise(SIGKILL);
}

std::string IndexError::text() const { return step + ": " + std::strerror(error); }

std::uint32_t hostTag() {
  static const std::uint32_t tag = [] {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return static_cast<std::uint32_t>(stableHash(name) & 0xffffffffu);
  }();
  return tag;
}

std::string encodeRecord(const JournalRecord& record) {
  std::string line = std::to_string(record.time);
  line += '\t';
  line += record.op;
  for (const std::string& field : record.fields) {
    line += '\t';
    escapeInto(line, field);
  }
  line += '\t';
  line += hex64(stableHash(line));
  line += '\n';
  return line;
}

std::optional<JournalRecord> decodeRecord(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  const auto lastTab = line.rfind('\t');
  if (lastTab == std::string_view::npos || line.size() - lastTab - 1 != 16) return std::nullopt;
  if (hex64(stableHash(line.substr(0, lastTab + 1))) != line.substr(lastTab + 1))
    return std::nullopt;
  line = line.substr(0, lastTab);
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const auto tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab == std::string_view::npos ? line.npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (parts.size() < 2 || parts[1].size() != 1) return std::nullopt;
  JournalRecord record;
  const std::string time(parts[0]);
  char* end = nullptr;
  errno = 0;
  record.time = std::strtoull(time.c_str(), &end, 10);
  if (time.empty() || *end != '\0' || errno != 0) return std::nullopt;
  record.op = parts[1][0];
  for (std::size_t i = 2; i < parts.size(); ++i) {
    auto field = unescape(parts[i]);
    if (!field) return std::nullopt;
    record.fields.push_back(std::move(*field));
  }
  return record;
}

std::expected<JournalContents, IndexError> readJournals(const fs::path& folder) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    JournalContents contents;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
      if (errno == ENOENT) return contents;
      return failed("Read index folder", errno);
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      if (isJournalFile(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::ranges::sort(names);

    struct Ordered {
      JournalRecord record;
      std::size_t file;
      std::size_t line;
    };
    std::vector<Ordered> ordered;
    bool vanished = false;
    for (std::size_t file = 0; file < names.size() && !vanished; ++file) {
      const fs::path path = folder / names[file];
      auto bytes = readWhole(path);
      if (!bytes) {
        if (bytes.error() == ENOENT) {
          vanished = true;
          break;
        }
        return failed("Read index " + names[file], bytes.error());
      }
      contents.files.push_back(path);
      std::string_view text = *bytes;
      if (!text.starts_with(kHeader)) {
        // Not a journal of this form: unreadable as a whole, so every line counts as lost.
        contents.damagedLines += text.empty() ? 0 : 1;
        continue;
      }
      text.remove_prefix(kHeader.size());
      std::size_t lineNumber = 0;
      while (!text.empty()) {
        const auto newline = text.find('\n');
        // A last line without its newline is a write cut short: not a record.
        if (newline == std::string_view::npos) {
          ++contents.damagedLines;
          break;
        }
        const std::string_view line = text.substr(0, newline + 1);
        text.remove_prefix(newline + 1);
        auto record = line.size() <= kMaxLineBytes ? decodeRecord(line) : std::nullopt;
        if (!record) {
          ++contents.damagedLines;
          continue;
        }
        contents.latestTime = std::max(contents.latestTime, record->time);
        ordered.push_back({std::move(*record), file, lineNumber++});
      }
    }
    if (vanished) continue;  // folded meanwhile: its records are in a newer snapshot
    std::ranges::stable_sort(ordered, [](const Ordered& a, const Ordered& b) {
      return std::tie(a.record.time, a.file, a.line) < std::tie(b.record.time, b.file, b.line);
    });
    contents.records.reserve(ordered.size());
    for (auto& item : ordered) contents.records.push_back(std::move(item.record));
    return contents;
  }
  return failed("Read index", EAGAIN);
}

JournalWriter::JournalWriter(fs::path folder) : folder_(std::move(folder)) {}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, IndexError> JournalWriter::open() {
  if (::mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST)
    return failed("Create index folder", errno);
  for (;;) {
    path_ = folder_ / (newFileStem() + std::string(kJournalExtension));
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ >= 0) break;
    if (errno != EEXIST) return failed("Create index journal", errno);
  }
  ::flock(fd_, LOCK_EX | LOCK_NB);  // a new file: nobody else holds it
  if (const int error = writeAll(fd_, kHeader); error != 0)
    return failed("Write index journal", error);
  // The file's name must survive a crash as well as its first record.
  if (const int error = syncFolder(folder_); error != 0)
    return failed("Flush index folder", error);
  return {};
}

std::expected<void, IndexError> JournalWriter::write(const std::string& bytes) {
  if (fd_ >= 0) {
    struct stat info {};
    // Removed by another writer that took it for dead: start again with everything.
    if (::fstat(fd_, &info) == 0 && info.st_nlink == 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) {
    if (auto opened = open(); !opened) return opened;
    if (const int error = writeAll(fd_, written_); error != 0)
      return failed("Write index journal", error);
  }
  if (const int error = writeAll(fd_, bytes); error != 0)
    return failed("Write index journal", error);
  faultPoint();
  if (::fdatasync(fd_) != 0) return failed("Flush index journal", errno);
  return {};
}

std::expected<void, IndexError> JournalWriter::append(const std::vector<JournalRecord>& records) {
  std::string line;
  for (const JournalRecord& record : records) line += encodeRecord(record);
  auto result = write(line);
  // Kept even when the write failed: what reached the file must be repeated if it is
  // started again.
  written_ += line;
  return result;
}

void JournalWriter::close() {
  if (fd_ < 0) return;
  JournalRecord end;
  end.time = 0;
  end.op = 'E';
  [[maybe_unused]] const auto ignored = write(encodeRecord(end));
  ::close(fd_);
  fd_ = -1;
}

bool journalIsFinished(const fs::path& journal) {
  const std::string name = journal.filename().string();
  if (name.ends_with(kSnapshotExtension)) return true;
  const int fd = ::open(journal.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat info {};
  ::fstat(fd, &info);
  // The last line says whether the writer ended cleanly.
  bool ended = false;
  char tail[64] = {};
  const off_t from = info.st_size > 63 ? info.st_size - 63 : 0;
  const ssize_t got = ::pread(fd, tail, 63, from);
  if (got > 0) {
    const std::string_view text(tail, static_cast<std::size_t>(got));
    const auto previous = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    const std::string_view last =
        previous == std::string_view::npos ? text : text.substr(previous + 1);
    if (const auto record = decodeRecord(last); record && record->op == 'E') ended = true;
  }
  const bool unlocked = ended || ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  if (ended) return true;
  if (!unlocked) return false;
  const auto parsed = parseName(journal.stem().string());
  if (parsed && parsed->host == hostTag()) {
    // This host's locks are reliable; a writer that still runs would hold its lock.
    return true;
  }
  const auto age = std::chrono::system_clock::now().time_since_epoch() -
                   std::chrono::seconds(info.st_mtim.tv_sec);
  return age > kForeignJournalQuiet;
}

std::expected<void, IndexError> writeSnapshot(const fs::path& folder,
                                               const std::vector<JournalRecord>& records) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
    return failed("Create index folder", errno);
  std::string bytes(kHeader);
  for (const JournalRecord& record : records) bytes += encodeRecord(record);
  const fs::path temporary = folder / ("." + newFileStem() + ".tmp");
  const fs::path snapshot = folder / (newFileStem() + std::string(kSnapshotExtension));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return failed("Create index snapshot", errno);
  int error = writeAll(fd, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  ::close(fd);
  if (error == 0 && ::rename(temporary.c_str(), snapshot.c_str()) != 0) error = errno;
  if (error == 0) error = syncFolder(folder);
  if (error != 0) {
    ::unlink(temporary.c_str());
    return failed("Write index snapshot", error);
  }
  return {};
}

std::expected<int, IndexError> compactJournals(const fs::path& folder,
                                                const std::vector<fs::path>& read,
                                                const std::vector<JournalRecord>& records) {
  std::vector<fs::path> finished;
  for (const fs::path& file : read) {
    if (journalIsFinished(file)) finished.push_back(file);
  }
  if (finished.size() < 2) return 0;
  if (auto written = writeSnapshot(folder, records); !written) return std::unexpected(written.error());
  faultPoint();
  int removed = 0;
  for (const fs::path& file : finished) removed += ::unlink(file.c_str()) == 0 ? 1 : 0;
  syncFolder(folder);
  return removed;
}

}  // namespace vexal
