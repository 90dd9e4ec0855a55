#include "engine/encoder_limits.h"

#include <lame/lame.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/audio_file.h"

namespace vexal {

namespace {

// The MPEG-1, -2 and -2.5 rates of layer III; also the rates tried for Vorbis when
// libvorbis has no setup for the asked one.
constexpr std::array<double, 9> kMpegRates = {8000,  11025, 12000, 16000, 22050,
                                              24000, 32000, 44100, 48000};
// The rates libopus codes at; every other rate is resampled by the reader.
constexpr std::array<double, 5> kOpusRates = {8000, 12000, 16000, 24000, 48000};
// How far from the asked one Vorbis bit rates are searched, in kbit/s: beyond every
// setup's range (measured: up to 500 stereo, 600 at six channels).
constexpr long kMaxVorbisKbps = 1000;

double nearestOf(const auto& candidates, double rate, auto&& accepts) {
  double best = rate;
  double distance = std::numeric_limits<double>::infinity();
  for (const double candidate : candidates) {
    if (const double d = std::fabs(candidate - rate); d < distance && accepts(candidate)) {
      distance = d;
      best = candidate;
    }
  }
  return best;
}

// The whole kbit/s nearest `kbps` that libvorbis accepts as an average at this rate and
// channel count (its setups take one contiguous range); none when the rate has no setup.
std::optional<long> vorbisKbps(long kbps, double rate, std::uint32_t channels) {
  auto accepts = [&](long k) {
    if (k <= 0) return false;
    vorbis_info info;
    vorbis_info_init(&info);
    const bool accepted = vorbis_encode_setup_managed(&info, channels, static_cast<long>(rate), -1,
                                                      k * 1000, -1) == 0;
    vorbis_info_clear(&info);
    return accepted;
  };
  for (long d = 0; d <= kMaxVorbisKbps; ++d) {
    if (accepts(kbps - d)) return kbps - d;
    if (accepts(kbps + d)) return kbps + d;
  }
  return std::nullopt;
}

double vorbisRate(double rate, std::uint32_t channels, long kbps) {
  auto accepts = [&](double r) { return vorbisKbps(kbps, r, channels).has_value(); };
  if (accepts(rate)) return rate;
  return nearestOf(kMpegRates, rate, accepts);
}

// The constant bit rate LAME settles on for `kbps` at this rate: the nearest of its
// MPEG version's table (at 8 to 12 kHz at most 64 kbit/s).
int mp3Kbps(int kbps, double rate, std::uint32_t channels) {
  std::unique_ptr<lame_global_flags, decltype(&lame_close)> lame(lame_init(), &lame_close);
  if (!lame) return kbps;
  lame_set_in_samplerate(lame.get(), static_cast<int>(rate));
  lame_set_out_samplerate(lame.get(), static_cast<int>(rate));
  lame_set_num_channels(lame.get(), static_cast<int>(channels));
  if (channels == 1) lame_set_mode(lame.get(), MONO);
  lame_set_VBR(lame.get(), vbr_off);
  lame_set_brate(lame.get(), kbps);
  if (lame_init_params(lame.get()) < 0) return kbps;
  return lame_get_brate(lame.get());
}

constexpr std::uint32_t kDeepBits = 24;
constexpr std::uint32_t kCdBits = 16;

// The depth of a lossless output (see encoderShape).
void chooseDepth(OutputFormat format, BitDepth asked, const AudioFileInfo& info, EncoderShape& shape) {
  const bool wav = format == OutputFormat::wav;
  const bool integerSource = info.bitsPerChannel > 0 && !info.floatingPoint;
  if (asked == BitDepth::original) {
    if (info.floatingPoint) asked = BitDepth::float32;
    else if (integerSource) asked = info.bitsPerChannel <= kCdBits ? BitDepth::int16 : BitDepth::int24;
    else asked = BitDepth::formatDefault;
  }
  switch (asked) {
    case BitDepth::int16: shape.sampleBits = kCdBits; break;
    case BitDepth::float32:
      shape.floatSamples = wav;
      shape.sampleBits = wav ? 0 : kDeepBits;
      break;
    case BitDepth::formatDefault:
    case BitDepth::original:
    case BitDepth::int24:
      shape.sampleBits = asked == BitDepth::formatDefault && format == OutputFormat::alac && info.bitsPerChannel == kCdBits
                             ? kCdBits
                             : kDeepBits;
      break;
  }
}

}  // namespace

EncoderShape encoderShape(OutputFormat format, const ConversionSettings& settings,
                          const AudioFileInfo& info) {
  EncoderShape shape;
  shape.askedRate = settings.customSampleRate.value_or(info.sampleRate);
  const bool stereoAtMost = format == OutputFormat::mp3 || format == OutputFormat::opus ||
                            format == OutputFormat::vorbis;
  shape.channels = settings.customChannels.value_or(
      stereoAtMost ? std::min<std::uint32_t>(info.channels, 2) : info.channels);
  shape.askedBitrate = isLossy(format) ? settings.bitrateFor(format) : 0;
  shape.sampleRate = shape.askedRate;
  shape.bitrate = shape.askedBitrate;
  // Hostile values are refused later, by the reader's checks; nothing is probed for them.
  if (!std::isfinite(shape.askedRate) || shape.askedRate < platform::kMinSampleRate ||
      shape.askedRate > platform::kMaxSampleRate || shape.channels < 1 ||
      shape.channels > platform::kMaxChannels) {
    return shape;
  }
  const bool adaptBitrate = !settings.chosenBitrate(format);
  switch (format) {
    case OutputFormat::aac:
      shape.sampleRate = platform::nearestEncoderRate(platform::FormatID::kAAC, shape.askedRate);
      if (adaptBitrate && settings.aacStrategy == AACStrategy::cbr) {
        shape.bitrate = std::clamp<std::int64_t>(
            shape.bitrate, platform::kMinAACBitrate,
            std::max(platform::kMinAACBitrate, platform::maxAACBitrate(shape.sampleRate, shape.channels)));
      }
      break;
    case OutputFormat::mp3:
      shape.sampleRate = nearestOf(kMpegRates, shape.askedRate, [](double) { return true; });
      if (adaptBitrate && settings.bitrateMode == BitrateMode::cbr) {
        shape.bitrate = std::int64_t{1000} *
                        mp3Kbps(static_cast<int>(shape.bitrate / 1000), shape.sampleRate, shape.channels);
      }
      break;
    case OutputFormat::vorbis:
      // Whole kbit/s, the unit of the search below.
      shape.bitrate = shape.bitrate / 1000 * 1000;
      shape.sampleRate = vorbisRate(shape.askedRate, shape.channels, static_cast<long>(shape.bitrate / 1000));
      if (adaptBitrate) {
        const long kbps = static_cast<long>(shape.bitrate / 1000);
        shape.bitrate = std::int64_t{1000} * vorbisKbps(kbps, shape.sampleRate, shape.channels).value_or(kbps);
      }
      break;
    case OutputFormat::opus:
      // The lowest Opus rate that keeps the whole band, else the top one.
      shape.sampleRate = kOpusRates.back();
      for (const double rate : kOpusRates) {
        if (rate >= shape.askedRate) {
          shape.sampleRate = rate;
          break;
        }
      }
      break;
    case OutputFormat::alac:
    case OutputFormat::flac:
    case OutputFormat::wav:
    case OutputFormat::aiff:
      chooseDepth(format, settings.bitDepth, info, shape);
      break;
  }
  return shape;
}

std::span<const std::uint8_t> vorbisChannelOrder(std::uint32_t channels) {
  // Vorbis order: 3 L C R; 4 FL FR RL RR; 5 FL C FR RL RR; 6 adds LFE last; 7 FL C FR SL
  // SR RC LFE; 8 FL C FR SL SR RL RR LFE.
  static constexpr std::uint8_t k3[] = {0, 2, 1};
  static constexpr std::uint8_t k4[] = {0, 1, 2, 3};
  static constexpr std::uint8_t k5[] = {0, 2, 1, 3, 4};
  static constexpr std::uint8_t k6[] = {0, 2, 1, 4, 5, 3};
  static constexpr std::uint8_t k7[] = {0, 2, 1, 4, 5, 6, 3};
  static constexpr std::uint8_t k8[] = {0, 2, 1, 6, 7, 4, 5, 3};
  switch (channels) {
    case 3: return k3;
    case 4: return k4;
    case 5: return k5;
    case 6: return k6;
    case 7: return k7;
    case 8: return k8;
    default: return {};
  }
}

std::string adaptationNote(OutputFormat format, const EncoderShape& shape) {
  std::ostringstream note;
  // Opus decodes at 48 kHz whatever rate it codes at, and its header keeps the asked one.
  if (shape.sampleRate != shape.askedRate && format != OutputFormat::opus) {
    note << displayName(format) << ": " << shape.askedRate << " Hz is beyond the encoder, resampled to "
         << shape.sampleRate << " Hz.";
  }
  if (shape.bitrate / 1000 != shape.askedBitrate / 1000) {
    if (note.tellp() > 0) note << ' ';
    note << displayName(format) << ": " << shape.askedBitrate / 1000 << " kbit/s is not available at "
         << shape.sampleRate << " Hz with " << shape.channels << (shape.channels == 1 ? " channel" : " channels")
         << ", using " << shape.bitrate / 1000 << " kbit/s.";
  }
  return note.str();
}

}  // namespace vexal
