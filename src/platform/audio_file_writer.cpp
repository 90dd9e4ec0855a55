#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <vector>

#include "platform/audio_file.h"
#include "platform/ffmpeg_handles.h"

namespace vexal::platform {

using namespace ffmpeg;

namespace {

// Frames converted per step when a write hands over a large buffer.
constexpr int kConversionChunk = 4096;
// PCM encoders take frames of any size; this is the size handed to them.
constexpr int kPcmFrameSize = 4096;
constexpr int kAlacFrameSize = 4096;
// libFLAC's own block size at every rate. FFmpeg's encoder picks 16384 above 96 kHz,
// and its own parser then loses such frames of incompressible surround audio: the file
// decodes to nothing.
constexpr int kFlacFrameSize = 4096;
// The native AAC encoder holds at most 6144 bits per channel in one 1024-frame packet.
constexpr double kAacMaxBitsPerChannelFrame = 6144.0;
constexpr int kAacFrameSize = 1024;
constexpr double kMaxAacQuality = 10.0;
// 2^23 and 2^15: full scale of 24- and 16-bit integer samples.
constexpr double kScale24 = 8388608.0;
constexpr double kScale16 = 32768.0;

enum class SampleKind { int16, int24, float32 };

struct Target {
  const char* muxer = nullptr;
  const char* encoder = nullptr;
  AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
  SampleKind kind = SampleKind::float32;
  int bitsPerRawSample = 0;
};

std::optional<Target> targetFor(FileType type, const StreamDescription& destination) {
  switch (type) {
    case FileType::m4a:
      if (destination.formatID == FormatID::kAAC) {
        return Target{"ipod", "aac", AV_SAMPLE_FMT_FLTP, SampleKind::float32, 0};
      }
      if (destination.formatID == FormatID::kALAC) {
        if (destination.bitsPerChannel == 16) return Target{"ipod", "alac", AV_SAMPLE_FMT_S16P, SampleKind::int16, 16};
        return Target{"ipod", "alac", AV_SAMPLE_FMT_S32P, SampleKind::int24, 24};
      }
      return std::nullopt;
    case FileType::flac:
      if (destination.formatID != FormatID::kFLAC) return std::nullopt;
      if (destination.bitsPerChannel == 16) return Target{"flac", "flac", AV_SAMPLE_FMT_S16, SampleKind::int16, 16};
      return Target{"flac", "flac", AV_SAMPLE_FMT_S32, SampleKind::int24, 24};
    case FileType::wave:
      if (destination.formatID != FormatID::kLinearPCM) return std::nullopt;
      if (destination.formatFlags & FormatFlags::kFloat) {
        return Target{"wav", "pcm_f32le", AV_SAMPLE_FMT_FLT, SampleKind::float32, 0};
      }
      if (destination.bitsPerChannel == 16) return Target{"wav", "pcm_s16le", AV_SAMPLE_FMT_S16, SampleKind::int16, 0};
      return Target{"wav", "pcm_s24le", AV_SAMPLE_FMT_S32, SampleKind::int24, 24};
    case FileType::aiff:
      if (destination.formatID != FormatID::kLinearPCM || (destination.formatFlags & FormatFlags::kFloat)) {
        return std::nullopt;
      }
      if (destination.bitsPerChannel == 16) return Target{"aiff", "pcm_s16be", AV_SAMPLE_FMT_S16, SampleKind::int16, 0};
      return Target{"aiff", "pcm_s24be", AV_SAMPLE_FMT_S32, SampleKind::int24, 24};
  }
  return std::nullopt;
}

// The layout a file of `channels` channels is labelled with: the encoder's own for that
// count when it has a list (ALAC's 7.1 is the wide one), else the usual speaker set of
// WAVE_FORMAT_EXTENSIBLE (5.1 is front, centre, LFE and the back pair: mask 0x3F).
AVChannelLayout layoutFor(const AVCodec* codec, int channels) {
  AVChannelLayout layout{};
  if (codec != nullptr && codec->ch_layouts != nullptr) {
    for (const AVChannelLayout* known = codec->ch_layouts; known->nb_channels != 0; ++known) {
      if (known->nb_channels == channels) {
        av_channel_layout_copy(&layout, known);
        return layout;
      }
    }
  }
  static constexpr std::uint64_t kMasks[] = {
      AV_CH_LAYOUT_MONO,         AV_CH_LAYOUT_STEREO,       AV_CH_LAYOUT_SURROUND,
      AV_CH_LAYOUT_QUAD,         AV_CH_LAYOUT_5POINT0_BACK, AV_CH_LAYOUT_5POINT1_BACK,
      AV_CH_LAYOUT_6POINT1_BACK, AV_CH_LAYOUT_7POINT1};
  if (channels >= 1 && channels <= static_cast<int>(std::size(kMasks))) {
    av_channel_layout_from_mask(&layout, kMasks[channels - 1]);
  } else {
    av_channel_layout_default(&layout, channels);
  }
  return layout;
}

// Rounds to the nearest integer step after adding `dither` steps: without dither,
// values on the grid stay exact.
std::int32_t quantise(float sample, double scale, double dither) {
  if (!std::isfinite(sample)) return 0;
  const double scaled = std::nearbyint(static_cast<double>(sample) * scale + dither);
  return static_cast<std::int32_t>(std::clamp(scaled, -scale, scale - 1.0));
}

// TPDF dither: the difference of two uniform values, triangular over (-1, 1) steps
// (variance 1/6 of a step squared), from a xorshift64* sequence fixed per file so that a
// conversion writes the same file every time.
class TpdfDither {
 public:
  double next() { return uniform() - uniform(); }

