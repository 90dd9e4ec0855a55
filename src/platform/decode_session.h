#pragma once

// One pass of demuxing and decoding, private to the audio-file layer.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/audio_file.h"
#include "platform/ffmpeg_handles.h"

namespace vexal::platform {

// FFmpeg's resampler mixes at most 64 channels; sources with more are refused.
inline constexpr int kMaxSourceChannels = 64;

bool validRate(double rate);
// FFmpeg decodes 1-bit DSD to float at an eighth of the bit rate (352.8 kHz for DSD64).
bool isDsd(AVCodecID id);

// One pass of demuxing and decoding over a file: frames in source order, each with the
// source position of its first sample.
class DecodeSession {
 public:
  // `manualTrim` keeps every decoded sample, ignoring the container's start and end
  // trimming.
  static Status open(const std::filesystem::path& path, bool manualTrim, std::unique_ptr<DecodeSession>& out);

  // The length the stream should reach: ending more than `tolerance` frames short of
  // `declared`, or in a file known to be cut short, is damage.
  void expectLength(std::optional<std::int64_t> declared, std::int64_t tolerance, bool cutShort) {
    declared_ = declared;
    tolerance_ = tolerance;
    cutShort_ = cutShort;
  }

  // Decodes the next frame into frame(); `end` is set at the end of the stream. A decoder
  // error followed by more audio, a demuxer error, or an end short of the expected length
  // fails with kStatusSourceDamaged. A lossy stream's last packet or two may fail alone:
  // a cut final frame is common in files that play whole.
  Status decode(bool& end);

  // Source frames decoded so far (0 before the first after a container seek).
  std::int64_t decodedFrames() const { return std::max<std::int64_t>(position_, 0); }
  // Where the first undecodable packet was, else decodedFrames().
  std::int64_t readableFrames() const { return badPackets_ > 0 ? firstBadAt_ : decodedFrames(); }
  bool positionKnown() const { return position_ >= 0; }

  // Moves the demuxer to the packet holding `sourceFrame` (or one before it); the
  // position of the next frame then comes from its timestamp.
  Status containerSeek(std::int64_t sourceFrame);

  // Drops, undecoded, the packets that end at or before `sourceFrame`: a forward move
  // read off the demuxer's timestamps, which count samples exactly when read in order.
  // The next frame is then placed by its timestamp.
  void skipTo(std::int64_t sourceFrame) {
    skipBefore_ = sourceFrame;
    position_ = -1;
    seekTarget_ = sourceFrame;
  }
  // Nothing was demuxed yet: a skip needs no new pass.
  bool untouched() const { return packetsRead_ == 0; }

  const AVFrame* frame() const { return frame_.get(); }
  std::int64_t framePosition() const { return framePosition_; }
  std::int64_t position() const { return position_; }
  const AVStream* stream() const { return stream_; }
  const AVFormatContext* format() const { return format_.get(); }
  const AVCodecContext* decoder() const { return decoder_.get(); }
  int sampleRate() const { return sampleRate_; }

  static constexpr Status kStatusUnknownPosition = -static_cast<Status>(fourCC("VXup") & 0x7FFFFFFF);

 private:
  DecodeSession() = default;

  Status endStatus() const;

  void noteBadPacket() {
    if (badPackets_++ == 0) firstBadAt_ = decodedFrames();
  }

  // Whether `packet` holds only source frames before `sourceFrame`; false when its
  // timing is unknown.
  bool endsBefore(const AVPacket& packet, std::int64_t sourceFrame) const;

  // Finds the source position of the first frame after a container seek.
  bool placeFrame();

  ffmpeg::InputFormatPtr format_;
  ffmpeg::CodecContextPtr decoder_;
  ffmpeg::PacketPtr packet_;
  ffmpeg::FramePtr frame_;
  AVStream* stream_ = nullptr;
  int sampleRate_ = 0;
  std::int64_t position_ = 0;
  std::int64_t framePosition_ = 0;
  std::int64_t seekTarget_ = 0;
  std::int64_t skipBefore_ = 0;
  std::int64_t packetsRead_ = 0;
  bool drained_ = false;
  bool demuxFailed_ = false;
  int badPackets_ = 0;
  std::int64_t firstBadAt_ = 0;
  std::optional<std::int64_t> declared_;
  std::int64_t tolerance_ = 0;
  bool cutShort_ = false;
};

}  // namespace vexal::platform
