#pragma once

// libebur128, the independent loudness oracle (header only: its suites link libebur128).

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "support/test_support.h"

namespace vexal::test {

// Integrated loudness (LUFS) of the files decoded and gated together (one file, or an album).
inline double ebur128Loudness(const std::vector<std::filesystem::path>& files) {
  std::vector<std::unique_ptr<ebur128_state, void (*)(ebur128_state*)>> states;
  std::vector<ebur128_state*> pointers;
  for (const auto& file : files) {
    const auto audio = decodeFile(file);
    states.emplace_back(ebur128_init(audio.channels, static_cast<unsigned long>(audio.sampleRate), EBUR128_MODE_I),
                        [](ebur128_state* s) { ebur128_destroy(&s); });
    ebur128_add_frames_float(states.back().get(), audio.samples.data(), static_cast<std::size_t>(audio.frames()));
    pointers.push_back(states.back().get());
  }
  double lufs = 0;
  ebur128_loudness_global_multiple(pointers.data(), pointers.size(), &lufs);
  return lufs;
}
inline double ebur128Loudness(const std::filesystem::path& file) { return ebur128Loudness(std::vector{file}); }

// True peak (dBTP) of a decoded file: the largest of its channels'.
inline double ebur128TruePeakDB(const std::filesystem::path& file) {
  const auto audio = decodeFile(file);
  std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
      ebur128_init(audio.channels, static_cast<unsigned long>(audio.sampleRate), EBUR128_MODE_TRUE_PEAK),
      [](ebur128_state* s) { ebur128_destroy(&s); });
  ebur128_add_frames_float(state.get(), audio.samples.data(), static_cast<std::size_t>(audio.frames()));
  double largest = 0;
  for (unsigned c = 0; c < audio.channels; ++c) {
    double peak = 0;
    ebur128_true_peak(state.get(), c, &peak);
    largest = std::max(largest, peak);
  }
  return 20.0 * std::log10(largest);
}

}  // namespace vexal::test
