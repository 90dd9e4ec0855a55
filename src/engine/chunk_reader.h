#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/chunk_queue.h"
#include "engine/chunk_stage.h"
#include "engine/encode_request.h"
#include "engine/loudness.h"
#include "engine/true_peak.h"
#include "model/conversion_error.h"
#include "platform/audio_file.h"

namespace vexal {

inline constexpr std::uint32_t kChunkFrames = 8192;

// Step names under which a reading stage reports its failing audio-file calls.
struct ReadSteps {
  std::string_view open;
  std::string_view seek;
  std::string_view setClientFormat;
  std::string_view read;
};

// The range a stage reads, in client frames. `bounded` false means "until the end of
// the file". Start and end are source frames; when the client rate differs from the
// source rate the length is scaled to client frames (rounded to nearest), so a range
// converts to the same duration at any output rate. An explicit end at or before the
// start is an empty range, not "the whole file".
struct FrameBudget {
  bool bounded = false;
  std::int64_t frames = 0;
};
FrameBudget frameBudget(const EncodeRequest& request, double clientRate);

// The chunked reading loop shared by every encoder: opens the source, seeks to the
// range start, sets the client format, then reads chunks of at most kChunkFrames into
// one buffer allocated once, applies the gain/fade stage, hands each chunk to the
// encoder, reports progress and polls for cancellation before the first chunk and
// after every chunk. A pipelined request reads on a second thread, a few chunks ahead
// of the encoder (ChunkQueue); chunks, progress and the tally stay in the same order.
template <typename Sample>
class ChunkReader {
 public:
  // Sample is float (float32 client format) or std::int16_t (int16 client format).
  static Expected<ChunkReader> open(const EncodeRequest& request, double clientRate,
                                    std::uint32_t clientChannels, const ReadSteps& steps);

  // `consume(Sample* samples, std::uint32_t frames) -> Expected<>` encodes one chunk.
  // Returns the number of frames read. Does not report the final 1.0: the encoder does,
  // once its output is finished.
  template <typename Consume>
  Expected<std::int64_t> run(Consume&& consume);

  std::uint32_t channels() const { return channels_; }
  double sampleRate() const { return rate_; }
  const FrameBudget& budget() const { return budget_; }

 private:
  ChunkReader() = default;
  Expected<std::uint32_t> produce(Sample* samples);
  Expected<std::uint32_t> readStaged(Sample* samples);
  std::uint32_t limit(Sample* samples, std::uint32_t frames);
  template <typename Encode>
  Expected<> streamInline(Encode& encode);
  template <typename Encode>
  Expected<> streamPipelined(Encode& encode);

