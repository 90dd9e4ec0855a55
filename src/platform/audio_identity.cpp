#include "platform/audio_identity.h"

#include "platform/ffmpeg_handles.h"

namespace vexal::platform {

namespace {

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t mix(std::uint64_t hash, const std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

}  // namespace

std::optional<std::uint64_t> audioIdentity(const std::filesystem::path& path) {
  ffmpeg::silenceLibraryLog();
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  const ffmpeg::InputFormatPtr input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return std::nullopt;
  const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream < 0) return std::nullopt;
  const ffmpeg::PacketPtr packet(av_packet_alloc());
  if (!packet) return std::nullopt;
  std::uint64_t hash = kFnvOffset;
  std::uint64_t packets = 0;
  for (;;) {
    const int status = av_read_frame(input.get(), packet.get());
    if (status == AVERROR_EOF) break;
    if (status < 0) return std::nullopt;
    if (packet->stream_index == stream) {
      hash = mix(hash, packet->data, static_cast<std::size_t>(packet->size));
      ++packets;
    }
    av_packet_unref(packet.get());
  }
  if (packets == 0) return std::nullopt;
  // The count separates a file from the same bytes cut into other packets.
  return mix(hash, reinterpret_cast<const std::uint8_t*>(&packets), sizeof packets);
}

}  // namespace vexal::platform
