#include "platform/decode_session.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vexal::platform {

using namespace ffmpeg;

namespace {

constexpr double kMaxDsdDecodeRate = 1411200.0;  // Hz, DSD256 decoded by FFmpeg
// Undecodable packets a lossy stream may end with (a cut last frame) and still be whole.
constexpr int kMaxBadTailPackets = 2;

// DSD256 decodes at 1.4112 MHz, beyond the PCM limit; it is reported at a lower rate.
bool validDecodeRate(AVCodecID id, double rate) {
  return validRate(rate) || (isDsd(id) && std::isfinite(rate) && rate <= kMaxDsdDecodeRate);
}

}  // namespace

bool validRate(double rate) { return std::isfinite(rate) && rate >= kMinSampleRate && rate <= kMaxSampleRate; }

bool isDsd(AVCodecID id) {
  return id == AV_CODEC_ID_DSD_LSBF || id == AV_CODEC_ID_DSD_MSBF || id == AV_CODEC_ID_DSD_LSBF_PLANAR ||
         id == AV_CODEC_ID_DSD_MSBF_PLANAR || id == AV_CODEC_ID_DST;
}

Status DecodeSession::open(const std::filesystem::path& path, bool manualTrim, std::unique_ptr<DecodeSession>& out) {
  auto session = std::unique_ptr<DecodeSession>(new DecodeSession());
  AVFormatContext* raw = nullptr;
  if (const int status = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); status < 0) return status;
  session->format_.reset(raw);
  if (const int status = avformat_find_stream_info(raw, nullptr); status < 0) return status;
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (index < 0 || codec == nullptr) return index == AVERROR_DECODER_NOT_FOUND ? index : kStatusNoAudioStream;
  session->stream_ = raw->streams[index];
  const AVCodecParameters* parameters = session->stream_->codecpar;
  if (parameters->ch_layout.nb_channels < 1 || parameters->ch_layout.nb_channels > kMaxSourceChannels) {
    return kStatusUnsupportedLayout;
  }
  if (!validDecodeRate(parameters->codec_id, parameters->sample_rate)) return kStatusUnsupportedLayout;
  session->decoder_.reset(avcodec_alloc_context3(codec));
  if (!session->decoder_) return AVERROR(ENOMEM);
  AVCodecContext* decoder = session->decoder_.get();
  if (const int status = avcodec_parameters_to_context(decoder, parameters); status < 0) return status;
  decoder->pkt_timebase = session->stream_->time_base;
  // Jobs already run one per core; a decoder thread pool would only contend.
  decoder->thread_count = 1;
  if (manualTrim) decoder->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
  if (const int status = avcodec_open2(decoder, codec, nullptr); status < 0) return status;
  if (decoder->ch_layout.nb_channels < 1 || decoder->ch_layout.nb_channels > kMaxSourceChannels ||
      !validDecodeRate(decoder->codec_id, decoder->sample_rate)) {
    return kStatusUnsupportedLayout;
  }
  session->packet_.reset(av_packet_alloc());
  session->frame_.reset(av_frame_alloc());
  if (!session->packet_ || !session->frame_) return AVERROR(ENOMEM);
  session->sampleRate_ = decoder->sample_rate;
  out = std::move(session);
  return kNoError;
}