 private:
  double uniform() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<double>((state_ * 0x2545F4914F6CDD1DULL) >> 11) * 0x1.0p-53;
  }
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

}  // namespace

double nearestEncoderRate(std::uint32_t formatID, double sampleRate) {
  const AVCodec* codec = formatID == FormatID::kAAC ? avcodec_find_encoder_by_name("aac") : nullptr;
  if (codec == nullptr || codec->supported_samplerates == nullptr) return sampleRate;
  double nearest = sampleRate;
  double distance = std::numeric_limits<double>::infinity();
  for (const int* rate = codec->supported_samplerates; *rate != 0; ++rate) {
    if (const double d = std::fabs(*rate - sampleRate); d < distance) {
      distance = d;
      nearest = *rate;
    }
  }
  return nearest;
}

std::uint32_t maxAACBitrate(double sampleRate, std::uint32_t channels) {
  const double limit = std::floor(kAacMaxBitsPerChannelFrame * channels * sampleRate / kAacFrameSize);
  if (!std::isfinite(limit) || limit < 0) return 0;
  return static_cast<std::uint32_t>(std::min<double>(limit, std::numeric_limits<std::uint32_t>::max()));
}

struct AudioFileWriter::Impl {
  std::filesystem::path path;
  StreamDescription destination;
  Target target;
  const AVCodec* codec = nullptr;
  OutputFormatPtr format;
  AVStream* stream = nullptr;
  CodecContextPtr encoder;
  PacketPtr packet;
  FramePtr frame;
  AudioFifoPtr fifo;
  std::vector<std::uint8_t> scratch;
  std::optional<std::uint32_t> bitRate;
  std::optional<double> quality;
  std::optional<TpdfDither> dither;
  std::int64_t nextPts = 0;
  int frameSize = 0;
  bool started = false;
  bool closed = false;
  Status failure = kNoError;  // the first failure; every later call repeats it

