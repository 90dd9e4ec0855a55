#include "platform/audio_file.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "platform/channel_mix.h"
#include "platform/decode_session.h"
#include "platform/ffmpeg_handles.h"
#include "platform/file_state_memo.h"
#include "platform/stated_length.h"


extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace vexal::platform {

using namespace ffmpeg;

namespace {

// A lossy stream may decode short of its container's length by its encoder delay and
// padding: at most one delay (AAC's 2112 frames is the longest) and two packets.
constexpr std::int64_t kMaxEncoderDelay = 2112;    // frames
constexpr std::int64_t kDefaultPacketFrames = 2048;  // for codecs with no fixed packet size
// The most one FFmpeg allocation may take. A hostile size field (a 2 GB RIFF INFO entry
// in a 100 KB file, which FFmpeg zero-fills) then fails the open instead of taking
// gigabytes. Real files stay below it: a day of 48 kHz AAC in MP4 indexes ~100 MB, and
// the MP4 writer's sample table reaches it only after about thirty hours. Set for the
// whole process, as FFmpeg has no per-context limit.
constexpr std::size_t kMaxAllocationBytes = std::size_t{256} << 20;
// soxr precision in bits: 28 is its "very high quality" setting.
constexpr int kSoxrPrecision = 28;
constexpr int kResamplerSlack = 256;  // frames
constexpr int kVorbisHeaderPackets = 3;  // identification, comment, setup
constexpr int kDsdPcmRateLimit = 96000;          // Hz
// Pre-rolls of lossy decoders before a skip target (see prerollFrames).
constexpr std::int64_t kMp3PrerollPackets = 10;
constexpr std::int64_t kMp3PacketFrames = 1152;
constexpr std::int64_t kAacPrerollPackets = 2;
constexpr std::int64_t kAacPacketFrames = 1024;
constexpr std::int64_t kVorbisPrerollFrames = 2 * 8192;  // two of the longest blocks
constexpr std::int64_t kOpusPrerollMs = 1000;

bool isLossless(AVCodecID id) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS) &&
         !(descriptor->props & AV_CODEC_PROP_LOSSY);
}

// Lossless codecs and those with a lossless mode (WavPack, WMA Lossless): their sample
// depth is a property of the stored data.
bool mayBeLossless(AVCodecID id) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS);
}

bool isPcm(AVCodecID id) { return id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT; }

bool isBigEndianPcm(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_U16BE:
    case AV_CODEC_ID_PCM_S24BE:
    case AV_CODEC_ID_PCM_U24BE:
    case AV_CODEC_ID_PCM_S32BE:
    case AV_CODEC_ID_PCM_U32BE:
    case AV_CODEC_ID_PCM_F32BE:
    case AV_CODEC_ID_PCM_F64BE:
    case AV_CODEC_ID_PCM_S64BE:
      return true;
    default:
      return false;
  }
}

bool isFloatPcm(AVCodecID id) {
  return id == AV_CODEC_ID_PCM_F32BE || id == AV_CODEC_ID_PCM_F32LE || id == AV_CODEC_ID_PCM_F64BE ||
         id == AV_CODEC_ID_PCM_F64LE || id == AV_CODEC_ID_PCM_F16LE || id == AV_CODEC_ID_PCM_F24LE;
}

bool isUnsignedPcm(AVCodecID id) {
  return id == AV_CODEC_ID_PCM_U8 || id == AV_CODEC_ID_PCM_U16BE || id == AV_CODEC_ID_PCM_U16LE ||
         id == AV_CODEC_ID_PCM_U24BE || id == AV_CODEC_ID_PCM_U24LE || id == AV_CODEC_ID_PCM_U32BE ||
         id == AV_CODEC_ID_PCM_U32LE;
}

bool isWma(AVCodecID id) {
  return id == AV_CODEC_ID_WMAV1 || id == AV_CODEC_ID_WMAV2 || id == AV_CODEC_ID_WMAPRO ||
         id == AV_CODEC_ID_WMALOSSLESS || id == AV_CODEC_ID_WMAVOICE;
}

// Decoded DSD frames per reported frame: DSD is reported as PCM at 88.2 kHz (96 kHz for
// the 48 kHz family), the rate it is read at unless the client asks another one.
int dsdRateDivisor(int decodedRate) {
  int divisor = 1;
  while (decodedRate / divisor > kDsdPcmRateLimit && decodedRate % (divisor * 2) == 0) divisor *= 2;
  return divisor;
}