  const EncodeRequest* request_ = nullptr;
  ReadSteps steps_;
  std::unique_ptr<platform::AudioFileReader> reader_;
  std::vector<Sample> buffer_;
  std::uint32_t channels_ = 0;
  double rate_ = 0;
  FrameBudget budget_;
  ChunkStage stage_;
  std::optional<LoudnessMeter> meter_;  // when the tally asks for loudness
  std::optional<TruePeakLimiter> limiter_;
  std::vector<float> limited_;  // int16 chunks as float, for the limiter
  std::int64_t read_ = 0;       // frames read from the source so far
  bool sourceEnded_ = false;
};

// Fails with sourceDamaged when a read that ended at the end of the source delivered
// fewer than the budget's frames (beyond the resampler's rounding).
Expected<> checkBudgetReached(const EncodeRequest& request, const FrameBudget& budget,
                              double clientRate, std::int64_t processed);

// Checks a client rate and channel count before anything is allocated for them.
bool isSupportedClientFormat(double sampleRate, std::int64_t channels);

template <typename Sample>
Expected<ChunkReader<Sample>> ChunkReader<Sample>::open(const EncodeRequest& request,
                                                        double clientRate,
                                                        std::uint32_t clientChannels,
                                                        const ReadSteps& steps) {
  static_assert(std::is_same_v<Sample, float> || std::is_same_v<Sample, std::int16_t>);
  ChunkReader chunks;
  chunks.request_ = &request;
  chunks.steps_ = steps;
  const auto status = platform::AudioFileReader::open(request.source, chunks.reader_);
  if (status != platform::kNoError || !chunks.reader_) {
    return Unexpected(ConversionError::extAudioFileError(std::string(steps.open), status));
  }
  if (request.start) {
    if (const auto s = chunks.reader_->seek(*request.start); s != platform::kNoError) {
      return Unexpected(ConversionError::extAudioFileError(std::string(steps.seek), s));
    }
  }
  if (!isSupportedClientFormat(clientRate, clientChannels)) {
    return Unexpected(ConversionError::extAudioFileError(std::string(steps.setClientFormat),
                                                         platform::kStatusBadClientFormat));
  }
  const auto client = std::is_same_v<Sample, float>
                          ? platform::floatClientFormat(clientRate, clientChannels)
                          : platform::int16ClientFormat(clientRate, clientChannels);
  if (const auto s = chunks.reader_->setClientFormat(client); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError(std::string(steps.setClientFormat), s));
  }
  chunks.channels_ = clientChannels;
  chunks.rate_ = clientRate;
  chunks.budget_ = frameBudget(request, clientRate);
  chunks.stage_ = ChunkStage{request.gain, request.fadeInFrames, request.fadeOutFrames,
                             chunks.budget_.bounded ? chunks.budget_.frames : 0};
  // A pipelined run reads into its queue's buffers instead.
  if (!request.pipelined) {
    chunks.buffer_.assign(static_cast<std::size_t>(kChunkFrames) * clientChannels, Sample{});
  }
  if (request.tally && request.tally->measureLoudness) chunks.meter_.emplace(clientRate, clientChannels);
  if (request.limiterCeiling) {
    chunks.limiter_.emplace(clientRate, clientChannels, *request.limiterCeiling);
    if constexpr (std::is_same_v<Sample, std::int16_t>) {
      chunks.limited_.assign(static_cast<std::size_t>(kChunkFrames) * clientChannels, 0.0f);
    }
  }
  return chunks;
}

// Reads the next chunk of the range into `samples` through the gain/fade stage; 0 frames:
// the range or file ended.
template <typename Sample>
Expected<std::uint32_t> ChunkReader<Sample>::readStaged(Sample* samples) {
  std::uint32_t frames = kChunkFrames;
  if (budget_.bounded) {
    const std::int64_t remaining = budget_.frames - read_;
    if (remaining <= 0) return 0u;
    frames = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, kChunkFrames));
  }
  if (const auto s = reader_->read(samples, frames); s != platform::kNoError) {
    return Unexpected(readFailure(*reader_, std::string(steps_.read), s));
  }
  if (frames == 0) return 0u;
  // 16-bit samples meet the limiter as floats, so that the gain does not clip first.
  if (!limiter_ || std::is_same_v<Sample, float>) stage_.apply(samples, frames, channels_, read_);
  read_ += frames;
  return frames;
}

// Runs `frames` staged frames (none once the source ended) through the look-ahead
// limiter; returns the frames leaving it, delayed by its latency.
template <typename Sample>
std::uint32_t ChunkReader<Sample>::limit(Sample* samples, std::uint32_t frames) {
  if constexpr (std::is_same_v<Sample, float>) {
    return sourceEnded_ ? limiter_->drain(samples) : limiter_->process(samples, frames);
  } else {
    constexpr float kScale = 32768.0f;
    float* staged = limited_.data();
    const std::size_t count = std::size_t{frames} * channels_;
    for (std::size_t i = 0; i < count; ++i) staged[i] = static_cast<float>(samples[i]) / kScale;
    stage_.apply(staged, frames, channels_, read_ - frames);
    const std::uint32_t out = sourceEnded_ ? limiter_->drain(staged) : limiter_->process(staged, frames);
    for (std::size_t i = 0; i < std::size_t{out} * channels_; ++i) {
      samples[i] = static_cast<std::int16_t>(
          std::clamp(std::nearbyint(staged[i] * kScale), -kScale, kScale - 1.0f));
    }
    return out;
  }
}