Status DecodeSession::decode(bool& end) {
  end = false;
  AVCodecContext* decoder = decoder_.get();
  AVFrame* frame = frame_.get();
  av_frame_unref(frame);
  for (;;) {
    const int received = avcodec_receive_frame(decoder, frame);
    if (received == 0) {
      if (frame->nb_samples <= 0) {
        av_frame_unref(frame);
        continue;
      }
      // Audio after an undecodable packet: the damage is mid-stream.
      if (badPackets_ > 0) return kStatusSourceDamaged;
      if (position_ < 0 && !placeFrame()) return kStatusUnknownPosition;
      framePosition_ = position_;
      position_ += frame->nb_samples;
      return kNoError;
    }
    if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && drained_)) {
      end = true;
      return endStatus();
    }
    if (received != AVERROR(EAGAIN)) {
      if (received == AVERROR(ENOMEM)) return received;
      noteBadPacket();
      continue;
    }
    AVPacket* packet = packet_.get();
    const int read = av_read_frame(format_.get(), packet);
    if (read < 0) {
      if (read == AVERROR(ENOMEM)) return read;
      // What decodes before a damaged tail is still counted; the end then fails.
      if (read != AVERROR_EOF) demuxFailed_ = true;
      avcodec_send_packet(decoder, nullptr);
      drained_ = true;
      continue;
    }
    if (packet->stream_index != stream_->index) {
      av_packet_unref(packet);
      continue;
    }
    ++packetsRead_;
    if (skipBefore_ > 0) {
      if (endsBefore(*packet, skipBefore_)) {
        av_packet_unref(packet);
        continue;
      }
      skipBefore_ = 0;
    }
    const int sent = avcodec_send_packet(decoder, packet);
    av_packet_unref(packet);
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
      if (sent == AVERROR(ENOMEM)) return sent;
      noteBadPacket();
    }
  }
}

Status DecodeSession::containerSeek(std::int64_t sourceFrame) {
  const std::int64_t start = stream_->start_time == AV_NOPTS_VALUE ? 0 : stream_->start_time;
  const std::int64_t timestamp = av_rescale_q(sourceFrame, AVRational{1, sampleRate_}, stream_->time_base) + start;
  const int status = avformat_seek_file(format_.get(), stream_->index, std::numeric_limits<std::int64_t>::min(),
                                        timestamp, timestamp, 0);
  if (status < 0) return status;
  avcodec_flush_buffers(decoder_.get());
  drained_ = false;
  demuxFailed_ = false;
  badPackets_ = 0;
  position_ = -1;
  seekTarget_ = sourceFrame;
  return kNoError;
}

Status DecodeSession::endStatus() const {
  // A seek the container took to a position with nothing after it got there.
  const std::int64_t reached = position_ >= 0 ? position_ : seekTarget_;
  const bool short_ = declared_ && reached < *declared_ - tolerance_;
  const bool badTail = badPackets_ > 0 && (tolerance_ == 0 || badPackets_ > kMaxBadTailPackets || reached == 0);
  // A stream stating no length that decodes to nothing at all: its header promised audio
  // (an empty output would pass for a conversion).
  const bool nothing = !declared_ && reached == 0;
  return demuxFailed_ || cutShort_ || short_ || badTail || nothing ? kStatusSourceDamaged : kNoError;
}

bool DecodeSession::endsBefore(const AVPacket& packet, std::int64_t sourceFrame) const {
  const std::int64_t timestamp = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
  if (timestamp == AV_NOPTS_VALUE || packet.duration <= 0) return false;
  const std::int64_t start = stream_->start_time == AV_NOPTS_VALUE ? 0 : stream_->start_time;
  const std::int64_t end = av_rescale_q(timestamp + packet.duration - start, stream_->time_base,
                                        AVRational{1, sampleRate_});
  return end <= sourceFrame;
}

bool DecodeSession::placeFrame() {
  const AVFrame* frame = frame_.get();
  std::int64_t timestamp = frame->best_effort_timestamp;
  if (timestamp == AV_NOPTS_VALUE) timestamp = frame->pts;
  if (timestamp == AV_NOPTS_VALUE) return false;
  const std::int64_t start = stream_->start_time == AV_NOPTS_VALUE ? 0 : stream_->start_time;
  const AVRational base = frame->time_base.num > 0 ? frame->time_base : stream_->time_base;
  position_ = av_rescale_q(timestamp - start, base, AVRational{1, sampleRate_});
  return position_ >= 0;
}

}  // namespace vexal::platform
