#pragma once

// The transactional core of a mirror: its index, the destination it may touch, and the
// one way files enter or leave it. A file is recorded (durably) before it appears under
// its name and forgotten only after it is gone, so a run killed at any instant leaves an
// index that names every file Vexal put there. Thread-safe: conversions commit from
// several workers at once.

#include <QString>
#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "model/conversion_error.h"
#include "orchestration/destination_tree.h"
#include "persistence/library_index.h"

namespace vexal {

class MirrorStore {
 public:
  // A dry run reads the index and the destination and changes neither.
  MirrorStore(std::filesystem::path destination, bool dryRun);
  ~MirrorStore();
  // Ends this run's journal and lets other runs in; the memory may go later, elsewhere.
  void close();

  // Takes the destination for this run, waiting while another run holds it (`onWait`
  // is called once then): the whole destination, or with `shardCount` > 1 one shard of
  // it (shards of one split run side by side). Then loads the index. A dry run takes
  // nothing and waits for nobody.
  std::expected<LibraryIndex::LoadReport, QString> open(int shardIndex, int shardCount,
                                                        std::stop_token stop,
                                                        const std::function<void()>& onWait);

  const DestinationTree& tree() const { return tree_; }
  bool dryRun() const { return dryRun_; }

  // How the file an entry names stands now. Ours: as written, or with the same audio
  // (retagged), or still the audio an interrupted update was replacing.
  enum class Ownership { missing, asWritten, sameAudio, interrupted, changed, refused };
  static bool isOurs(Ownership ownership) {
    return ownership == Ownership::asWritten || ownership == Ownership::sameAudio ||
           ownership == Ownership::interrupted;
  }
  // `now` receives the file's stamp when it is there.
  Ownership ownership(const LibraryIndexEntry& entry, std::optional<FileStamp>* now = nullptr) const;
  // The identity of a file of `format` (the audio's, or the whole content's for a
  // companion); nothing when it cannot be read.
  static std::optional<std::uint64_t> identityOf(std::string_view format,
                                                 const std::filesystem::path& path);

  std::optional<LibraryIndexEntry> current(const SourceKey& key) const;
  std::optional<LibraryIndexEntry> at(const std::string& relative) const;
  std::vector<LibraryIndexEntry> entries() const;
  bool isRecorded(const std::string& relative) const;
  // Durable on return; a dry run records nothing.
  Expected<> record(LibraryIndexEntry entry);
  Expected<> forget(const std::string& relative);

  // Puts the finished temporary `part` (in the folder of `entry.output`) in place as
  // `entry` describes: the entry is recorded first, then the file renamed. Over
  // `replacing` (an entry of the same path) only while that file is still ours; else,
  // and when the name was taken meanwhile, under the next free " (n)" name, recorded as
  // such. Returns the relative path taken.
  Expected<std::string> place(LibraryIndexEntry entry, const std::filesystem::path& part,
                              const std::optional<LibraryIndexEntry>& replacing);
  // Every other file recorded for `key` is removed when still ours and forgotten either
  // way (a file the user changed is the user's from now on). Returns the files removed.
  std::vector<std::string> settle(const SourceKey& key, const std::string& keep);

  enum class Removal { removed, gone, kept };
  // Removes an entry's file when it is still ours, with the folders that leaves empty.
  Removal remove(const LibraryIndexEntry& entry);

  // Messages for the user: entries ignored, links refused.
  std::vector<QString> takeWarnings();

 private:
  void warn(QString text) const;

  std::filesystem::path destination_;
  bool dryRun_;
  DestinationTree tree_;
  LibraryIndex index_;
  std::vector<UniqueFd> locks_;
  // The folders the last ownership checks looked in: each deciding thread takes outputs
  // in folder order, so most checks reuse one instead of walking down from the root.
  struct OpenFolder {
    std::string path;
    std::shared_ptr<const UniqueFd> fd;
  };
  // The folder holding `relative`, or the errno of opening it.
  std::expected<std::shared_ptr<const UniqueFd>, int> openFolderOf(const std::string& relative) const;
  mutable std::mutex folderMutex_;
  mutable std::array<OpenFolder, 8> folders_;
  mutable std::size_t nextFolder_ = 0;
  mutable std::mutex mutex_;  // the index
  mutable std::mutex warningsMutex_;
  mutable std::vector<QString> warnings_;
};

// Whether the source with shard key `key` belongs to shard `index` (0-based) of
// `count`: FNV-1a 64 of the key's bytes modulo `count`.
bool inShard(const std::string& key, int index, int count);

}  // namespace vexal