// The channel order a count stands for when the file does not say.
AVChannelLayout layoutFor(const AVChannelLayout& given) {
  AVChannelLayout layout{};
  if (given.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&given) == 0) {
    av_channel_layout_default(&layout, given.nb_channels);
  } else {
    av_channel_layout_copy(&layout, &given);
  }
  return layout;
}

struct ChannelLayoutHolder {
  AVChannelLayout layout{};
  ChannelLayoutHolder() = default;
  explicit ChannelLayoutHolder(const AVChannelLayout& from) : layout(layoutFor(from)) {}
  ChannelLayoutHolder(const ChannelLayoutHolder&) = delete;
  ChannelLayoutHolder& operator=(const ChannelLayoutHolder&) = delete;
  ~ChannelLayoutHolder() { av_channel_layout_uninit(&layout); }
  void assign(const AVChannelLayout& from) {
    av_channel_layout_uninit(&layout);
    layout = layoutFor(from);
  }
};

std::uint32_t formatIdFor(AVCodecID id) {
  if (isPcm(id)) return FormatID::kLinearPCM;
  switch (id) {
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
      return FormatID::kAAC;
    case AV_CODEC_ID_ALAC:
      return FormatID::kALAC;
    case AV_CODEC_ID_FLAC:
      return FormatID::kFLAC;
    case AV_CODEC_ID_MP3:
      return FormatID::kMP3;
    case AV_CODEC_ID_OPUS:
      return FormatID::kOpus;
    case AV_CODEC_ID_VORBIS:
      return FormatID::kVorbis;
    default:
      return isWma(id) ? FormatID::kWMA : FormatID::kOther;
  }
}

bool validClientFormat(const StreamDescription& client) {
  if (client.formatID != FormatID::kLinearPCM || !validRate(client.sampleRate)) return false;
  if (client.channelsPerFrame < 1 || client.channelsPerFrame > kMaxChannels) return false;
  if (client.framesPerPacket != 1) return false;
  const std::uint32_t flags = client.formatFlags & ~FormatFlags::kPacked;
  const bool isFloat = flags == FormatFlags::kFloat && client.bitsPerChannel == 32;
  const bool isInt16 = flags == FormatFlags::kSignedInteger && client.bitsPerChannel == 16;
  if (!isFloat && !isInt16) return false;
  const std::uint32_t bytes = client.bitsPerChannel / 8 * client.channelsPerFrame;
  return client.bytesPerFrame == bytes && client.bytesPerPacket == bytes;
}

}  // namespace

StreamDescription floatClientFormat(double sampleRate, std::uint32_t channels) {
  StreamDescription description;
  description.sampleRate = sampleRate;
  description.formatID = FormatID::kLinearPCM;
  description.formatFlags = FormatFlags::kFloat | FormatFlags::kPacked;
  description.bytesPerPacket = 4 * channels;
  description.framesPerPacket = 1;
  description.bytesPerFrame = 4 * channels;
  description.channelsPerFrame = channels;
  description.bitsPerChannel = 32;
  return description;
}

StreamDescription int16ClientFormat(double sampleRate, std::uint32_t channels) {
  StreamDescription description = floatClientFormat(sampleRate, channels);
  description.formatFlags = FormatFlags::kSignedInteger | FormatFlags::kPacked;
  description.bytesPerPacket = 2 * channels;
  description.bytesPerFrame = 2 * channels;
  description.bitsPerChannel = 16;
  return description;
}

namespace {

// Lengths counted by decoding: counting decodes the whole file.
FileStateMemo<std::int64_t>& countedLengths() {
  static FileStateMemo<std::int64_t> lengths;
  return lengths;
}

}  // namespace

// How a reader reaches a frame further on or behind.
enum class SeekMode {
  fromStart,  // decoding from the start (or on from where it is)
  container,  // the demuxer's seek; timestamps count samples and frames decode alone
  preroll,    // packets skipped undecoded up to a pre-roll before the target
};

