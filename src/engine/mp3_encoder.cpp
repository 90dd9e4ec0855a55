#include <lame/lame.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/chunk_reader.h"
#include "engine/encoder_limits.h"
#include "engine/id3_tags.h"
#include "engine/output_file.h"

namespace vexal {

namespace {

constexpr ReadSteps kSteps{"Open source", "Seek to start frame", "Set client format for LAME",
                           "Read audio for LAME"};

// LAME's own sizing rule for an output buffer: 1.25 × samples + 7200 bytes.
constexpr double kMp3BufferFactor = 1.25;
constexpr std::size_t kMp3BufferSlack = 7200;

struct LameDeleter {
  void operator()(lame_global_flags* lame) const { lame_close(lame); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

Expected<> writeAll(std::FILE* file, const unsigned char* bytes, std::size_t size) {
  if (size > 0 && std::fwrite(bytes, 1, size, file) != size) {
    return Unexpected(outputFileError(kWriteAudioStep));
  }
  return {};
}

// Fills `buffer` through one of LAME's "copy into buffer, or tell me the size" calls.
template <typename Get>
void fetchTagBytes(std::vector<unsigned char>& buffer, Get&& get) {
  std::size_t size = get(buffer.data(), buffer.size());
  if (size > buffer.size()) {
    buffer.resize(size);
    size = get(buffer.data(), buffer.size());
  }
  buffer.resize(std::min(size, buffer.size()));
}

void configure(lame_global_flags* lame, const ConversionSettings& settings, int rate,
               std::uint32_t channels, std::int64_t bitrate) {
  lame_set_in_samplerate(lame, rate);
  // The reader has resampled to an MPEG rate; LAME would otherwise pick its own.
  lame_set_out_samplerate(lame, rate);
  lame_set_num_channels(lame, static_cast<int>(channels));
  lame_set_quality(lame, 2);
  if (settings.bitrateMode == BitrateMode::vbr) {
    lame_set_VBR(lame, vbr_default);
    lame_set_VBR_quality(lame, static_cast<float>(rawValue(settings.vbrQuality)));
  } else {
    lame_set_VBR(lame, vbr_off);
    const std::int64_t kbps = bitrate / 1000;
    lame_set_brate(lame, static_cast<int>(std::clamp<std::int64_t>(kbps, 0, 640)));
  }
  if (settings.writeReplayGain) lame_set_findReplayGain(lame, 1);
  if (channels == 1) lame_set_mode(lame, MONO);
}

}  // namespace

Expected<> encodeMP3(const EncodeRequest& request) {
  const ConversionSettings& settings = request.settings;
  const EncoderShape shape = encoderShape(request.format, settings, request.info);
  const std::uint32_t channels = shape.channels;
  auto chunks = ChunkReader<std::int16_t>::open(request, shape.sampleRate, channels, kSteps);
  if (!chunks) return Unexpected(std::move(chunks.error()));

  LamePtr lame(lame_init());
  if (!lame) return Unexpected(ConversionError::lameInitFailed());
  // ChunkReader has checked the rate against the reader's limits, well inside int.
  configure(lame.get(), settings, static_cast<int>(chunks->sampleRate()), channels, shape.bitrate);
  const auto& metadata = request.metadata;
  if (settings.preserveMetadata && metadata && metadata->hasContent()) {
    writeID3Tags(*metadata, lame.get());
  }
  // The ID3v2 tag is written here rather than inside the stream, so that its size is
  // known and the LAME tag frame behind it can be rewritten after the flush.
  lame_set_write_id3tag_automatic(lame.get(), 0);
  if (lame_init_params(lame.get()) < 0) return Unexpected(ConversionError::lameInitFailed());

  // "wb+": the LAME tag frame is written back over its placeholder at the end.
  FilePtr file(std::fopen(request.output.c_str(), "wb+"));
  if (!file) return Unexpected(outputFileError(kCreateDestinationStep));

  std::vector<unsigned char> mp3(static_cast<std::size_t>(
      kMp3BufferFactor * static_cast<double>(kChunkFrames * channels) + kMp3BufferSlack));
  const int mp3Size = static_cast<int>(mp3.size());

  std::vector<unsigned char> tag;
  fetchTagBytes(tag, [&](unsigned char* b, std::size_t n) {
    return lame_get_id3v2_tag(lame.get(), b, n);
  });
  if (auto written = writeAll(file.get(), tag.data(), tag.size()); !written) return written;
  const long lameTagOffset = static_cast<long>(tag.size());

  auto encoded = chunks->run([&](std::int16_t* pcm, std::uint32_t frames) -> Expected<> {
    const int n = channels == 2
                      ? lame_encode_buffer_interleaved(lame.get(), pcm, static_cast<int>(frames),
                                                       mp3.data(), mp3Size)
                      : lame_encode_buffer(lame.get(), pcm, nullptr, static_cast<int>(frames),
                                           mp3.data(), mp3Size);
    if (n < 0) return Unexpected(ConversionError::lameEncodingFailed());
    return writeAll(file.get(), mp3.data(), static_cast<std::size_t>(n));
  });
  if (!encoded) return Unexpected(std::move(encoded.error()));

  const int flushed = lame_encode_flush(lame.get(), mp3.data(), mp3Size);
  if (flushed > 0) {
    if (auto written = writeAll(file.get(), mp3.data(), static_cast<std::size_t>(flushed));
        !written) {
      return written;
    }
  }
  fetchTagBytes(tag, [&](unsigned char* b, std::size_t n) {
    return lame_get_id3v1_tag(lame.get(), b, n);
  });
  if (auto written = writeAll(file.get(), tag.data(), tag.size()); !written) return written;

  // The LAME/Xing frame: frame count, byte count, seek table, encoder delay and
  // padding (gapless trimming) and, when asked for, the ReplayGain analysis.
  fetchTagBytes(tag, [&](unsigned char* b, std::size_t n) {
    return lame_get_lametag_frame(lame.get(), b, n);
  });
  if (!tag.empty()) {
    if (std::fseek(file.get(), lameTagOffset, SEEK_SET) != 0) {
      return Unexpected(outputFileError(kWriteAudioStep));
    }
    if (auto written = writeAll(file.get(), tag.data(), tag.size()); !written) return written;
  }
  if (std::fclose(file.release()) != 0) {
    return Unexpected(outputFileError(kWriteAudioStep));
  }
  request.reportProgress(1.0);
  return {};
}

}  // namespace vexal