  bool isAac() const { return destination.formatID == FormatID::kAAC; }
  Status configure(AVCodecContext* context) const;
  Status tryEncoder() const;
  Status start();
  Status encode(AVFrame* input);
  Status sendFromFifo(int frames);
  Status fail(Status status) {
    if (failure == kNoError) failure = status;
    return failure;
  }
};

Status AudioFileWriter::Impl::configure(AVCodecContext* context) const {
  context->sample_rate = static_cast<int>(destination.sampleRate);
  av_channel_layout_uninit(&context->ch_layout);
  context->ch_layout = layoutFor(codec, static_cast<int>(destination.channelsPerFrame));
  context->sample_fmt = target.sampleFormat;
  context->time_base = AVRational{1, context->sample_rate};
  context->thread_count = 1;
  if (target.bitsPerRawSample > 0) context->bits_per_raw_sample = target.bitsPerRawSample;
  if (isAac()) {
    if (quality) {
      context->flags |= AV_CODEC_FLAG_QSCALE;
      context->global_quality = static_cast<int>(std::lround(*quality * FF_QP2LAMBDA));
    } else if (bitRate) {
      context->bit_rate = *bitRate;
    }
  }
  if (std::string_view(target.encoder) == "alac") context->frame_size = kAlacFrameSize;
  if (std::string_view(target.encoder) == "flac") context->frame_size = kFlacFrameSize;
  if (format && (format->oformat->flags & AVFMT_GLOBALHEADER)) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  return kNoError;
}

// Opens a throw-away encoder with the current settings: the encoder's refusal of a rate,
// channel count or bit rate surfaces before anything is written.
Status AudioFileWriter::Impl::tryEncoder() const {
  CodecContextPtr trial(avcodec_alloc_context3(codec));
  if (!trial) return AVERROR(ENOMEM);
  configure(trial.get());
  return avcodec_open2(trial.get(), codec, nullptr);
}

Status AudioFileWriter::Impl::start() {
  if (started) return kNoError;
  started = true;
  encoder.reset(avcodec_alloc_context3(codec));
  if (!encoder) return fail(AVERROR(ENOMEM));
  configure(encoder.get());
  if (const int status = avcodec_open2(encoder.get(), codec, nullptr); status < 0) return fail(status);
  if (const int status = avcodec_parameters_from_context(stream->codecpar, encoder.get()); status < 0) {
    return fail(status);
  }
  stream->time_base = encoder->time_base;
  frameSize = encoder->frame_size > 0 ? encoder->frame_size : kPcmFrameSize;
  fifo.reset(av_audio_fifo_alloc(encoder->sample_fmt, encoder->ch_layout.nb_channels, frameSize * 2));
  packet.reset(av_packet_alloc());
  frame.reset(av_frame_alloc());
  if (!fifo || !packet || !frame) return fail(AVERROR(ENOMEM));
  AVDictionary* options = nullptr;
  // MP4 edit lists count in the movie time scale (default 1 ms): at the sample rate the
  // encoder delay and the end of the audio are recorded to the frame.
  if (std::string_view(target.muxer) == "ipod") {
    av_dict_set_int(&options, "movie_timescale", encoder->sample_rate, 0);
  }
  const int header = avformat_write_header(format.get(), &options);
  av_dict_free(&options);
  if (header < 0) return fail(header);
  if (format->pb->error < 0) return fail(format->pb->error);
  return kNoError;
}

Status AudioFileWriter::Impl::encode(AVFrame* input) {
  if (const int status = avcodec_send_frame(encoder.get(), input); status < 0) return fail(status);
  for (;;) {
    const int received = avcodec_receive_packet(encoder.get(), packet.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return kNoError;
    if (received < 0) return fail(received);
    // The last AAC packets end where the input ended: MP4 edit lists are built from
    // these durations, and the encoder's own are a few frames off.
    if (isAac() && input == nullptr && packet->pts != AV_NOPTS_VALUE && packet->pts + frameSize > nextPts) {
      packet->duration = std::max<std::int64_t>(0, nextPts - packet->pts);
    }
    av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(format.get(), packet.get());
    if (written < 0) return fail(written);
    if (format->pb->error < 0) return fail(format->pb->error);
  }
}

Status AudioFileWriter::Impl::sendFromFifo(int frames) {
  AVFrame* out = frame.get();
  av_frame_unref(out);
  out->nb_samples = frames;
  out->format = encoder->sample_fmt;
  out->sample_rate = encoder->sample_rate;
  if (const int status = av_channel_layout_copy(&out->ch_layout, &encoder->ch_layout); status < 0) return fail(status);
  if (const int status = av_frame_get_buffer(out, 0); status < 0) return fail(status);
  if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(out->extended_data), frames) < frames) {
    return fail(AVERROR_BUG);
  }
  out->pts = nextPts;
  nextPts += frames;
  return encode(out);
}