// Source frames a lossy decoder must decode before its output matches a decode from the
// start; 0 for codecs not known here.
std::int64_t prerollFrames(AVCodecID id, const AVCodecContext& decoder) {
  const std::int64_t packet = decoder.frame_size > 0 ? decoder.frame_size : 0;
  switch (id) {
    case AV_CODEC_ID_MP3:
      // Two frames of overlap and filter bank, plus the bit reservoir: up to 511 bytes
      // back, several frames at low bit rates.
      return kMp3PrerollPackets * (packet > 0 ? packet : kMp3PacketFrames);
    case AV_CODEC_ID_AAC:
      // One frame of overlap; SBR and long-term prediction settle within the next.
      return kAacPrerollPackets * (packet > 0 ? packet : kAacPacketFrames);
    case AV_CODEC_ID_VORBIS:
      return kVorbisPrerollFrames;
    case AV_CODEC_ID_OPUS:
      return av_rescale(kOpusPrerollMs, decoder.sample_rate, 1000);
    default:
      return 0;
  }
}

struct AudioFileReader::Impl {
  std::filesystem::path path;
  std::unique_ptr<DecodeSession> session;
  StreamDescription fileFormat;
  AVCodecID codecId = AV_CODEC_ID_NONE;
  bool lossless = false;
  SeekMode seekMode = SeekMode::fromStart;
  // Source frames decoded and dropped before a skip's target (SeekMode::preroll).
  std::int64_t preroll = 0;
  // MP4 edit lists and the last granule of a one-page Ogg Vorbis stream give the exact
  // playable length where the decoder's last frame is whole.
  std::int64_t endLimit = std::numeric_limits<std::int64_t>::max();
  bool exactDuration = false;  // the container's duration is the decoded length
  bool manualTrim = false;     // see DecodeSession::open
  // Decoded frames per frame of the reported stored data (DSD only); positions inside
  // are in decoded frames.
  std::int64_t rateDivisor = 1;
  std::int64_t delivered = 0;  // client frames read since the last seek
  mutable std::optional<std::int64_t> length;
  // The length the header or container states, when it states one exactly enough to
  // tell a damaged source; `estimatedLength` is for messages only (0: unknown).
  std::optional<std::int64_t> declaredLength;
  std::int64_t estimatedLength = 0;
  std::int64_t lengthTolerance = 0;  // frames a whole stream may decode short of declaredLength
  bool cutShort = false;             // the container's last unit runs past the end of the file
  mutable DamageReport damage;

  StreamDescription client;
  AVSampleFormat clientSampleFormat = AV_SAMPLE_FMT_FLT;
  SwrPtr resampler;
  AVSampleFormat resamplerInFormat = AV_SAMPLE_FMT_NONE;
  int resamplerInRate = 0;
  ChannelLayoutHolder resamplerInLayout;  // as handed to the resampler
  AVChannelLayout resamplerFrameLayout{};  // as the decoder reported it

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() { av_channel_layout_uninit(&resamplerFrameLayout); }
  AudioFifoPtr fifo;
  std::vector<std::uint8_t> scratch;
  std::int64_t target = 0;  // source frames before this one are dropped
  bool finished = false;
  bool checkLanding = false;  // the next frame is the first after a container seek or skip

  Status configureResampler(const AVFrame* frame);
  Status pump();
  Status restart();
  Status computeLength(std::int64_t& out) const;
  // Decodes a fresh pass to its end or its damage.
  Status countFrames(std::int64_t& out) const;
  Status openSession(std::unique_ptr<DecodeSession>& out) const;
  void declareLength(std::string_view demuxer);
  // Passes `status` on, noting where the source gave out when it is damage.
  Status noteDamage(Status status, const DecodeSession& where) const;
};

Status AudioFileReader::Impl::openSession(std::unique_ptr<DecodeSession>& out) const {
  if (const Status status = DecodeSession::open(path, manualTrim, out); status != kNoError) return status;
  out->expectLength(declaredLength, lengthTolerance, cutShort);
  return kNoError;
}

