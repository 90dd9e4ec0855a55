#pragma once

// Shared by the benchmarks: a music-like test signal written as a WAV file, timing,
// child processes and peak memory.

#include <cstdint>
#include <filesystem>
#include <string>

namespace vexal::bench {

// Stereo chords with harmonics, a slow swell and a little noise, 16-bit, written in
// pieces so that memory stays small whatever the length.
void writeMusicWav(const std::filesystem::path& path, double rate, double seconds);

// Runs a shell command and returns its wall-clock seconds; fails loudly on a non-zero exit.
double runCommand(const std::string& command);

double now();  // seconds, monotonic

// Peak resident set size in MiB of this process, and of the largest finished child.
double peakRssMiB();
double peakChildRssMiB();

// A fresh directory under the temp folder, removed at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace vexal::bench
