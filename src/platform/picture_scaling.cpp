#include "platform/picture_scaling.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>

#include "platform/ffmpeg_handles.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace vexal::platform {
namespace {

struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct MatrixDeleter {
  void operator()(std::uint16_t* matrix) const { av_free(matrix); }
};

// The example quantisation tables of the JPEG standard (Annex K), in raster order; libjpeg
// scales them by 200 - 2 x quality percent.
constexpr std::array<std::uint8_t, 64> kLuminance = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<std::uint8_t, 64> kChrominance = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr int kQuality = 90;

// The table at kQuality, in the form FFmpeg's encoder takes it: it writes each entry
// times the quantiser scale (1 here) divided by 8. Allocated with av_malloc.
std::uint16_t* encoderMatrix(const std::array<std::uint8_t, 64>& table) {
  auto* matrix = static_cast<std::uint16_t*>(av_malloc(64 * sizeof(std::uint16_t)));
  if (!matrix) return nullptr;
  const int scale = 200 - 2 * kQuality;
  for (std::size_t i = 0; i < table.size(); ++i) {
    matrix[i] = static_cast<std::uint16_t>(std::clamp((table[i] * scale + 50) / 100, 1, 255) * 8);
  }
  return matrix;
}

AVCodecID decoderFor(std::span<const std::uint8_t> image) {
  auto starts = [&](std::size_t offset, std::initializer_list<std::uint8_t> magic) {
    return image.size() >= offset + magic.size() &&
           std::equal(magic.begin(), magic.end(), image.begin() + offset);
  };
  if (starts(0, {0xFF, 0xD8, 0xFF})) return AV_CODEC_ID_MJPEG;
  if (starts(0, {0x89, 'P', 'N', 'G'})) return AV_CODEC_ID_PNG;
  if (starts(0, {'G', 'I', 'F', '8'})) return AV_CODEC_ID_GIF;
  if (starts(0, {'B', 'M'})) return AV_CODEC_ID_BMP;
  if (starts(0, {'R', 'I', 'F', 'F'}) && starts(8, {'W', 'E', 'B', 'P'})) return AV_CODEC_ID_WEBP;
  return AV_CODEC_ID_NONE;
}

ffmpeg::FramePtr decode(std::span<const std::uint8_t> image) {
  const AVCodec* codec = avcodec_find_decoder(decoderFor(image));
  if (!codec || image.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return nullptr;
  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
  ffmpeg::PacketPtr packet(av_packet_alloc());
  ffmpeg::FramePtr frame(av_frame_alloc());
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(image.size())) < 0) {
    return nullptr;
  }
  std::memcpy(packet->data, image.data(), image.size());
  if (avcodec_send_packet(context.get(), packet.get()) < 0) return nullptr;
  avcodec_send_packet(context.get(), nullptr);
  if (avcodec_receive_frame(context.get(), frame.get()) < 0 || frame->width < 1 ||
      frame->height < 1) {
    return nullptr;
  }
  return frame;
}

std::optional<std::vector<std::uint8_t>> encodeJpeg(AVFrame& picture) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (!codec) return std::nullopt;
  // avcodec_free_context frees the luminance table but not the chrominance one: that one
  // is owned here, and outlives the context.
  const std::unique_ptr<std::uint16_t, MatrixDeleter> chroma(encoderMatrix(kChrominance));
  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
  ffmpeg::PacketPtr packet(av_packet_alloc());
  if (!chroma || !context || !packet) return std::nullopt;
  context->width = picture.width;
  context->height = picture.height;
  context->pix_fmt = AV_PIX_FMT_YUVJ420P;
  context->color_range = AVCOL_RANGE_JPEG;
  context->time_base = {1, 25};
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->qmin = context->qmax = 1;
  context->global_quality = FF_QP2LAMBDA;  // quantiser scale 1: the tables as they are
  context->intra_matrix = encoderMatrix(kLuminance);
  context->chroma_intra_matrix = chroma.get();
  if (!context->intra_matrix ||
      avcodec_open2(context.get(), codec, nullptr) < 0) {
    return std::nullopt;
  }
  picture.quality = context->global_quality;
  picture.pts = 0;
  if (avcodec_send_frame(context.get(), &picture) < 0 ||
      avcodec_send_frame(context.get(), nullptr) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(packet->data, packet->data + packet->size);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> shrunkJpeg(std::span<const std::uint8_t> image,
                                                    std::uint32_t maxSide) {
  ffmpeg::silenceLibraryLog();
  if (maxSide < 1) return std::nullopt;
  const ffmpeg::FramePtr source = decode(image);
  if (!source) return std::nullopt;
  const double longer = std::max(source->width, source->height);
  if (longer <= maxSide) return std::nullopt;
  const double scale = maxSide / longer;
  const int width = std::max(1, static_cast<int>(std::lround(source->width * scale)));
  const int height = std::max(1, static_cast<int>(std::lround(source->height * scale)));

  ffmpeg::FramePtr scaled(av_frame_alloc());
  if (!scaled) return std::nullopt;
  scaled->format = AV_PIX_FMT_YUVJ420P;
  scaled->width = width;
  scaled->height = height;
  const std::unique_ptr<SwsContext, SwsDeleter> scaler(sws_getContext(
      source->width, source->height, static_cast<AVPixelFormat>(source->format), width, height,
      AV_PIX_FMT_YUVJ420P, SWS_LANCZOS | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
  if (!scaler || av_frame_get_buffer(scaled.get(), 0) < 0 ||
      sws_scale_frame(scaler.get(), scaled.get(), source.get()) < 0) {
    return std::nullopt;
  }
  return encodeJpeg(*scaled);
}

}  // namespace vexal::platform