void AudioFileReader::Impl::declareLength(std::string_view demuxer) {
  const AVFormatContext* format = session->format();
  const AVStream* stream = session->stream();
  const AVCodecContext* decoder = session->decoder();
  const AVRational frameBase{1, decoder->sample_rate};
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    estimatedLength = av_rescale_q(stream->duration, stream->time_base, frameBase);
  } else if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
    estimatedLength = av_rescale_q(format->duration, AV_TIME_BASE_Q, frameBase);
  }
  if (demuxer == "ogg") {
    // Ogg states no length up front; its last granule is where decoding ends anyway. A
    // copy cut inside a page is still known from that page's header, and a page FFmpeg
    // passes over (bad checksum, missing) from the walk over all of them: either way a
    // pass reaching the end fails.
    static FileStateMemo<OggPages> checked;
    const OggPages pages = checked.remembered(path, checkOggPages);
    if (pages.cut || pages.damaged) {
      cutShort = true;
      estimatedLength = std::max(estimatedLength, pages.lastGranule - stream->codecpar->initial_padding);
    }
  } else if (demuxer == "wav" && isPcm(codecId)) {
    // FFmpeg trims a data size larger than the file to the bytes present.
    const int blockAlign = stream->codecpar->block_align;
    if (const auto bytes = riffDataBytes(path); bytes && blockAlign > 0) declaredLength = *bytes / blockAlign;
  } else if (estimatedLength > 0 && format->duration_estimation_method == AVFMT_DURATION_FROM_STREAM) {
    // Stated by the container (FLAC's stream header, AIFF's frame count, MP4 sample
    // tables, MP3's Xing frame count), not guessed from the bit rate.
    declaredLength = estimatedLength;
  }
  if (declaredLength) estimatedLength = *declaredLength;
  // PCM sizes and FLAC's sample count are exact; other containers count whole packets.
  if (!isPcm(codecId) && demuxer != "flac") {
    lengthTolerance = kMaxEncoderDelay + 2 * std::max<std::int64_t>(decoder->frame_size, kDefaultPacketFrames);
  }
  session->expectLength(declaredLength, lengthTolerance, cutShort);
}

Status AudioFileReader::Impl::noteDamage(Status status, const DecodeSession& where) const {
  if (status != kStatusSourceDamaged) return status;
  std::int64_t decoded = where.readableFrames();
  // A pass that had decoded nothing since a container seek does not know how far the
  // file decodes: a counting pass from the start finds out.
  if (!where.positionKnown()) countFrames(decoded);
  damage = {decoded, declaredLength.value_or(estimatedLength), static_cast<double>(where.sampleRate())};
  return status;
}

Status AudioFileReader::Impl::restart() {
  std::unique_ptr<DecodeSession> fresh;
  if (const Status status = openSession(fresh); status != kNoError) return status;
  session = std::move(fresh);
  return kNoError;
}

Status AudioFileReader::Impl::configureResampler(const AVFrame* frame) {
  const auto inFormat = static_cast<AVSampleFormat>(frame->format);
  if (resampler && inFormat == resamplerInFormat && frame->sample_rate == resamplerInRate &&
      av_channel_layout_compare(&frame->ch_layout, &resamplerFrameLayout) == 0) {
    return kNoError;
  }
  av_channel_layout_uninit(&resamplerFrameLayout);
  if (const int copied = av_channel_layout_copy(&resamplerFrameLayout, &frame->ch_layout); copied < 0) return copied;
  resamplerInLayout.assign(frame->ch_layout);
  resamplerInFormat = inFormat;
  resamplerInRate = frame->sample_rate;
  const int inChannels = resamplerInLayout.layout.nb_channels;
  const int outChannels = static_cast<int>(client.channelsPerFrame);
  ChannelLayoutHolder outLayout;
  if (outChannels == inChannels) {
    outLayout.assign(resamplerInLayout.layout);  // same count: channels pass through unchanged
  } else {
    av_channel_layout_default(&outLayout.layout, outChannels);
  }
  SwrContext* raw = nullptr;
  int status = swr_alloc_set_opts2(&raw, &outLayout.layout, clientSampleFormat, static_cast<int>(client.sampleRate),
                                   &resamplerInLayout.layout, inFormat, frame->sample_rate, 0, nullptr);
  if (status < 0) return status;
  SwrPtr context(raw);
  if (frame->sample_rate != static_cast<int>(client.sampleRate)) {
    av_opt_set_int(raw, "resampler", SWR_ENGINE_SOXR, 0);
    av_opt_set_double(raw, "precision", kSoxrPrecision, 0);
  }
  av_opt_set_int(raw, "dither_method", SWR_DITHER_NONE, 0);
  if (std::vector<double> matrix; explicitMatrix(inChannels, outChannels, matrix) ||
                                   downmixMatrix(resamplerInLayout.layout, outChannels, matrix)) {
    if ((status = swr_set_matrix(raw, matrix.data(), inChannels)) < 0) return status;
  }
  if ((status = swr_init(raw)) < 0) return status;
  resampler = std::move(context);
  return kNoError;
}

