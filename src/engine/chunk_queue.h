#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "model/conversion_error.h"

namespace vexal {

// A bounded queue of chunks between a reading thread and an encoding thread of one
// conversion. Its kSlots buffers are allocated once and go round a ring, so a chunk
// costs no allocation; the reader stays at most kSlots chunks ahead. One producer and one
// consumer, each holding at most one buffer at a time.
template <typename Sample>
class ChunkQueue {
 public:
  static constexpr std::size_t kSlots = 4;

  struct Chunk {
    Sample* samples = nullptr;
    std::uint32_t frames = 0;
  };

  explicit ChunkQueue(std::size_t samplesPerChunk) {
    for (auto& slot : slots_) slot.assign(samplesPerChunk, Sample{});
  }

  // Producer: the buffer to fill next, once one is free; nullptr when `stop` is
  // requested (the consumer has gone) — then nothing more is published.
  Sample* acquire(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!freed_.wait(lock, stop, [this] { return used_ < kSlots; })) return nullptr;
    return slots_[(head_ + used_) % kSlots].data();
  }
  // Producer: the acquired buffer holds `frames` frames.
  void publish(std::uint32_t frames) {
    {
      std::lock_guard lock(mutex_);
      frames_[(head_ + used_) % kSlots] = frames;
      ++used_;
    }
    filled_.notify_one();
  }
  // Producer: no more chunks; `result` is the reason (success at the end of the range,
  // or the reading side's error).
  void finish(Expected<> result) {
    {
      std::lock_guard lock(mutex_);
      result_ = std::move(result);
    }
    filled_.notify_one();
  }

  // Consumer: the oldest published chunk, in order; nothing once the producer has
  // finished and every chunk was taken (then `result()` says how it ended).
  std::optional<Chunk> next() {
    std::unique_lock lock(mutex_);
    filled_.wait(lock, [this] { return used_ > taken_ || result_; });
    if (used_ == taken_) return std::nullopt;
    taken_ = 1;
    return Chunk{slots_[head_].data(), frames_[head_]};
  }
  // Consumer: the chunk from next() is encoded; its buffer goes back to the producer.
  void release() {
    {
      std::lock_guard lock(mutex_);
      head_ = (head_ + 1) % kSlots;
      --used_;
      taken_ = 0;
    }
    freed_.notify_one();
  }
  Expected<> result() const {
    std::lock_guard lock(mutex_);
    return result_.value_or(Expected<>{});
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable_any freed_;
  std::condition_variable_any filled_;
  std::array<std::vector<Sample>, kSlots> slots_;
  std::array<std::uint32_t, kSlots> frames_{};
  std::size_t head_ = 0;   // oldest published slot
  std::size_t used_ = 0;   // published slots not yet released, from head_
  std::size_t taken_ = 0;  // 1 while the consumer holds slot head_
  std::optional<Expected<>> result_;
};

}  // namespace vexal
