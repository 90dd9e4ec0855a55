// A batch of 200 short generated files through the real engine. Compares the batch's
// wall time with the sum of its conversions' own times divided by the cores used; the
// goal is a ratio within 1.10. Usage: batch_bench [jobs] [seconds per file] [format] [concurrency
// limit]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "engine/audio_processor.h"
#include "orchestration/converter_view_model.h"

namespace {

// 16-bit stereo sine at 44.1 kHz.
void writeWav(const std::filesystem::path& path, std::int64_t frames) {
  constexpr int kRate = 44100;
  constexpr int kChannels = 2;
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames) * kChannels * 2;
  std::ofstream out(path, std::ios::binary);
  const auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  const auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(kChannels);
  u32(kRate);
  u32(kRate * kChannels * 2);
  u16(kChannels * 2);
  u16(16);
  out.write("data", 4);
  u32(dataBytes);
  std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * kChannels);
  for (std::int64_t i = 0; i < frames; ++i) {
    const auto v = static_cast<std::int16_t>(
        12000.0 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / kRate));
    samples[static_cast<std::size_t>(i) * 2] = v;
    samples[static_cast<std::size_t>(i) * 2 + 1] = v;
  }
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int jobs = argc > 1 ? std::atoi(argv[1]) : 200;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  const auto format =
      vexal::outputFormatFromRaw(argc > 3 ? argv[3] : "flac").value_or(vexal::OutputFormat::flac);

  QTemporaryDir temp;
  const std::filesystem::path in = temp.filePath("in").toStdString();
  std::filesystem::create_directories(in);
  QStringList paths;
  for (int i = 0; i < jobs; ++i) {
    const auto path = in / ("f" + std::to_string(i) + ".wav");
    writeWav(path, static_cast<std::int64_t>(seconds * 44100));
    paths << QString::fromStdString(path.string());
  }

  vexal::ConverterViewModel::Options options;
  options.historyFile = temp.filePath("history.json");
  options.presetsFile = temp.filePath("presets.json");
  options.outputDirectory = temp.filePath("out");
  options.postNotifications = false;
  std::filesystem::create_directories(temp.filePath("out").toStdString());
  vexal::ConverterViewModel model(options);

  // Each conversion timed on its own worker: wall time, and the CPU time of that thread
  // (the wall time of one conversion grows when others share its core).
  std::atomic<std::int64_t> busyNs{0};
  std::atomic<std::int64_t> cpuNs{0};
  const auto threadCpuNs = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  };
  model.setConvertFunction([&](const std::filesystem::path& source,
                               const std::filesystem::path& output, vexal::OutputFormat f,
                               const vexal::ConversionSettings& settings,
                               std::optional<std::int64_t> start, std::optional<std::int64_t> end,
                               vexal::ProgressCallback progress, std::stop_token stop,
                               const vexal::AudioMetadata* tags, vexal::ConversionTally* tally) {
    const auto begin = std::chrono::steady_clock::now();
    const std::int64_t cpuBegin = threadCpuNs();
    auto result = vexal::AudioProcessor::convert(source, output, f, settings, start, end,
                                                 std::move(progress), stop, tags, tally);
    cpuNs += threadCpuNs() - cpuBegin;
    busyNs += std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now() - begin)
                  .count();
    return result;
  });
  vexal::ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.preserveMetadata = false;
  model.setSettings(settings);
  model.addFiles(paths);

  const int cores = argc > 4 ? std::atoi(argv[4]) : vexal::availableCores();
  model.setConcurrencyLimit(cores);
  int completed = 0;
  QElapsedTimer timer;
  QObject::connect(&model, &vexal::ConverterViewModel::batchFinished, [&](int done, int) {
    completed = done;
    app.quit();
  });
  timer.start();
  model.startConversion();
  app.exec();
  const double wall = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  const double busy = static_cast<double>(busyNs.load()) / 1e9;
  const double cpu = static_cast<double>(cpuNs.load()) / 1e9;
  std::printf(
      "%d of %d jobs (%.1f s each, %s) on %d cores: wall %.2f s\n"
      "  sum of conversion wall times %.2f s -> /cores %.2f s, ratio %.3f\n"
      "  sum of conversion CPU times  %.2f s -> /cores %.2f s, ratio %.3f (goal <= 1.10)\n",
      completed, jobs, seconds, std::string(vexal::rawValue(format)).c_str(), cores, wall, busy,
      busy / cores, wall / (busy / cores), cpu, cpu / cores, wall / (cpu / cores));
  return completed == jobs ? 0 : 1;
}
