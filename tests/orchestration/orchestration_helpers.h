#pragma once

// Shared by the orchestration and command-line suites: short WAV files, stores in a temp
// folder, an event-loop wait, and a scriptable stand-in for the engine entry.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orchestration/converter_view_model.h"
#include "platform/media_assets.h"
#include "support/test_support.h"

namespace vexal::test {

// A WAV file of exactly `frames` frames of a 440 Hz sine, 16-bit, or 32-bit float when
// `floatSamples` (with one NaN at frame 100 when `withNaN`).
inline void writeWav(const std::filesystem::path& path, std::int64_t frames, int sampleRate = 44100,
                     int channels = 2, bool floatSamples = false, bool withNaN = false) {
  Signal signal = sine(sampleRate, static_cast<std::uint32_t>(channels), 0, 440, -6);
  signal.frames = frames;
  if (withNaN) {
    signal.sample = [tone = signal.sample](std::int64_t frame, std::uint32_t channel) {
      return frame == 100 ? NAN : tone(frame, channel);
    };
  }
  writeAudio(path.parent_path(), path.stem().string(), signal,
             floatSamples ? InputKind::wavFloat : InputKind::wav16);
}

inline QString q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// History and presets kept in `dir`, outputs into `dir`/out, no desktop notifications.
inline ConverterViewModel::Options storesIn(const std::filesystem::path& dir) {
  ConverterViewModel::Options options;
  options.historyFile = q(dir / "history.json");
  options.presetsFile = q(dir / "presets.json");
  options.outputDirectory = q(dir / "out");
  options.postNotifications = false;
  return options;
}

// Runs the event loop until `done` holds; false after `timeoutMs`.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

// The first value of the tag `name` ("REPLAYGAIN_ALBUM_GAIN") in `file`, "" when absent.
inline std::string tagValue(const std::filesystem::path& file, const std::string& name) {
  const auto tags = platform::loadFileTags(file).value_or(platform::FileTags{});
  const auto found = tags.properties.find(name);
  return found == tags.properties.end() ? "" : found->second.front();
}

// Runs the event loop until the model's batch and its workers are done.
inline bool waitForBatch(const ConverterViewModel& model, int timeoutMs = 20000) {
  return waitFor([&] { return !model.isConverting() && model.activeWorkerCount() == 0; }, timeoutMs);
}

// A stand-in for AudioProcessor::convert: writes a small file, reports progress, takes
// `delay` per output while watching the stop token, and fails where `failWhen` says so.
class FakeEngine {
 public:
  struct Call {
    std::filesystem::path source;
    std::filesystem::path output;
    OutputFormat format;
    ConversionSettings settings;
  };

  std::chrono::milliseconds delay{20};
  std::function<bool(const Call&)> failWhen;
  std::function<void(const Call&)> beforeWrite;

  ConverterViewModel::ConvertFunction function() {
    return [this](const std::filesystem::path& source, const std::filesystem::path& output,
                  OutputFormat format, const ConversionSettings& settings,
                  std::optional<std::int64_t>, std::optional<std::int64_t>,
                  ProgressCallback progress, std::stop_token stop,
                  const AudioMetadata*, ConversionTally*) -> Expected<> {
      const Call call{source, output, format, settings};
      {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
      }
      const int now = ++inFlight_;
      int seen = maxInFlight_.load();
      while (now > seen && !maxInFlight_.compare_exchange_weak(seen, now)) {
      }
      if (beforeWrite) beforeWrite(call);
      std::ofstream(output, std::ios::binary) << "partial";
      const auto end = std::chrono::steady_clock::now() + delay;
      Expected<> result;
      double p = 0.0;
      while (std::chrono::steady_clock::now() < end) {
        if (stop.stop_requested()) {
          result = Unexpected(ConversionError::cancelled());
          break;
        }
        p = std::min(1.0, p + 0.1);
        if (progress) progress(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (result && failWhen && failWhen(call)) {
        result = Unexpected(ConversionError::extAudioFileError("Write audio data", -5));
      }
      if (result && progress) progress(1.0);
      --inFlight_;
      return result;
    };
  }

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int maxInFlight() const { return maxInFlight_; }
  int inFlight() const { return inFlight_; }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::atomic<int> inFlight_{0};
  std::atomic<int> maxInFlight_{0};
};

}  // namespace vexal::test