Status AudioFileReader::Impl::computeLength(std::int64_t& out) const {
  const AVStream* stream = session->stream();
  const int rate = session->sampleRate();
  if (exactDuration) {
    // A header stating more than the file holds wins: reading then ends short, as damage.
    const std::int64_t stored = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate});
    out = std::min(endLimit, std::max(stored, declaredLength.value_or(0)));
    return kNoError;
  }
  // Otherwise the decoder's own count, after encoder delay and padding are dropped, is
  // the only exact length.
  // A failed count is not kept: a damaged source fails again, with its report.
  const auto before = fileStateOf(path);
  if (const auto counted = before ? countedLengths().find(*before) : std::nullopt) {
    out = std::min(*counted, endLimit);
    return kNoError;
  }
  std::int64_t frames = 0;
  if (const Status status = countFrames(frames); status != kNoError) return status;
  // Kept only when the file did not change while it was counted.
  if (before && fileStateOf(path) == before) countedLengths().keep(*before, frames);
  out = std::min(frames, endLimit);
  return kNoError;
}

Status AudioFileReader::Impl::countFrames(std::int64_t& out) const {
  std::unique_ptr<DecodeSession> counter;
  if (const Status status = openSession(counter); status != kNoError) return status;
  for (bool end = false;;) {
    if (const Status status = counter->decode(end); status != kNoError) {
      out = counter->readableFrames();
      return noteDamage(status, *counter);
    }
    if (end) break;
  }
  out = counter->decodedFrames();
  return kNoError;
}

Status AudioFileReader::Impl::pump() {
  bool end = false;
  Status status = session->decode(end);
  if (status == DecodeSession::kStatusUnknownPosition) {
    // The container could not place the frame: decode from the start instead.
    seekMode = SeekMode::fromStart;
    if ((status = restart()) != kNoError) return status;
    status = session->decode(end);
  }
  if (status != kNoError) return noteDamage(status, *session);
  const bool landing = checkLanding;
  checkLanding = false;
  if (!end && landing &&
      session->framePosition() > target - (seekMode == SeekMode::preroll ? preroll : 0)) {
    // The seek landed after the target, or too close to it for the decoder to settle;
    // only decoding from the start is exact.
    seekMode = SeekMode::fromStart;
    if ((status = restart()) != kNoError) return status;
    return kNoError;
  }
  const AVFrame* frame = end ? nullptr : session->frame();
  int first = 0;
  int count = 0;
  if (frame != nullptr) {
    const std::int64_t position = session->framePosition();
    if (position >= endLimit) {
      end = true;
    } else {
      first = static_cast<int>(std::clamp<std::int64_t>(target - position, 0, frame->nb_samples));
      count = static_cast<int>(std::min<std::int64_t>(frame->nb_samples, endLimit - position)) - first;
      if (count <= 0) return kNoError;
    }
  }
  if (end) {
    finished = true;
    if (!resampler) return kNoError;
  } else if ((status = configureResampler(frame)) != kNoError) {
    return status;
  }
  // Room for everything the resampler may hand out now: its own bound plus the rate
  // ratio of this input, as soxr's bound is not always enough.
  const std::int64_t ratioBound =
      av_rescale_rnd(count, static_cast<std::int64_t>(client.sampleRate), resamplerInRate, AV_ROUND_UP);
  const int bound = swr_get_out_samples(resampler.get(), count);
  if (bound < 0) return bound;
  const int room = static_cast<int>(std::max<std::int64_t>(bound, ratioBound)) + kResamplerSlack;
  const int channels = static_cast<int>(client.channelsPerFrame);
  const std::size_t bytes = static_cast<std::size_t>(room) * channels * av_get_bytes_per_sample(clientSampleFormat);
  if (scratch.size() < bytes) scratch.resize(bytes);
  std::uint8_t* outPlanes[1] = {scratch.data()};
  void* fifoPlanes[1] = {scratch.data()};
  if (end) {
    // Draining may take several calls.
    for (;;) {
      const int produced = swr_convert(resampler.get(), outPlanes, room, nullptr, 0);
      if (produced < 0) return produced;
      if (produced == 0) break;
      if (av_audio_fifo_write(fifo.get(), fifoPlanes, produced) < produced) return AVERROR(ENOMEM);
    }
    return kNoError;
  }
  const std::uint8_t* inPlanes[kMaxSourceChannels] = {};
  const int inChannels = frame->ch_layout.nb_channels;
  const auto inFormat = static_cast<AVSampleFormat>(frame->format);
  const int sampleBytes = av_get_bytes_per_sample(inFormat);
  if (av_sample_fmt_is_planar(inFormat)) {
    for (int c = 0; c < inChannels; ++c) inPlanes[c] = frame->extended_data[c] + first * sampleBytes;
  } else {
    inPlanes[0] = frame->extended_data[0] + static_cast<std::size_t>(first) * sampleBytes * inChannels;
  }
  const int produced = swr_convert(resampler.get(), outPlanes, room, inPlanes, count);
  if (produced < 0) return produced;
  if (produced > 0 && av_audio_fifo_write(fifo.get(), fifoPlanes, produced) < produced) return AVERROR(ENOMEM);
  return kNoError;
}

