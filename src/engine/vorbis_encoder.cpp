#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/audio_processor.h"
#include "engine/chunk_reader.h"
#include "engine/encoder_limits.h"
#include "engine/ogg_stream.h"
#include "metadata/metadata_service.h"

namespace vexal {

namespace {

constexpr ReadSteps kSteps{"Open source for Vorbis", "Seek for Vorbis",
                           "Set client format for Vorbis", "Read for Vorbis"};

// Library states live on the heap so that each has one owner that clears it.
template <typename T, auto Clear>
struct Cleared {
  void operator()(T* state) const {
    Clear(state);
    delete state;
  }
};
template <typename T, auto Clear>
using StatePtr = std::unique_ptr<T, Cleared<T, Clear>>;

using InfoPtr = StatePtr<vorbis_info, &vorbis_info_clear>;
using CommentPtr = StatePtr<vorbis_comment, &vorbis_comment_clear>;
using DspPtr = StatePtr<vorbis_dsp_state, &vorbis_dsp_clear>;
using BlockPtr = StatePtr<vorbis_block, &vorbis_block_clear>;

class VorbisWriter {
 public:
  VorbisWriter(vorbis_dsp_state* dsp, vorbis_block* block, OggStream& ogg)
      : dsp_(dsp), block_(block), ogg_(ogg) {}

  // Hands one chunk of interleaved frames to the analysis and writes what it yields.
  Expected<> write(const float* samples, std::uint32_t frames, std::uint32_t channels) {
    float** buffer = vorbis_analysis_buffer(dsp_, static_cast<int>(frames));
    if (!buffer) {
      return Unexpected(ConversionError::unsupportedFormat("Vorbis analysis buffer allocation failed"));
    }
    for (std::uint32_t c = 0; c < channels; ++c) {
      if (!buffer[c]) {
        return Unexpected(ConversionError::unsupportedFormat("Vorbis analysis channel buffer missing"));
      }
    }
    const auto order = vorbisChannelOrder(channels);
    for (std::uint32_t c = 0; c < channels; ++c) {
      float* out = buffer[c];
      const std::uint32_t from = order.empty() ? c : order[c];
      for (std::uint32_t i = 0; i < frames; ++i) out[i] = samples[i * channels + from];
    }
    vorbis_analysis_wrote(dsp_, static_cast<int>(frames));
    return drain();
  }

  // Signals the end of input and writes every page up to the end-of-stream page.
  Expected<> finish() {
    vorbis_analysis_wrote(dsp_, 0);
    return drain();
  }

 private:
  Expected<> drain() {
    ogg_packet packet;
    while (vorbis_analysis_blockout(dsp_, block_) == 1) {
      vorbis_analysis(block_, nullptr);
      vorbis_bitrate_addblock(block_);
      while (vorbis_bitrate_flushpacket(dsp_, &packet) == 1) {
        ogg_.packetIn(packet);
        if (auto written = ogg_.writePages(); !written) return written;
      }
    }
    return {};
  }

  vorbis_dsp_state* dsp_;
  vorbis_block* block_;
  OggStream& ogg_;
};

}  // namespace

Expected<> encodeVorbis(const EncodeRequest& request) {
  const ConversionSettings& settings = request.settings;
  const EncoderShape shape = encoderShape(request.format, settings, request.info);
  const std::uint32_t channels = shape.channels;
  auto chunks = ChunkReader<float>::open(request, shape.sampleRate, channels, kSteps);
  if (!chunks) return Unexpected(std::move(chunks.error()));

  InfoPtr info(new vorbis_info{});
  vorbis_info_init(info.get());
  // Average bitrate at whole kbit/s, no upper or lower bound. Like oggenc and ffmpeg
  // without --managed, the average is reached by choosing the matching quality
  // ("ABR by estimate") rather than by the bit reservoir manager, which costs four
  // times the encoding time for an average within a few percent either way.
  const long nominal = static_cast<long>(shape.bitrate);
  if (vorbis_encode_setup_managed(info.get(), static_cast<long>(channels),
                                  static_cast<long>(chunks->sampleRate()), -1, nominal, -1) != 0 ||
      vorbis_encode_ctl(info.get(), OV_ECTL_RATEMANAGE2_SET, nullptr) != 0 ||
      vorbis_encode_setup_init(info.get()) != 0) {
    return Unexpected(ConversionError::unsupportedFormat("Vorbis encoder init failed"));
  }

  CommentPtr comment(new vorbis_comment{});
  vorbis_comment_init(comment.get());
  vorbis_comment_add_tag(comment.get(), "ENCODER", "Vexal");
  const auto& metadata = request.metadata;
  if (settings.preserveMetadata && metadata && metadata->hasContent()) {
    MetadataService::addVorbisComments(comment.get(), *metadata);
  }

  // Zeroed first: clearing a state whose init failed is then harmless.
  DspPtr dsp(new vorbis_dsp_state{});
  if (vorbis_analysis_init(dsp.get(), info.get()) != 0) {
    return Unexpected(ConversionError::unsupportedFormat("Vorbis encoder init failed"));
  }
  BlockPtr block(new vorbis_block{});
  vorbis_block_init(dsp.get(), block.get());
  OggStream ogg(request.output);

  ogg_packet identification;
  ogg_packet commentHeader;
  ogg_packet codebook;
  vorbis_analysis_headerout(dsp.get(), comment.get(), &identification, &commentHeader, &codebook);
  ogg.packetIn(identification);
  ogg.packetIn(commentHeader);
  ogg.packetIn(codebook);

  if (auto opened = ogg.open(); !opened) return opened;
  // Headers get pages of their own so the audio starts on a fresh page.
  if (auto flushed = ogg.flush(); !flushed) return flushed;

  VorbisWriter writer(dsp.get(), block.get(), ogg);
  auto encoded = chunks->run([&](float* samples, std::uint32_t frames) {
    return writer.write(samples, frames, channels);
  });
  if (!encoded) return Unexpected(std::move(encoded.error()));
  if (auto finished = writer.finish(); !finished) return finished;

  if (auto closed = ogg.close(); !closed) return closed;
  request.reportProgress(1.0);
  return {};
}

}  // namespace vexal