// The next chunk to encode: read, staged, limited, then summed into the tally's checksum
// and loudness meter. 0 frames: the range or file ended.
template <typename Sample>
Expected<std::uint32_t> ChunkReader<Sample>::produce(Sample* samples) {
  std::uint32_t frames = 0;
  do {
    if (sourceEnded_ && !limiter_) return 0u;
    std::uint32_t staged = 0;
    if (!sourceEnded_) {
      auto read = readStaged(samples);
      if (!read) return Unexpected(std::move(read.error()));
      staged = *read;
      sourceEnded_ = staged == 0;
    }
    // The limiter keeps the head of its first chunk back, and gives it all out once
    // drained after the last.
    frames = limiter_ ? limit(samples, staged) : staged;
  } while (frames == 0 && !sourceEnded_);
  if (frames == 0) return 0u;
  if (meter_) meter_->add(samples, frames);
  // Only float chunks are summed: int16 reads feed lossy encoders alone.
  if constexpr (std::is_same_v<Sample, float>) {
    ConversionTally* tally = request_->tally;
    if (tally && tally->checksum) {
      tally->checksum = pcmChecksum(*tally->checksum, samples,
                                    static_cast<std::size_t>(frames) * channels_);
    }
  }
  return frames;
}

template <typename Sample>
template <typename Consume>
Expected<std::int64_t> ChunkReader<Sample>::run(Consume&& consume) {
  const EncodeRequest& request = *request_;
  if (request.stop.stop_requested()) return Unexpected(ConversionError::cancelled());
  std::int64_t processed = 0;
  // Encodes one chunk, in order, on the calling thread: progress and cancellation.
  auto encode = [&](Sample* samples, std::uint32_t frames) -> Expected<> {
    if (auto consumed = consume(samples, frames); !consumed) return consumed;
    processed += frames;
    if (budget_.bounded && budget_.frames > 0) {
      request.reportProgress(static_cast<double>(processed) / static_cast<double>(budget_.frames));
    }
    if (request.stop.stop_requested()) return Unexpected(ConversionError::cancelled());
    return {};
  };
  if (auto streamed = request.pipelined ? streamPipelined(encode) : streamInline(encode);
      !streamed) {
    return Unexpected(std::move(streamed.error()));
  }
  if (auto reached = checkBudgetReached(request, budget_, rate_, processed); !reached) {
    return Unexpected(std::move(reached.error()));
  }
  if (ConversionTally* tally = request.tally) {
    tally->frames = processed;
    tally->sampleRate = rate_;
    if (meter_) {
      meter_->finish();
      tally->loudness = MeasuredLoudness{meter_->peak(), meter_->blockPowers(), meter_->result().rmsDB};
    }
  }
  return processed;
}

template <typename Sample>
template <typename Encode>
Expected<> ChunkReader<Sample>::streamInline(Encode& encode) {
  for (;;) {
    auto frames = produce(buffer_.data());
    if (!frames) return Unexpected(std::move(frames.error()));
    if (*frames == 0) return {};
    if (auto encoded = encode(buffer_.data(), *frames); !encoded) return encoded;
  }
}

// Reading, resampling and the stage run on a second thread while this one encodes. When
// the encoder fails or is cancelled, leaving this function stops and joins the reading
// thread (std::jthread), which waits on nothing but a free buffer.
template <typename Sample>
template <typename Encode>
Expected<> ChunkReader<Sample>::streamPipelined(Encode& encode) {
  ChunkQueue<Sample> queue(static_cast<std::size_t>(kChunkFrames) * channels_);
  std::jthread reading([this, &queue](std::stop_token stop) {
    for (;;) {
      Sample* into = queue.acquire(stop);
      if (!into) return;
      auto frames = produce(into);
      if (!frames) return queue.finish(Unexpected(std::move(frames.error())));
      if (*frames == 0) return queue.finish({});
      queue.publish(*frames);
    }
  });
  while (auto chunk = queue.next()) {
    auto encoded = encode(chunk->samples, chunk->frames);
    queue.release();
    if (!encoded) return encoded;
  }
  // The tally's checksum was written on the reading thread.
  reading.join();
  return queue.result();
}

}  // namespace vexal
