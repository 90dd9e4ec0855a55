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

// Whether a lossless output at `rate` and `channels` stores the source's samples
// unchanged: same rate and layout, integer data of at most the 24 bits every lossless
// writer keeps (float and lossy sources decode to values between those steps).
bool storedExactly(const AudioFileInfo& info, double rate, std::uint32_t channels) {
  constexpr std::uint32_t kStoredBits = 24;
  return rate == info.sampleRate && channels == info.channels && info.bitsPerChannel > 0 &&
         info.bitsPerChannel <= kStoredBits;
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
  if (settings.normalizationMode != NormalizationMode::off) {
    auto loudness = analyzeLoudness(source, start, end, stop, progress);
    if (!loudness) return Unexpected(std::move(loudness.error()));
    gain = normalizationGain(*loudness, settings.normalizationMode, settings.normalizationTarget);
    offset = 0.3;
    scale = 0.7;
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
  if (progress) {
    // The encoder's 0 ... 1 maps into the window after the analysis; its end is
    // exactly 1.0.
    request.progress = [progress, offset, scale](double p) {
      progress(p >= 1.0 ? 1.0 : offset + p * scale);
    };
  }
  request.stop = stop;
  request.gain = gain;
  // ReplayGain values come from the reading loop itself: the output's own audio, with no
  // extra decode (a normalisation pass measured the source, not the output).
  ConversionTally ownTally;
  const bool measure = settings.writeReplayGain && MetadataService::holdsReplayGain(format);
  if (!tally && measure) tally = &ownTally;
  request.pipelined = settings.threads > 1;
  if (tally) {
    *tally = {};
    tally->measureLoudness = measure;
    if (!isLossy(format) && gain == 1.0 && *fadeIn == 0 && *fadeOut == 0 &&
        storedExactly(*info, rate, channels)) {
      tally->checksum = kPcmChecksumSeed;
    }
    request.tally = tally;
  }

  if (const std::string note = adaptationNote(format, shape); !note.empty()) {
    platform::log(platform::LogCategory::conversion, platform::LogLevel::info,
                  output.filename().string() + ": " + note);
  }
  if (auto encoded = route.encode(request); !encoded) return encoded;

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