AudioFileReader::AudioFileReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioFileReader::~AudioFileReader() = default;

Status AudioFileReader::open(const std::filesystem::path& path, std::unique_ptr<AudioFileReader>& out) {
  out.reset();
  ffmpeg::silenceLibraryLog();
  static std::once_flag capOnce;
  std::call_once(capOnce, [] { av_max_alloc(kMaxAllocationBytes); });
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  if (const Status status = impl->restart(); status != kNoError) return status;
  const AVStream* stream = impl->session->stream();
  const AVCodecContext* decoder = impl->session->decoder();
  impl->codecId = decoder->codec_id;
  impl->lossless = isLossless(impl->codecId);
  const std::string_view demuxer = impl->session->format()->iformat->name;
  // Ogg pages carry one timestamp for many packets: after a seek the position of the
  // first frame is not exact, so Ogg streams are decoded from the start.
  // Timestamps coarser than a sample (Matroska's milliseconds) cannot place a frame exactly
  // either.
  const bool sampleTimestamps =
      static_cast<std::int64_t>(stream->time_base.num) * decoder->sample_rate <= stream->time_base.den;
  if (impl->lossless && demuxer != "ogg" && sampleTimestamps) {
    impl->seekMode = SeekMode::container;
  } else if (sampleTimestamps && !impl->manualTrim) {
    impl->preroll = prerollFrames(impl->codecId, *decoder);
    if (impl->preroll > 0) impl->seekMode = SeekMode::preroll;
  }
  const bool knownDuration = stream->duration != AV_NOPTS_VALUE && stream->duration > 0;
  if (demuxer.find("mp4") != std::string_view::npos && knownDuration) {
    impl->endLimit = av_rescale_q(stream->duration, stream->time_base, AVRational{1, decoder->sample_rate});
  }
  // Exact container lengths: PCM sizes, FLAC's stream header, MP4 sample tables and edit
  // lists. Others (CAF packet counts, Ogg granules, MP3 and ADTS estimates) are not.
  impl->exactDuration = knownDuration && (isPcm(impl->codecId) || demuxer == "flac" ||
                                          impl->endLimit != std::numeric_limits<std::int64_t>::max());
  if (demuxer == "ogg" && impl->codecId == AV_CODEC_ID_VORBIS) {
    // When the first audio page is also the last, FFmpeg skips its first-page timing:
    // it counts the first packet, which decodes to nothing, as audio, so its end trim
    // is off by that packet (too long or too short). As in libvorbis, such a stream
    // starts at 0 and its end is cut at the granule: keep every decoded sample up to it.
    if (const auto end = singleAudioPageEnd(path, kVorbisHeaderPackets)) {
      impl->manualTrim = true;
      impl->endLimit = *end;
      if (const Status status = impl->restart(); status != kNoError) return status;
      stream = impl->session->stream();
      decoder = impl->session->decoder();
    }
  }
  impl->declareLength(demuxer);

  StreamDescription& format = impl->fileFormat;
  const auto channels = static_cast<std::uint32_t>(decoder->ch_layout.nb_channels);
  if (isDsd(impl->codecId)) impl->rateDivisor = dsdRateDivisor(decoder->sample_rate);
  format.sampleRate = static_cast<double>(decoder->sample_rate / impl->rateDivisor);
  format.channelsPerFrame = channels;
  format.formatID = formatIdFor(impl->codecId);
  if (format.formatID == FormatID::kLinearPCM) {
    const int bits = av_get_bits_per_sample(impl->codecId);
    format.bitsPerChannel = static_cast<std::uint32_t>(bits);
    format.formatFlags = FormatFlags::kPacked;
    if (isFloatPcm(impl->codecId)) {
      format.formatFlags |= FormatFlags::kFloat;
    } else if (!isUnsignedPcm(impl->codecId)) {
      format.formatFlags |= FormatFlags::kSignedInteger;
    }
    if (isBigEndianPcm(impl->codecId)) format.formatFlags |= FormatFlags::kBigEndian;
    format.framesPerPacket = 1;
    format.bytesPerFrame = format.bytesPerPacket = static_cast<std::uint32_t>(bits / 8) * channels;
  } else {
    if (mayBeLossless(impl->codecId) && !isDsd(impl->codecId)) {
      int bits = decoder->bits_per_raw_sample;
      if (bits <= 0) bits = stream->codecpar->bits_per_raw_sample;
      if (bits <= 0) bits = av_get_bytes_per_sample(decoder->sample_fmt) * 8;
      format.bitsPerChannel = static_cast<std::uint32_t>(bits);
    }
    format.framesPerPacket = decoder->frame_size > 0 ? static_cast<std::uint32_t>(decoder->frame_size) : 0;
    // ALAC's magic cookie holds its frame length: big-endian, after size, tag and version.
    if (impl->codecId == AV_CODEC_ID_ALAC && decoder->extradata_size >= 16) {
      format.framesPerPacket = AV_RB32(decoder->extradata + 12);
    }
  }

  out.reset(new AudioFileReader(std::move(impl)));
  return out->setClientFormat(floatClientFormat(format.sampleRate, channels));
}