AudioFileWriter::AudioFileWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AudioFileWriter::~AudioFileWriter() {
  if (impl_ && !impl_->closed) close();
}

Status AudioFileWriter::create(const std::filesystem::path& path, FileType type, const StreamDescription& destination,
                               std::unique_ptr<AudioFileWriter>& out) {
  out.reset();
  ffmpeg::silenceLibraryLog();
  const double rate = destination.sampleRate;
  if (!std::isfinite(rate) || rate < kMinSampleRate || rate > kMaxSampleRate || std::floor(rate) != rate) {
    return kStatusBadDestination;
  }
  if (destination.channelsPerFrame < 1 || destination.channelsPerFrame > kMaxChannels) return kStatusBadDestination;
  const std::optional<Target> target = targetFor(type, destination);
  if (!target) return kStatusBadDestination;

  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->destination = destination;
  impl->target = *target;
  impl->codec = avcodec_find_encoder_by_name(target->encoder);
  if (impl->codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
  AVFormatContext* raw = nullptr;
  if (const int status = avformat_alloc_output_context2(&raw, nullptr, target->muxer, path.c_str()); status < 0) {
    return status;
  }
  impl->format.reset(raw);
  impl->stream = avformat_new_stream(raw, nullptr);
  if (impl->stream == nullptr) return AVERROR(ENOMEM);
  if (const Status status = impl->tryEncoder(); status < 0) return status;
  // Opening the output truncates an existing file: the last step, once all else is valid.
  if (const int status = avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE); status < 0) return status;
  out.reset(new AudioFileWriter(std::move(impl)));
  return kNoError;
}

Status AudioFileWriter::setClientFormat(const StreamDescription& client) {
  if (impl_->closed) return kStatusAlreadyClosed;
  const StreamDescription expected =
      floatClientFormat(impl_->destination.sampleRate, impl_->destination.channelsPerFrame);
  return client == expected ? kNoError : kStatusBadClientFormat;
}

Status AudioFileWriter::setAACBitrate(std::uint32_t bitsPerSecond) {
  Impl& impl = *impl_;
  if (impl.closed) return kStatusAlreadyClosed;
  if (!impl.isAac() || impl.started) return kStatusBadArgument;
  if (bitsPerSecond < kMinAACBitrate ||
      bitsPerSecond > maxAACBitrate(impl.destination.sampleRate, impl.destination.channelsPerFrame)) {
    return kStatusBadArgument;
  }
  const auto previousRate = impl.bitRate;
  const auto previousQuality = impl.quality;
  impl.bitRate = bitsPerSecond;
  impl.quality.reset();
  if (const Status status = impl.tryEncoder(); status != kNoError) {
    impl.bitRate = previousRate;
    impl.quality = previousQuality;
    return status;
  }
  return kNoError;
}

Status AudioFileWriter::setAACVBRQuality(double quality) {
  Impl& impl = *impl_;
  if (impl.closed) return kStatusAlreadyClosed;
  if (!impl.isAac() || impl.started) return kStatusBadArgument;
  if (!std::isfinite(quality) || quality <= 0.0 || quality > kMaxAacQuality) return kStatusBadArgument;
  impl.quality = quality;
  impl.bitRate.reset();
  return kNoError;
}

Status AudioFileWriter::setDither(bool on) {
  Impl& impl = *impl_;
  if (impl.closed) return kStatusAlreadyClosed;
  if (impl.started) return kStatusBadArgument;
  impl.dither.reset();
  if (on) impl.dither.emplace();
  return kNoError;
}

Status AudioFileWriter::commitEncoderSettings() {
  Impl& impl = *impl_;
  if (impl.closed) return kStatusAlreadyClosed;
  if (impl.failure != kNoError) return impl.failure;
  if (impl.started) return kNoError;
  return impl.start();
}

