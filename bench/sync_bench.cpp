// A mirror of a large library re-run by the real tool: the second `vexal-cli --sync` over
// N unchanged small files must convert nothing within 10 s on 2 cores (N = 200 000), and
// a run with 1 000 changed sources must spend under 1 s writing its index. The mirror is
// laid out directly (sources and outputs as hard links of two small files, the index as
// one snapshot), as a first run would have left it; then the tool runs twice.
// Usage: sync_bench [files] [changed] [path to vexal-cli]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "model/conversion_settings.h"
#include "persistence/library_index.h"

namespace fs = std::filesystem;

namespace {

struct Run {
  double wall = 0;
  double cpu = 0;
  bool ok = false;
};

Run runSync(const std::string& cli, const fs::path& scratch, const fs::path& out, const fs::path& library) {
  const double start = vexal::bench::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::execl(cli.c_str(), cli.c_str(), "--sync", "--quiet", "--format", "flac", "--output", out.c_str(),
            library.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {vexal::bench::now() - start, seconds(usage.ru_utime) + seconds(usage.ru_stime),
          WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

std::uintmax_t sizeBelow(const fs::path& folder) {
  std::uintmax_t total = 0;
  for (const auto& file : fs::directory_iterator(folder)) total += file.is_regular_file() ? file.file_size() : 0;
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 200'000;
  const int changed = argc > 2 ? std::atoi(argv[2]) : 1'000;
  const std::string cli = argc > 3 ? argv[3] : VEXAL_CLI_PATH;

  vexal::bench::ScratchDir scratch;
  const fs::path library = scratch / "Library";
  const fs::path out = scratch / "out";
  // Hard links of one file stop at 65 000 on ext4: a fresh pair of files every 50 000.
  constexpr int kLinksPerFile = 50'000;
  struct Pair {
    fs::path sample, converted;
    vexal::FileStamp sampleStamp, convertedStamp;
  };
  std::vector<Pair> pairs;
  for (int first = 0; first < std::max(files, 1); first += kLinksPerFile) {
    const std::string n = std::to_string(pairs.size());
    Pair pair{scratch / ("sample" + n + ".wav"), scratch / ("sample" + n + ".flac"), {}, {}};
    vexal::bench::writeMusicWav(pair.sample, 44100, 0.05);
    vexal::bench::runCommand("ffmpeg -nostdin -v error -i '" + pair.sample.string() + "' -c:a flac '" +
                             pair.converted.string() + "'");
    pair.sampleStamp = *vexal::stampOf(pair.sample.native());
    pair.convertedStamp = *vexal::stampOf(pair.converted.native());
    pairs.push_back(std::move(pair));
  }

  vexal::ConversionSettings settings;  // what `--format flac --sync` sets
  settings.enabledFormats = {vexal::OutputFormat::flac};
  settings.skipConverted = true;
  const std::string fingerprint = vexal::outputFingerprint(settings, vexal::OutputFormat::flac);
  std::vector<vexal::LibraryIndexEntry> entries;
  entries.reserve(static_cast<std::size_t>(files));
  const double layoutStart = vexal::bench::now();
  for (int i = 0; i < files; ++i) {
    const std::string folder = "Library/Artist " + std::to_string(i / 1000) + "/Album " + std::to_string(i / 10);
    const std::string track = "Track " + std::to_string(i % 10);
    fs::create_directories(scratch / folder);
    fs::create_directories(out / folder);
    const Pair& pair = pairs[static_cast<std::size_t>(i / kLinksPerFile)];
    fs::create_hard_link(pair.sample, scratch / folder / (track + ".wav"));
    fs::create_hard_link(pair.converted, out / folder / (track + ".flac"));
    vexal::LibraryIndexEntry entry;
    entry.output = folder + "/" + track + ".flac";
    entry.source = folder + "/" + track + ".wav";
    entry.format = "flac";
    entry.sourceStamp = pair.sampleStamp;
    entry.fingerprint = fingerprint;
    entry.outputStamp = pair.convertedStamp;
    entries.push_back(std::move(entry));
  }
  {
    vexal::LibraryIndex index(out.native());
    if (!index.load() || !index.record(std::move(entries))) {
      std::fprintf(stderr, "cannot write the index\n");
      return 1;
    }
  }
  const auto indexBytes = sizeBelow(out / vexal::LibraryIndex::kFolderName);
  std::printf("mirror laid out: %d files, index %.1f MB, %.1f s\n", files, indexBytes / 1e6,
              vexal::bench::now() - layoutStart);

  const Run unchanged = runSync(cli, scratch / "", out, library);
  std::printf("second run (vexal-cli --sync, nothing to do): %d files, wall %.2f s, CPU %.2f s, %s (goal < 10 s)\n",
              files, unchanged.wall, unchanged.cpu, unchanged.ok ? "exit 0" : "FAILED");

  // What a run with `changed` new sources writes into the index: one durable record per
  // output, after a load of the whole index.
  for (int i = 0; i < changed; ++i) {
    const int file = i * (files / std::max(1, changed));
    const fs::path path = library / ("Artist " + std::to_string(file / 1000)) / ("Album " + std::to_string(file / 10)) /
                          ("Track " + std::to_string(file % 10) + ".wav");
    fs::remove(path);
    vexal::bench::writeMusicWav(path, 44100, 0.06);
  }
  const Run some = runSync(cli, scratch / "", out, library);
  double indexSeconds = 0;
  {
    const double loadStart = vexal::bench::now();
    vexal::LibraryIndex index(out.native());
    if (!index.load()) return 1;
    const double loaded = vexal::bench::now() - loadStart;
    const double recordStart = vexal::bench::now();
    for (int i = 0; i < changed; ++i) {
      vexal::LibraryIndexEntry entry = index.entries().begin()->second;
      entry.output = "Bench/" + std::to_string(i) + ".flac";
      if (!index.record(entry)) return 1;
    }
    indexSeconds = vexal::bench::now() - recordStart;
    std::printf("index: load of %zu entries %.2f s, %d durable records %.2f s, now %.1f MB\n",
                index.entries().size(), loaded, changed, indexSeconds,
                sizeBelow(out / vexal::LibraryIndex::kFolderName) / 1e6);
  }
  std::printf("third run (vexal-cli --sync, %d changed): wall %.2f s, CPU %.2f s, %s; index writing %.2f s "
              "(goal < 1 s)\n",
              changed, some.wall, some.cpu, some.ok ? "exit 0" : "FAILED", indexSeconds);
  return unchanged.ok && some.ok ? 0 : 1;
}