Status AudioFileReader::getFileDataFormat(StreamDescription& out) const {
  out = impl_->fileFormat;
  return kNoError;
}

Status AudioFileReader::getFileLengthFrames(std::int64_t& out) const {
  if (!impl_->length) {
    std::int64_t frames = 0;
    if (const Status status = impl_->computeLength(frames); status != kNoError) return status;
    impl_->length = frames / impl_->rateDivisor;
  }
  out = *impl_->length;
  return kNoError;
}

Status AudioFileReader::setClientFormat(const StreamDescription& client) {
  if (!validClientFormat(client)) return kStatusBadClientFormat;
  Impl& impl = *impl_;
  impl.client = client;
  impl.clientSampleFormat = client.bitsPerChannel == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLT;
  impl.fifo.reset(av_audio_fifo_alloc(impl.clientSampleFormat, static_cast<int>(client.channelsPerFrame), 8192));
  if (!impl.fifo) return AVERROR(ENOMEM);
  impl.resampler.reset();
  // Frames already decoded are converted again from the current position.
  return seek(std::max<std::int64_t>(impl.target, 0) / impl.rateDivisor);
}

Status AudioFileReader::seek(std::int64_t sourceFrame) {
  if (sourceFrame < 0 || sourceFrame > std::numeric_limits<std::int64_t>::max() / impl_->rateDivisor) {
    return kStatusBadArgument;
  }
  Impl& impl = *impl_;
  sourceFrame *= impl.rateDivisor;
  impl.resampler.reset();
  av_audio_fifo_reset(impl.fifo.get());
  impl.finished = false;
  impl.checkLanding = false;
  impl.delivered = 0;
  impl.target = sourceFrame;
  if (impl.seekMode == SeekMode::container && sourceFrame > 0) {
    if (impl.session->containerSeek(sourceFrame) == kNoError) {
      impl.checkLanding = true;
      return kNoError;
    }
    if (const Status status = impl.restart(); status != kNoError) return status;
    return kNoError;
  }
  // Decoding on from the current position reaches the target exactly. A lossy stream
  // skips packets undecoded up to two pre-rolls before a target further on or behind
  // (behind in a new pass): at least one then decodes before it, whatever a fresh
  // decoder swallows first (a Vorbis block, Opus's pre-skip). Otherwise going back
  // means decoding from the start.
  const std::int64_t position = impl.session->position();
  const bool onward = position >= 0 && position <= sourceFrame;
  const std::int64_t skipTo = sourceFrame - 2 * impl.preroll;
  const bool skip =
      impl.seekMode == SeekMode::preroll && skipTo > 0 && !(onward && skipTo <= position);
  if (onward && !skip) return kNoError;
  if (!skip || !impl.session->untouched()) {
    if (const Status status = impl.restart(); status != kNoError) return status;
  }
  if (skip) {
    impl.session->skipTo(skipTo);
    impl.checkLanding = true;
  }
  return kNoError;
}

