#include "orchestration/companion_sync.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <system_error>

#include "orchestration/output_files.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

struct Copier {
  MirrorStore& store;
  CompanionReport& report;

  void error(const fs::path& to, const QString& reason) {
    report.errors.push_back(QStringLiteral("%1: %2").arg(pathToQString(to), reason));
  }

  // Copies `from` over (or beside) `to` through a locked temporary: recorded, then moved.
  void copy(const fs::path& from, const fs::path& to, LibraryIndexEntry entry,
            const std::optional<LibraryIndexEntry>& replacing, MirrorActionKind kind,
            MirrorReason reason) {
    report.actions.push_back({kind, reason, entry.source, to});
    if (store.dryRun()) {
      ++(kind == MirrorActionKind::update ? report.updated : report.copied);
      return;
    }
    PartFile part(to);
    std::error_code copyError;
    fs::copy_file(from, part.path(), fs::copy_options::overwrite_existing, copyError);
    if (copyError) {
      part.discard();
      error(to, QString::fromStdString(copyError.message()));
      return;
    }
    entry.outputStamp = stampOf(part.path().native()).value_or(FileStamp{});
    entry.identity = MirrorStore::identityOf(kCompanionFormat, part.path());
    if (replacing) entry.previousIdentity = replacing->identity;
    auto placed = store.place(std::move(entry), part.path(), replacing);
    if (!placed) {
      part.discard();
      error(to, QString::fromStdString(placed.error().errorDescription()));
      return;
    }
    part.discard();  // gone already: renamed into place
    if (store.tree().absoluteOf(*placed) != to) {
      report.conflicts.push_back(to);  // a file appeared there meanwhile
      return;
    }
    ++(kind == MirrorActionKind::update ? report.updated : report.copied);
  }

  void sync(const fs::path& from, const CompanionFolder& folder) {
    const fs::path to = folder.output / from.filename();
    const auto relative = store.tree().relativeOf(to);
    const auto sourceStamp = stampOf(from.native());
    if (!relative || !sourceStamp) return;
    LibraryIndexEntry entry;
    entry.output = *relative;
    entry.source = folder.libraryFolder.empty() ? from.filename().string()
                                                : folder.libraryFolder + '/' + from.filename().string();
    entry.format = std::string(kCompanionFormat);
    entry.sourceStamp = *sourceStamp;
    const auto recorded = store.current(entry.key());
    if (recorded && recorded->output == *relative) {
      switch (store.ownership(*recorded)) {
        case MirrorStore::Ownership::missing:
          copy(from, to, std::move(entry), std::nullopt, MirrorActionKind::copy, MirrorReason::outputMissing);
          return;
        case MirrorStore::Ownership::changed:
        case MirrorStore::Ownership::refused:
          report.conflicts.push_back(to);
          return;
        case MirrorStore::Ownership::interrupted:
          copy(from, to, std::move(entry), recorded, MirrorActionKind::update, MirrorReason::interrupted);
          return;
        case MirrorStore::Ownership::asWritten:
        case MirrorStore::Ownership::sameAudio:
          if (recorded->sourceStamp != *sourceStamp)
            copy(from, to, std::move(entry), recorded, MirrorActionKind::update, MirrorReason::sourceChanged);
          return;
      }
    }
    const auto existing = store.tree().status(*relative);
    if (!existing) {
      copy(from, to, std::move(entry), std::nullopt, MirrorActionKind::copy, MirrorReason::newSource);
      return;
    }
    // Something is there that the index does not know: ours only when identical.
    const auto there = S_ISREG(existing->st_mode) ? MirrorStore::identityOf(kCompanionFormat, to) : std::nullopt;
    if (!there || there != MirrorStore::identityOf(kCompanionFormat, from)) {
      report.conflicts.push_back(to);
      return;
    }
    entry.outputStamp = stampOf(to.native()).value_or(FileStamp{});
    entry.identity = there;
    if (!store.record(std::move(entry))) error(to, QStringLiteral("index not written"));
  }
};

}  // namespace

bool isCompanionFile(const fs::path& path) {
  std::string name = path.filename().string();
  std::ranges::transform(name, name.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name == "cover.jpg" || name == "folder.jpg") return true;
  const std::string extension = lowerExtension(path);
  return extension == "png" || extension == "pdf" || extension == "cue" || extension == "log";
}

CompanionReport syncCompanions(MirrorStore& store, const std::vector<CompanionFolder>& folders) {
  CompanionReport report;
  Copier copier{store, report};
  for (const CompanionFolder& folder : folders) {
    std::error_code error;
    if (fs::equivalent(folder.source, folder.output, error)) continue;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(folder.source, error), end; !error && it != end; it.increment(error)) {
      std::error_code typeError;
      if (it->is_regular_file(typeError) && isCompanionFile(it->path()) &&
          !it->path().filename().string().starts_with('.'))
        files.push_back(it->path());
    }
    std::ranges::sort(files);
    for (const fs::path& file : files) copier.sync(file, folder);
  }
  return report;
}

}  // namespace vexal
