#pragma once

// Shared by the orchestration and command-line suites: small WAV files written byte by
// byte, an event-loop wait, and a scriptable stand-in for the engine entry.

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

namespace vexal::test {

// A RIFF/WAVE file of `frames` frames: 16-bit integer sine at 440 Hz, or 32-bit float
// samples when `floatSamples` (with one NaN at frame 100 when `withNaN`).
inline void writeWav(const std::filesystem::path& path, std::int64_t frames, int sampleRate = 44100,
                     int channels = 2, bool floatSamples = false, bool withNaN = false) {
  const std::uint16_t bits = floatSamples ? 32 : 16;
  const std::uint32_t blockAlign = static_cast<std::uint32_t>(channels) * bits / 8;
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames) * blockAlign;
  std::ofstream out(path, std::ios::binary);
  const auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  const auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(floatSamples ? 3 : 1);
  u16(static_cast<std::uint16_t>(channels));
  u32(static_cast<std::uint32_t>(sampleRate));
  u32(static_cast<std::uint32_t>(sampleRate) * blockAlign);
  u16(static_cast<std::uint16_t>(blockAlign));
  u16(bits);
  out.write("data", 4);
  u32(dataBytes);
  for (std::int64_t i = 0; i < frames; ++i) {
    const double value = 0.5 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / sampleRate);
    for (int c = 0; c < channels; ++c) {
      if (floatSamples) {
        const float sample = withNaN && i == 100 ? NAN : static_cast<float>(value);
        out.write(reinterpret_cast<const char*>(&sample), 4);
      } else {
        const auto sample = static_cast<std::int16_t>(value * 32767.0);
        out.write(reinterpret_cast<const char*>(&sample), 2);
      }
    }
  }
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
                  ProgressCallback progress, std::stop_token stop) -> Expected<> {
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
