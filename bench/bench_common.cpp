#include "bench_common.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace vexal::bench {

namespace {

void put(std::ofstream& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

void writeMusicWav(const std::filesystem::path& path, double rate, double seconds) {
  const auto frames = static_cast<std::uint64_t>(rate * seconds);
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames * 4);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write("RIFF", 4);
  put(out, 36 + dataBytes, 4);
  out.write("WAVEfmt ", 8);
  put(out, 16, 4);
  put(out, 1, 2);
  put(out, 2, 2);
  put(out, static_cast<std::uint32_t>(rate), 4);
  put(out, static_cast<std::uint32_t>(rate) * 4, 4);
  put(out, 4, 2);
  put(out, 16, 2);
  out.write("data", 4);
  put(out, dataBytes, 4);

  // 20 s of sound, computed once and repeated: the file costs little to make at any
  // length, and a 20 s swell still varies the level for the gates.
  const auto period = std::min<std::uint64_t>(frames, static_cast<std::uint64_t>(rate * 20));
  const double notes[] = {220.0, 277.18, 329.63, 440.0, 554.37};
  std::mt19937 random(5);
  std::uniform_real_distribution<double> hiss(-0.01, 0.01);
  std::vector<std::int16_t> block;
  block.reserve(period * 2);
  for (std::uint64_t i = 0; i < period; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double swell = 0.3 + 0.6 * std::pow(std::sin(std::numbers::pi * t / 20), 2);
    for (int c = 0; c < 2; ++c) {
      double x = 0;
      for (double note : notes) {
        const double phase = 2 * std::numbers::pi * note * (1 + 0.003 * c) * t;
        x += std::sin(phase) + 0.3 * std::sin(3 * phase);
      }
      const double sample = swell * x * 0.12 + hiss(random);
      block.push_back(static_cast<std::int16_t>(std::lround(std::clamp(sample, -1.0, 1.0) * 32767)));
    }
  }
  for (std::uint64_t written = 0; written < frames;) {
    const std::uint64_t n = std::min(period, frames - written);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n * 4));
    written += n;
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double runCommand(const std::string& command) {
  const double start = now();
  const int status = std::system(command.c_str());
  const double seconds = now() - start;
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("command failed: " + command);
  }
  return seconds;
}

double peakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double peakChildRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

ScratchDir::ScratchDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() / ("vexal-bench-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  if (std::getenv("VEXAL_BENCH_KEEP")) return;  // left for a profiler to run over again
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace vexal::bench