Status AudioFileWriter::write(const void* buffer, std::uint32_t frames) {
  Impl& impl = *impl_;
  if (impl.closed) return kStatusAlreadyClosed;
  if (impl.failure != kNoError) return impl.failure;
  if (frames == 0) return kNoError;
  if (buffer == nullptr) return kStatusBadArgument;
  if (const Status status = impl.start(); status != kNoError) return status;
  const int channels = static_cast<int>(impl.destination.channelsPerFrame);
  const bool planar = av_sample_fmt_is_planar(impl.target.sampleFormat);
  const int sampleBytes = av_get_bytes_per_sample(impl.target.sampleFormat);
  impl.scratch.resize(static_cast<std::size_t>(kConversionChunk) * channels * sampleBytes);
  const auto* input = static_cast<const float*>(buffer);
  for (std::uint32_t done = 0; done < frames;) {
    const int count = static_cast<int>(std::min<std::uint32_t>(kConversionChunk, frames - done));
    const float* source = input + static_cast<std::size_t>(done) * channels;
    std::uint8_t* planes[kMaxChannels] = {};
    for (int c = 0; c < (planar ? channels : 1); ++c) {
      planes[c] = impl.scratch.data() + static_cast<std::size_t>(c) * kConversionChunk * sampleBytes;
    }
    for (int i = 0; i < count; ++i) {
      for (int c = 0; c < channels; ++c) {
        const float sample = source[static_cast<std::size_t>(i) * channels + c];
        const double offset = impl.dither && impl.target.kind != SampleKind::float32 ? impl.dither->next() : 0.0;
        const std::size_t index = planar ? static_cast<std::size_t>(i) : static_cast<std::size_t>(i) * channels + c;
        std::uint8_t* plane = planar ? planes[c] : planes[0];
        switch (impl.target.kind) {
          case SampleKind::int16:
            reinterpret_cast<std::int16_t*>(plane)[index] = static_cast<std::int16_t>(quantise(sample, kScale16, offset));
            break;
          case SampleKind::int24:
            // 24-bit samples sit in the top bits of a 32-bit word, as FFmpeg expects.
            reinterpret_cast<std::int32_t*>(plane)[index] =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(quantise(sample, kScale24, offset)) << 8);
            break;
          case SampleKind::float32:
            reinterpret_cast<float*>(plane)[index] = sample;
            break;
        }
      }
    }
    if (av_audio_fifo_write(impl.fifo.get(), reinterpret_cast<void**>(planes), count) < count) {
      return impl.fail(AVERROR(ENOMEM));
    }
    done += static_cast<std::uint32_t>(count);
    while (av_audio_fifo_size(impl.fifo.get()) >= impl.frameSize) {
      if (const Status status = impl.sendFromFifo(impl.frameSize); status != kNoError) return status;
    }
  }
  return kNoError;
}

Status AudioFileWriter::close() {
  Impl& impl = *impl_;
  if (impl.closed) return kStatusAlreadyClosed;
  impl.closed = true;
  Status status = impl.failure;
  if (status == kNoError) status = impl.start();
  if (status == kNoError && av_audio_fifo_size(impl.fifo.get()) > 0) {
    status = impl.sendFromFifo(av_audio_fifo_size(impl.fifo.get()));
  }
  if (status == kNoError) status = impl.encode(nullptr);
  if (status == kNoError) {
    if (const int written = av_write_trailer(impl.format.get()); written < 0) status = impl.fail(written);
  }
  AVFormatContext* format = impl.format.get();
  if (format->pb != nullptr) {
    avio_flush(format->pb);
    if (status == kNoError && format->pb->error < 0) status = impl.fail(format->pb->error);
    if (const int closed = avio_closep(&format->pb); closed < 0 && status == kNoError) status = impl.fail(closed);
  }
  impl.encoder.reset();
  impl.format.reset();
  return status;
}

}  // namespace vexal::platform
