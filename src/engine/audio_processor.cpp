#include "engine/audio_processor.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

#include "engine/chunk_reader.h"
#include "engine/encoder_limits.h"
#include "engine/loudness.h"
#include "metadata/metadata_service.h"
#include "platform/logging.h"

namespace vexal {

namespace {

// Upper end of the signed 64-bit range as a double (2^63); products at or above it
// would overflow the conversion to a frame count.
constexpr double kFrameCountLimit = 9223372036854775808.0;

using Encoder = Expected<> (*)(const EncodeRequest&);
using TagWriter = std::optional<MetadataService::WriteError> (*)(const AudioMetadata&,
                                                                  const std::filesystem::path&,
                                                                  const ReplayGainTags&);

// How a format is produced: its encoder, whether the encoder writes the tags itself,
// and the tag writer that runs on the finished file (for MP3, what LAME cannot write).
// A new encoder joins here.
struct Route {
  Encoder encode;
  bool encoderWritesTags;
  TagWriter writeTags;
  const char* tagWriterName;
};

Route routeFor(OutputFormat format) {
  switch (format) {
    case OutputFormat::aac:
    case OutputFormat::alac:
      return {encodeWithExtAudioFile, false, MetadataService::writeToM4A, "writeToM4A"};
    case OutputFormat::flac:
      return {encodeWithExtAudioFile, false, MetadataService::writeToFlac, "writeToFlac"};
    case OutputFormat::wav:
    case OutputFormat::aiff: return {encodeWithExtAudioFile, false, nullptr, nullptr};
    case OutputFormat::mp3: return {encodeMP3, true, MetadataService::writeToMp3, "writeToMp3"};
    case OutputFormat::opus: return {encodeOpus, true, nullptr, nullptr};
    case OutputFormat::vorbis: return {encodeVorbis, true, nullptr, nullptr};
  }
  return {nullptr, false, nullptr, nullptr};
}

// rate x seconds truncated toward zero; settings that would not fit a frame count
// (infinite, NaN or beyond 2^63 frames, for example from a hand-edited preset) are
// refused rather than overflowing.
Expected<std::int64_t> fadeFrames(double rate, double seconds) {
  const double frames = std::trunc(rate * seconds);
  if (!std::isfinite(frames) || std::fabs(frames) >= kFrameCountLimit) {
    return Unexpected(ConversionError::unsupportedFormat("Fade length out of range"));
  }
  return static_cast<std::int64_t>(frames);
}

// Whether a lossless output of this shape stores the source's samples exactly: they reach
// it `unchanged` (no gain, fades or limiter), at the same rate and layout, and it is a
// float output or holds at least the source's integer bits (float and lossy sources
// decode to values between the steps).
bool storedExactly(const AudioFileInfo& info, const EncoderShape& shape, bool unchanged) {
  if (!unchanged || shape.sampleRate != info.sampleRate || shape.channels != info.channels) return false;
  return shape.floatSamples ||
         (!info.floatingPoint && info.bitsPerChannel > 0 && info.bitsPerChannel <= shape.sampleBits);
}

// The true-peak ceiling in dBTP: at most full scale; a value that is no number (from a
// hand-edited preset) counts as the default -1 dBTP.
double ceilingDB(const ConversionSettings& settings) {
  constexpr double kDefaultCeilingDB = -1.0;
  return std::isfinite(settings.truePeakCeiling) ? std::min(settings.truePeakCeiling, 0.0) : kDefaultCeilingDB;
}

// Passes through the limiter to find the gain that reaches the target, at most; the
// level a pass may miss it by without another; the smallest share of a dB of gain the
// limiter is taken to keep as loudness (heavier limiting is not chased further).
constexpr int kLimiterPasses = 3;
constexpr double kLimiterToleranceLU = 0.05;
constexpr double kMinLimiterSlope = 0.2;

constexpr ReadSteps kLimiterSteps{"Open source", "Seek for analysis", "Set client format for analysis",
                                  "Read for analysis"};

// The level, in the unit of `mode` (LUFS or RMS dB), that `request`'s audio reaches
// through its limiter: one pass that reads, stages and limits as the encoder's will,
// and encodes nothing.
Expected<double> limitedLevel(EncodeRequest request, const EncoderShape& shape, NormalizationMode mode) {
  ConversionTally tally;
  tally.measureLoudness = true;
  request.tally = &tally;
  auto chunks = ChunkReader<float>::open(request, shape.sampleRate, shape.channels, kLimiterSteps);
  if (!chunks) return Unexpected(std::move(chunks.error()));
  if (auto read = chunks->run([](const float*, std::uint32_t) -> Expected<> { return {}; }); !read) {
    return Unexpected(std::move(read.error()));
  }
  if (!tally.loudness) return -100.0;
  return mode == NormalizationMode::rms ? tally.loudness->rmsDB : integratedLoudness(tally.loudness->blockPowers);
}

}  // namespace

Expected<> AudioProcessor::convert(const std::filesystem::path& source,
                                   const std::filesystem::path& output, OutputFormat format,
                                   const ConversionSettings& settings,
                                   std::optional<std::int64_t> startFrame,
                                   std::optional<std::int64_t> endFrame,
                                   ProgressCallback progress, std::stop_token stop,
                                   const AudioMetadata* tags, ConversionTally* tally) {
  const Route route = routeFor(format);
  if (!route.encode) return Unexpected(ConversionError::unsupportedFormat("Unknown output format"));

  auto info = readAudioFileInfo(source);
  if (!info) return Unexpected(std::move(info.error()));

  // The rate and channel count the output is made at; hostile values (0 channels, more
  // than the layer handles, absurd rates) end here before any stage allocates for them.
  const EncoderShape shape = encoderShape(format, settings, *info);
  const double rate = shape.sampleRate;
  const std::uint32_t channels = shape.channels;
  for (const auto& [r, c] : {std::pair{info->sampleRate, info->channels}, std::pair{rate, channels}}) {
    if (!isSupportedClientFormat(r, c)) {
      std::ostringstream text;
      text << c << " channels at " << r << " Hz";
      return Unexpected(ConversionError::unsupportedFormat(text.str()));
    }
  }

  if (startFrame || endFrame) {
    // A cue track starting at or after its end (or beyond the file) has no audio; an
    // empty output would be rejected by players and look like success.
    const std::int64_t first = startFrame.value_or(0);
    const std::int64_t last = std::min(endFrame.value_or(info->totalFrames), info->totalFrames);
    if (last <= first) {
      std::ostringstream text;
      text << "Empty track: no audio between frames " << first << " and " << last;
      return Unexpected(ConversionError::unsupportedFormat(text.str()));
    }
  }

  std::optional<std::int64_t> start = startFrame;
  std::optional<std::int64_t> end = endFrame;
  if (settings.trimSilence) {
    auto bounds = detectSilence(source, start, end, *info, settings.silenceThresholdDB);
    if (!bounds) return Unexpected(std::move(bounds.error()));
    // An untrimmed range keeps its own shape, so a file of unknown length still reads
    // to its end.
    if (*bounds != SilenceBounds{start.value_or(0), end.value_or(info->totalFrames)}) {
      start = bounds->startFrame;
      end = bounds->endFrame;
    }
  }

  double gain = 1.0;
  double offset = 0.0;
  double scale = 1.0;
  bool limit = false;
  const NormalizationMode mode = settings.normalizationMode;
  if (mode != NormalizationMode::off) {
    auto loudness = analyzeLoudness(source, start, end, stop, progress);
    if (!loudness) return Unexpected(std::move(loudness.error()));
    const NormalizationPlan plan =
        planNormalization(*loudness, mode, settings.normalizationTarget, ceilingDB(settings));
    gain = plan.gain;
    offset = 0.3;
    scale = 0.7;
    // A peak target is a sample level: the limiter has nothing to add to the held gain.
    if (plan.heldByCeiling && settings.truePeakLimiter && mode != NormalizationMode::peak) {
      limit = true;
      gain = normalizationGain(*loudness, mode, settings.normalizationTarget);
    } else if (plan.heldByCeiling) {
      platform::log(platform::LogCategory::conversion, platform::LogLevel::info,
                    source.filename().string() + " (" + std::string(displayName(format)) + "): " +
                        ceilingNote(mode, settings.normalizationTarget, plan.reached, ceilingDB(settings)));
    }
  }

  auto fadeIn = fadeFrames(rate, settings.fadeInSeconds);
  if (!fadeIn) return Unexpected(std::move(fadeIn.error()));
  auto fadeOut = fadeFrames(rate, settings.fadeOutSeconds);
  if (!fadeOut) return Unexpected(std::move(fadeOut.error()));

  std::optional<AudioMetadata> metadata;
  if (settings.preserveMetadata) {
    AudioMetadata read = tags ? *tags : MetadataService::readMetadata(source);
    if (read.hasContent()) metadata = std::move(read);
  }
  if (metadata) {
    MetadataService::fitPictures(*metadata, settings.coverMaxSize, settings.frontCoverOnly);
    // The source's gain values describe its level: they stay true only while nothing
    // changes it, and ReplayGain measures the output's own instead.
    const bool sourceLevel = settings.normalizationMode == NormalizationMode::off && *fadeIn == 0 &&
                             *fadeOut == 0 && channels == info->channels;
    if (!sourceLevel || settings.writeReplayGain) {
      std::erase_if(metadata->properties, [](const auto& property) {
        return MetadataService::isGainProperty(property.first);
      });
    }
  }

  EncodeRequest request;
  request.source = source;
  request.output = output;
  request.format = format;
  request.settings = settings;
  request.info = *info;
  request.start = start;
  request.end = end;
  request.fadeInFrames = *fadeIn;
  request.fadeOutFrames = *fadeOut;
  if (route.encoderWritesTags) request.metadata = metadata;
  // A pass's 0 ... 1 maps into its window of the job's progress; the encoder's, the
  // last, ends at exactly 1.0.
  const auto mapProgress = [&](double from, double width, bool last) -> ProgressCallback {
    if (!progress) return {};
    return [progress, from, width, last](double p) { progress(p >= 1.0 && last ? 1.0 : from + p * width); };
  };
  request.stop = stop;
  request.gain = gain;
  request.pipelined = settings.threads > 1;
  if (limit) {
    request.limiterCeiling = std::pow(10.0, ceilingDB(settings) / 20.0);
    // The limiter takes off loudness with the peaks it holds, the more so the more gain
    // it is given: passes through it measure how much, and the gain makes up for it
    // (secant steps on the level against the gain in dB).
    const double target = settings.normalizationTarget;
    double gainDB = 20.0 * std::log10(gain);
    std::optional<std::pair<double, double>> previous;  // gain dB, level reached
    const double window = scale * 0.3 / kLimiterPasses;
    for (int pass = 0; pass < kLimiterPasses; ++pass) {
      request.gain = std::pow(10.0, gainDB / 20.0);
      request.progress = mapProgress(offset + pass * window, window, false);
      auto reached = limitedLevel(request, shape, mode);
      if (!reached) return Unexpected(std::move(reached.error()));
      if (!std::isfinite(*reached) || *reached <= -100.0 || std::fabs(target - *reached) < kLimiterToleranceLU) break;
      double slope = 1.0;  // LU per dB of gain
      if (previous && gainDB != previous->first) {
        slope = std::clamp((*reached - previous->second) / (gainDB - previous->first), kMinLimiterSlope, 1.0);
      }
      previous = std::pair{gainDB, *reached};
      gainDB += (target - *reached) / slope;
    }
    request.gain = std::pow(10.0, gainDB / 20.0);
    offset += scale * 0.3;
    scale *= 0.7;
  }
  request.progress = mapProgress(offset, scale, true);
  // ReplayGain values describe the output as it plays: lossless outputs are measured by
  // the reading loop (they decode to what it measured), lossy ones by decoding them once
  // after encoding, which verification then reuses instead of decoding again.
  ConversionTally ownTally;
  const bool measure = settings.writeReplayGain && MetadataService::holdsReplayGain(format);
  if (!tally && measure) tally = &ownTally;
  const bool unchanged = request.gain == 1.0 && !limit && *fadeIn == 0 && *fadeOut == 0;
  const bool exact = !isLossy(format) && storedExactly(*info, shape, unchanged);
  // 16-bit outputs are dithered unless they hold the source's samples as they are; at 24
  // bits the rounding error lies near -144 dBFS, below any converter's own noise.
  constexpr std::uint32_t kDitheredBits = 16;
  request.dither = !isLossy(format) && !shape.floatSamples && shape.sampleBits <= kDitheredBits && !exact;
  if (tally) {
    *tally = {};
    tally->measureLoudness = measure && !isLossy(format);
    if (exact) tally->checksum = kPcmChecksumSeed;
    request.tally = tally;
  }

  if (const std::string note = adaptationNote(format, shape); !note.empty()) {
    platform::log(platform::LogCategory::conversion, platform::LogLevel::info,
                  output.filename().string() + ": " + note);
  }
  if (auto encoded = route.encode(request); !encoded) return encoded;

  if (measure && isLossy(format)) {
    DecodedOutput decoded = decodeOutput(output, stop, true);
    if (stop.stop_requested()) return Unexpected(ConversionError::cancelled());
    tally->loudness = decoded.loudness;
    if (!decoded.loudness) {
      platform::log(platform::LogCategory::metadata, platform::LogLevel::error,
                    "ReplayGain not measured for " + output.filename().string() + ": output is not decodable");
    }
    tally->decoded = std::move(decoded);
  }
  ReplayGainTags gains;
  if (measure && tally->loudness) {
    // Silence (nothing above the gate) gets no gain: +80 dB would be nonsense.
    const double lufs = integratedLoudness(tally->loudness->blockPowers);
    if (lufs > -100.0) gains.track = GainMeasure{lufs, tally->loudness->peak};
  }
  // Tags are auxiliary: a failure is logged and the conversion still succeeds. A tag
  // writer sets the gains in the same rewrite of the file.
  std::optional<MetadataService::WriteError> failure;
  std::string writer = "ReplayGain tags";
  if (route.writeTags && metadata) {
    failure = route.writeTags(*metadata, output, gains);
    writer = route.tagWriterName;
  } else if (gains.track) {
    failure = MetadataService::writeReplayGain(gains, format, output);
  }
  if (failure) {
    platform::log(platform::LogCategory::metadata, platform::LogLevel::error,
                  writer + " failed for " + output.filename().string() + ": " + failure->text());
  }
  return {};
}

}  // namespace vexal