Status AudioFileReader::read(void* buffer, std::uint32_t& frames) {
  Impl& impl = *impl_;
  if (buffer == nullptr && frames > 0) {
    frames = 0;
    return kStatusBadArgument;
  }
  int wanted = static_cast<int>(std::min<std::uint32_t>(frames, std::numeric_limits<int>::max() / 64));
  frames = 0;
  if (impl.rateDivisor > 1) {
    // The resampler's rounding at the end may add a frame: reads stop at the reported
    // length, wherever they started.
    std::int64_t length = 0;
    if (const Status status = getFileLengthFrames(length); status != kNoError) return status;
    const std::int64_t end = av_rescale(length * impl.rateDivisor - impl.target,
                                        static_cast<std::int64_t>(impl.client.sampleRate), impl.session->sampleRate());
    wanted = static_cast<int>(std::clamp<std::int64_t>(end - impl.delivered, 0, wanted));
  }
  while (av_audio_fifo_size(impl.fifo.get()) < wanted && !impl.finished) {
    if (const Status status = impl.pump(); status != kNoError) return status;
  }
  const int available = std::min(wanted, av_audio_fifo_size(impl.fifo.get()));
  if (available <= 0) return kNoError;
  void* planes[1] = {buffer};
  const int delivered = av_audio_fifo_read(impl.fifo.get(), planes, available);
  if (delivered < 0) return delivered;
  frames = static_cast<std::uint32_t>(delivered);
  impl.delivered += delivered;
  return kNoError;
}

std::string AudioFileReader::codecName() const {
  const AVCodecID id = impl_->codecId;
  if (isPcm(id)) return "PCM";
  if (isWma(id)) return "WMA";
  if (isDsd(id)) return "DSD";
  switch (id) {
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
      return "AAC";
    case AV_CODEC_ID_MP3:
      return "MP3";
    case AV_CODEC_ID_MP2:
      return "MP2";
    case AV_CODEC_ID_FLAC:
      return "FLAC";
    case AV_CODEC_ID_ALAC:
      return "ALAC";
    case AV_CODEC_ID_OPUS:
      return "Opus";
    case AV_CODEC_ID_VORBIS:
      return "Vorbis";
    case AV_CODEC_ID_WAVPACK:
      return "WavPack";
    case AV_CODEC_ID_TTA:
      return "TTA";
    case AV_CODEC_ID_APE:
      return "APE";
    case AV_CODEC_ID_MUSEPACK7:
    case AV_CODEC_ID_MUSEPACK8:
      return "Musepack";
    default: {
      const char* name = avcodec_get_name(id);
      return name != nullptr ? name : "Unknown";
    }
  }
}

DamageReport AudioFileReader::damage() const { return impl_->damage; }

std::string statusText(Status status) {
  switch (status) {
    case kNoError:
      return "No error";
    case kStatusBadClientFormat:
      return "Unsupported client format";
    case kStatusNoAudioStream:
      return "No audio stream";
    case kStatusUnsupportedLayout:
      return "Unsupported channel count or sample rate";
    case kStatusBadDestination:
      return "Unsupported destination format";
    case kStatusNoClientFormat:
      return "No client format set";
    case kStatusBadArgument:
      return "Invalid argument";
    case kStatusAlreadyClosed:
      return "File already closed";
    case kStatusSourceDamaged:
      return "Source is damaged";
    default:
      break;
  }
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(status, text, sizeof text) < 0) return "Error " + std::to_string(status);
  return text;
}

}  // namespace vexal::platform
