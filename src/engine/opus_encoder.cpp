#include <ogg/ogg.h>
#include <opus/opus.h>
#include <opus/opus_multistream.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/chunk_reader.h"
#include "engine/encoder_limits.h"
#include "engine/ogg_stream.h"
#include "metadata/metadata_service.h"

namespace vexal {

namespace {

// Channel mapping family 1: Vorbis channel order, 1 to 8 channels (5.1, 7.1).
constexpr int kSurroundFamily = 1;
// Granule positions and the pre-skip count 48 kHz samples whatever the coding rate.
constexpr int kGranuleRate = 48000;
// 20 ms frames, as ffmpeg and opusenc use.
constexpr int kFramesPerSecond = 50;
// The largest 20 ms packet of one stream (1275 bytes) plus its self-delimiting length.
constexpr int kMaxPacketBytesPerStream = 1277;
// libopus's highest effort, ffmpeg's default too.
constexpr int kComplexity = 10;
// Pages of about a second at the nominal bit rate, as ffmpeg writes them (libogg's 4 KB
// pages would cost 0.5 % more at 128 kbit/s in headers); never below libogg's own size.
constexpr int kMinPageBytes = 4096;
constexpr std::int64_t kMaxPageBytes = 65025;  // 255 segments of 255 bytes
constexpr std::int64_t kBitsPerByte = 8;

constexpr ReadSteps kSteps{"Open source for Opus", "Seek for Opus", "Set client format for Opus",
                           "Read for Opus"};

struct SingleDeleter {
  void operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
};
struct MultiDeleter {
  void operator()(OpusMSEncoder* encoder) const { opus_multistream_encoder_destroy(encoder); }
};

ConversionError createError(int error) {
  return ConversionError::unsupportedFormat("Failed to create Opus encoder (error " +
                                            std::to_string(error) + ")");
}

void putLe16(std::vector<unsigned char>& out, std::uint32_t value) {
  out.push_back(static_cast<unsigned char>(value & 0xFF));
  out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}
void putLe32(std::vector<unsigned char>& out, std::uint32_t value) {
  putLe16(out, value & 0xFFFF);
  putLe16(out, value >> 16);
}
void putText(std::vector<unsigned char>& out, std::string_view text) {
  putLe32(out, static_cast<std::uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

// libopus behind one interface: its single-stream encoder for mono and stereo, the
// multistream surround encoder (family 1) above. The multistream encoder sizes its
// streams on every frame through a CPU-feature probe that costs about a tenth of the
// encoding time under virtualisation, so it is kept to the layouts that need it.
class OpusCoder {
 public:
  static Expected<OpusCoder> create(int rate, int channels) {
    OpusCoder coder;
    int error = OPUS_OK;
    if (channels <= 2) {
      coder.single_.reset(opus_encoder_create(rate, channels, OPUS_APPLICATION_AUDIO, &error));
      if (error != OPUS_OK || !coder.single_) return Unexpected(createError(error));
      coder.streams_ = 1;
      coder.coupled_ = channels - 1;
    } else {
      coder.multi_.reset(opus_multistream_surround_encoder_create(
          rate, channels, kSurroundFamily, &coder.streams_, &coder.coupled_, coder.mapping_.data(),
          OPUS_APPLICATION_AUDIO, &error));
      if (error != OPUS_OK || !coder.multi_) return Unexpected(createError(error));
    }
    coder.channels_ = channels;
    return coder;
  }

  template <typename... Args>
  int ctl(int request, Args... args) {
    return single_ ? opus_encoder_ctl(single_.get(), request, args...)
                   : opus_multistream_encoder_ctl(multi_.get(), request, args...);
  }

  // Bytes written to `packet`, or a negative libopus error.
  int encode(const float* samples, int frames, unsigned char* packet, int capacity) {
    return single_ ? opus_encode_float(single_.get(), samples, frames, packet, capacity)
                   : opus_multistream_encode_float(multi_.get(), samples, frames, packet, capacity);
  }

  int streams() const { return streams_; }

  // The identification header: version 1, channels, pre-skip and output gain 0; family
  // 1 adds the stream counts and where each channel is coded.
  std::vector<unsigned char> head(std::uint32_t inputRate, int preSkip) const {
    std::vector<unsigned char> out{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1};
    out.push_back(static_cast<unsigned char>(channels_));
    putLe16(out, static_cast<std::uint32_t>(preSkip));
    putLe32(out, inputRate);
    putLe16(out, 0);
    out.push_back(static_cast<unsigned char>(multi_ ? kSurroundFamily : 0));
    if (multi_) {
      out.push_back(static_cast<unsigned char>(streams_));
      out.push_back(static_cast<unsigned char>(coupled_));
      out.insert(out.end(), mapping_.begin(), mapping_.begin() + channels_);
    }
    return out;
  }

 private:
  std::unique_ptr<OpusEncoder, SingleDeleter> single_;
  std::unique_ptr<OpusMSEncoder, MultiDeleter> multi_;
  int channels_ = 0;
  int streams_ = 0;
  int coupled_ = 0;
  std::array<unsigned char, platform::kMaxChannels> mapping_{};
};

// The comment header: the library's vendor string and the tags of the one Vorbis-comment
// mapping, the cover as a picture block.
std::vector<unsigned char> tagsHeader(const std::optional<AudioMetadata>& metadata) {
  const auto fields = metadata ? MetadataService::oggCommentFields(*metadata)
                               : std::vector<std::pair<std::string, std::string>>{};
  std::vector<unsigned char> out{'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
  putText(out, opus_get_version_string());
  putLe32(out, static_cast<std::uint32_t>(fields.size()));
  for (const auto& [key, value] : fields) putText(out, key + "=" + value);
  return out;
}

ogg_packet packetOf(std::vector<unsigned char>& bytes, ogg_int64_t number) {
  ogg_packet packet{};
  packet.packet = bytes.data();
  packet.bytes = static_cast<long>(bytes.size());
  packet.b_o_s = number == 0 ? 1 : 0;
  packet.packetno = number;
  return packet;
}

// Cuts the chunks into 20 ms frames, encodes them and pages the packets. At the end the
// encoder's look-ahead is flushed with silence; the last packet's granule position
// marks where the audio ends, so a decoder returns exactly the frames written.
class OpusWriter {
 public:
  OpusWriter(OpusCoder& coder, OggStream& ogg, int rate, int channels, int lookahead, int pageBytes)
      : coder_(coder),
        ogg_(ogg),
        pageBytes_(pageBytes),
        channels_(channels),
        frameSize_(rate / kFramesPerSecond),
        granuleScale_(kGranuleRate / rate),
        lookahead_(lookahead),
        pending_(static_cast<std::size_t>(frameSize_) * channels),
        packet_(static_cast<std::size_t>(kMaxPacketBytesPerStream) * coder.streams()) {}

  Expected<> write(const float* samples, std::uint32_t frames) {
    written_ += frames;
    while (frames > 0) {
      if (pendingFrames_ == 0 && frames >= static_cast<std::uint32_t>(frameSize_)) {
        if (auto encoded = encodeFrame(samples, false); !encoded) return encoded;
        samples += static_cast<std::size_t>(frameSize_) * channels_;
        frames -= static_cast<std::uint32_t>(frameSize_);
        continue;
      }
      const auto take = std::min<std::uint32_t>(frames, static_cast<std::uint32_t>(frameSize_ - pendingFrames_));
      std::copy_n(samples, static_cast<std::size_t>(take) * channels_,
                  pending_.begin() + static_cast<std::ptrdiff_t>(pendingFrames_) * channels_);
      pendingFrames_ += static_cast<int>(take);
      samples += static_cast<std::size_t>(take) * channels_;
      frames -= take;
      if (pendingFrames_ == frameSize_) {
        pendingFrames_ = 0;
        if (auto encoded = encodeFrame(pending_.data(), false); !encoded) return encoded;
      }
    }
    return {};
  }

  // Silence until the look-ahead has passed the last frame written, then the pages up
  // to the end of the stream.
  Expected<> finish() {
    const std::int64_t needed = written_ + lookahead_;
    while (coded_ < needed) {
      std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(pendingFrames_) * channels_, pending_.end(), 0.0f);
      pendingFrames_ = 0;
      if (auto encoded = encodeFrame(pending_.data(), coded_ + frameSize_ >= needed); !encoded) return encoded;
    }
    return ogg_.writePages(pageBytes_);
  }

 private:
  Expected<> encodeFrame(const float* samples, bool last) {
    const int bytes = coder_.encode(samples, frameSize_, packet_.data(), static_cast<int>(packet_.size()));
    if (bytes < 0) {
      return Unexpected(ConversionError::unsupportedFormat("Opus write failed (error " +
                                                           std::to_string(bytes) + ")"));
    }
    coded_ += frameSize_;
    ogg_packet packet{};
    packet.packet = packet_.data();
    packet.bytes = bytes;
    packet.e_o_s = last ? 1 : 0;
    // Samples decoded up to the end of this packet, the pre-skip included; the last
    // packet ends where the input did.
    packet.granulepos = (last ? written_ + lookahead_ : coded_) * granuleScale_;
    packet.packetno = packetNumber_++;
    ogg_.packetIn(packet);
    return ogg_.writePages(pageBytes_);
  }

  OpusCoder& coder_;
  OggStream& ogg_;
  int pageBytes_;
  int channels_;
  int frameSize_;
  int granuleScale_;
  std::int64_t lookahead_;
  std::vector<float> pending_;
  int pendingFrames_ = 0;
  std::vector<unsigned char> packet_;
  std::int64_t written_ = 0;  // input frames, at the coding rate
  std::int64_t coded_ = 0;    // frames handed to the encoder, silence included
  ogg_int64_t packetNumber_ = 2;  // after the two headers
};

}  // namespace

Expected<> encodeOpus(const EncodeRequest& request) {
  const ConversionSettings& settings = request.settings;
  const EncoderShape shape = encoderShape(request.format, settings, request.info);
  const std::uint32_t channels = shape.channels;
  // One of the Opus rates (encoderShape); anything else is refused by the reader here.
  auto chunks = ChunkReader<float>::open(request, shape.sampleRate, channels, kSteps);
  if (!chunks) return Unexpected(std::move(chunks.error()));
  const int rate = static_cast<int>(chunks->sampleRate());

  auto coder = OpusCoder::create(rate, static_cast<int>(channels));
  if (!coder) return Unexpected(std::move(coder.error()));
  // customBitrate, else Opus's own default of 128 kbit/s; the library clamps to its
  // range (500 bit/s up to 300 kbit/s per channel). Unconstrained VBR at the highest
  // complexity, as ffmpeg encodes by default.
  const auto bitrate =
      static_cast<opus_int32>(std::clamp<std::int64_t>(shape.bitrate, 1, std::numeric_limits<opus_int32>::max()));
  for (const auto& [code, value, name] :
       {std::tuple{OPUS_SET_BITRATE_REQUEST, bitrate, "bitrate"},
        std::tuple{OPUS_SET_VBR_CONSTRAINT_REQUEST, opus_int32{0}, "VBR mode"},
        std::tuple{OPUS_SET_COMPLEXITY_REQUEST, opus_int32{kComplexity}, "complexity"}}) {
    if (const int r = coder->ctl(code, value); r != OPUS_OK) {
      return Unexpected(ConversionError::unsupportedFormat("Failed to set Opus " + std::string(name) +
                                                           " (error " + std::to_string(r) + ")"));
    }
  }
  opus_int32 lookahead = 0;
  if (const int r = coder->ctl(OPUS_GET_LOOKAHEAD(&lookahead)); r != OPUS_OK) {
    return Unexpected(createError(r));
  }

  // The header keeps the rate asked for, whole hertz, before resampling to the coding rate.
  const double asked = shape.askedRate;
  const auto inputRate = static_cast<std::uint32_t>(
      std::isfinite(asked) && asked > 0 && asked < std::numeric_limits<std::uint32_t>::max() ? std::trunc(asked) : 0);
  auto head = coder->head(inputRate, lookahead * (kGranuleRate / rate));
  const bool withTags = settings.preserveMetadata && request.metadata && request.metadata->hasContent();
  auto tags = tagsHeader(withTags ? request.metadata : std::nullopt);

  // The file is created only once the encoder accepted the format, so a refused
  // channel count leaves nothing behind.
  OggStream ogg(request.output);
  auto headPacket = packetOf(head, 0);
  auto tagsPacket = packetOf(tags, 1);
  ogg.packetIn(headPacket);
  ogg.packetIn(tagsPacket);
  if (auto opened = ogg.open(); !opened) return opened;
  // Headers get pages of their own so the audio starts on a fresh page.
  if (auto flushed = ogg.flush(); !flushed) return flushed;

  const auto pageBytes = static_cast<int>(std::clamp<std::int64_t>(bitrate / kBitsPerByte, kMinPageBytes, kMaxPageBytes));
  OpusWriter writer(*coder, ogg, rate, static_cast<int>(channels), lookahead, pageBytes);
  const auto order = vorbisChannelOrder(channels);
  std::vector<float> reordered(order.empty() ? 0 : std::size_t{kChunkFrames} * channels);
  auto encoded = chunks->run([&](const float* samples, std::uint32_t frames) -> Expected<> {
    if (!order.empty()) {
      for (std::size_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
          reordered[i * channels + c] = samples[i * channels + order[c]];
        }
      }
      samples = reordered.data();
    }
    return writer.write(samples, frames);
  });
  if (!encoded) return Unexpected(std::move(encoded.error()));
  if (auto finished = writer.finish(); !finished) return finished;
  if (auto closed = ogg.close(); !closed) return closed;
  request.reportProgress(1.0);
  return {};
}

}  // namespace vexal
