#include <opus/opusenc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/chunk_reader.h"
#include "engine/encoder_limits.h"
#include "metadata/metadata_service.h"

namespace vexal {

namespace {

// Channel mapping family 1: Vorbis channel order, 1 to 8 channels (5.1, 7.1).
constexpr int kSurroundFamily = 1;

constexpr ReadSteps kSteps{"Open source for Opus", "Seek for Opus", "Set client format for Opus",
                           "Read for Opus"};

struct CommentsDeleter {
  void operator()(OggOpusComments* comments) const { ope_comments_destroy(comments); }
};
struct EncoderDeleter {
  void operator()(OggOpusEnc* encoder) const { ope_encoder_destroy(encoder); }
};

// The output file behind libopusenc's callbacks. The library ignores some write
// results, so every failure is also remembered here and checked by the encoder.
class OpusSink {
 public:
  OpusSink() = default;
  OpusSink(const OpusSink&) = delete;
  OpusSink& operator=(const OpusSink&) = delete;
  ~OpusSink() {
    if (file_) std::fclose(file_);
  }

  bool open(const std::filesystem::path& path) {
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
  }
  bool isOpen() const { return file_ != nullptr; }
  bool failed() const { return failed_; }

  // Closes the file if the library has not done so; false when anything failed.
  bool finish() {
    if (file_) close(this);
    return !failed_;
  }

  static int write(void* user, const unsigned char* bytes, opus_int32 length) {
    auto* sink = static_cast<OpusSink*>(user);
    const auto size = static_cast<std::size_t>(length);
    if (!sink->file_ || std::fwrite(bytes, 1, size, sink->file_) != size) {
      sink->failed_ = true;
      return 1;
    }
    return 0;
  }
  static int close(void* user) {
    auto* sink = static_cast<OpusSink*>(user);
    if (!sink->file_) return 0;
    const bool closed = std::fclose(sink->file_) == 0;
    sink->file_ = nullptr;
    if (!closed) sink->failed_ = true;
    return closed ? 0 : 1;
  }

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

constexpr OpusEncCallbacks kCallbacks{&OpusSink::write, &OpusSink::close};

ConversionError createError(int error) {
  return ConversionError::unsupportedFormat("Failed to create Opus encoder (error " +
                                            std::to_string(error) + ")");
}

}  // namespace

Expected<> encodeOpus(const EncodeRequest& request) {
  const ConversionSettings& settings = request.settings;
  const EncoderShape shape = encoderShape(request.format, settings, request.info);
  double rate = shape.sampleRate;
  // The encoder takes whole hertz; an out-of-range value is left for ChunkReader to refuse.
  if (std::isfinite(rate) && std::abs(rate) < std::numeric_limits<std::int32_t>::max()) {
    rate = std::trunc(rate);
  }
  const std::uint32_t channels = shape.channels;
  auto chunks = ChunkReader<float>::open(request, rate, channels, kSteps);
  if (!chunks) return Unexpected(std::move(chunks.error()));

  std::unique_ptr<OggOpusComments, CommentsDeleter> comments(ope_comments_create());
  if (!comments) return Unexpected(createError(OPE_ALLOC_FAIL));
  const auto& metadata = request.metadata;
  if (settings.preserveMetadata && metadata && metadata->hasContent()) {
    MetadataService::addOpusComments(comments.get(), *metadata);
  }

  // Declared before the encoder so that it outlives it: destroying the encoder may
  // still call back into the sink.
  OpusSink sink;
  int error = OPE_OK;
  std::unique_ptr<OggOpusEnc, EncoderDeleter> encoder(ope_encoder_create_callbacks(
      &kCallbacks, &sink, comments.get(), static_cast<opus_int32>(chunks->sampleRate()),
      static_cast<int>(channels), channels > 2 ? kSurroundFamily : 0, &error));
  if (error != OPE_OK || !encoder) return Unexpected(createError(error));

  // customBitrate, else Opus's own default of 128 kbit/s; the library clamps to its
  // supported range (500 bit/s up to 256 kbit/s per channel).
  const std::int64_t bitrate = std::clamp<std::int64_t>(
      shape.bitrate, 1, std::numeric_limits<opus_int32>::max());
  if (const int r = ope_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(static_cast<opus_int32>(bitrate)));
      r != OPE_OK) {
    return Unexpected(ConversionError::unsupportedFormat("Failed to set Opus bitrate (error " +
                                                         std::to_string(r) + ")"));
  }
  // The file is created only once the encoder accepted the format, so a refused
  // channel count leaves nothing behind.
  if (!sink.open(request.output)) return Unexpected(ConversionError::outputDirectoryNotWritable());

  const auto order = vorbisChannelOrder(channels);
  std::vector<float> reordered(order.empty() ? 0 : std::size_t{kChunkFrames} * channels);
  auto encoded = chunks->run([&](float* samples, std::uint32_t frames) -> Expected<> {
    if (!order.empty()) {
      for (std::size_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
          reordered[i * channels + c] = samples[i * channels + order[c]];
        }
      }
      samples = reordered.data();
    }
    const int r = ope_encoder_write_float(encoder.get(), samples, static_cast<int>(frames));
    if (sink.failed()) return Unexpected(ConversionError::outputDirectoryNotWritable());
    if (r != OPE_OK) {
      return Unexpected(ConversionError::unsupportedFormat("Opus write failed (error " +
                                                           std::to_string(r) + ")"));
    }
    return {};
  });
  if (!encoded) return Unexpected(std::move(encoded.error()));

  // libopusenc cannot drain a stream that never received a sample (it aborts); an
  // empty range becomes a file holding just the two header pages.
  const int drained = *encoded > 0 ? ope_encoder_drain(encoder.get())
                                   : ope_encoder_flush_header(encoder.get());
  if (sink.failed()) return Unexpected(ConversionError::outputDirectoryNotWritable());
  if (drained != OPE_OK) return Unexpected(ConversionError::unsupportedFormat("Opus drain failed"));
  encoder.reset();
  if (!sink.finish()) return Unexpected(ConversionError::outputDirectoryNotWritable());
  request.reportProgress(1.0);
  return {};
}

}  // namespace vexal
