// The second `vexal-cli --sync` over an unchanged library of 10 000 small files: it must
// convert nothing and finish within 3 s on 2 cores. The first run is made in-process with
// a convert function that only copies bytes (its outputs and index are what matters), then
// the real tool runs the second. Usage: sync_bench [files] [path to vexal-cli]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_common.h"
#include "orchestration/converter_view_model.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 10'000;
  const std::string cli = argc > 2 ? argv[2] : VEXAL_CLI_PATH;

  vexal::bench::ScratchDir scratch;
  const fs::path library = scratch / "Library";
  const fs::path out = scratch / "out";
  fs::create_directories(out);
  const fs::path sample = scratch / "sample.wav";
  vexal::bench::writeMusicWav(sample, 44100, 0.05);
  for (int i = 0; i < files; ++i) {
    const fs::path folder = library / ("Artist " + std::to_string(i / 1000)) /
                            ("Album " + std::to_string(i / 10));
    fs::create_directories(folder);
    fs::copy_file(sample, folder / ("Track " + std::to_string(i % 10) + ".wav"));
  }

  const double firstStart = vexal::bench::now();
  {
    vexal::ConverterViewModel::Options options;
    options.historyFile = QString::fromStdString((scratch / "history.json").string());
    options.presetsFile = QString::fromStdString((scratch / "presets.json").string());
    options.outputDirectory = QString::fromStdString(out.string());
    options.postNotifications = false;
    vexal::ConverterViewModel model(options);
    model.setConvertFunction([](const fs::path& source, const fs::path& output, auto&&...) {
      std::error_code error;
      fs::copy_file(source, output, fs::copy_options::overwrite_existing, error);
      return error ? vexal::Expected<>(vexal::Unexpected(
                         vexal::ConversionError::extAudioFileError("Copy", -error.value())))
                   : vexal::Expected<>();
    });
    vexal::ConversionSettings settings;  // what `--format flac --sync` sets
    settings.enabledFormats = {vexal::OutputFormat::flac};
    settings.skipConverted = true;
    model.setSettings(settings);
    model.importURLs({QString::fromStdString(library.string())});
    QObject::connect(&model, &vexal::ConverterViewModel::batchFinished, &app,
                     &QCoreApplication::quit);
    model.startConversion();
    app.exec();
  }
  std::printf("first run (in-process, copies): %d files, %.1f s\n", files,
              vexal::bench::now() - firstStart);

  const double start = vexal::bench::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::execl(cli.c_str(), cli.c_str(), "--sync", "--quiet", "--format", "flac", "--output",
            out.c_str(), library.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double wall = vexal::bench::now() - start;
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("second run (vexal-cli --sync, nothing to do): %d files, wall %.2f s, CPU %.2f s "
              "(user %.2f + sys %.2f), exit %d (goal < 3 s)\n",
              files, wall, seconds(usage.ru_utime) + seconds(usage.ru_stime), seconds(usage.ru_utime),
              seconds(usage.ru_stime), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return ok ? 0 : 1;
}
