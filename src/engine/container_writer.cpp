#include <memory>

#include "engine/aac_configuration.h"
#include "engine/audio_processor.h"
#include "engine/chunk_reader.h"
#include "engine/encoder_limits.h"
#include "engine/output_file.h"
#include "platform/audio_file.h"

namespace vexal {

namespace {

constexpr ReadSteps kReadSteps{"Open source", "Seek to start frame", "Set source client format",
                               "Read audio data"};

struct Destination {
  platform::FileType type;
  platform::StreamDescription description;
};

// What each container format is asked to hold: the depth encoderShape chose (WAV and
// AIFF packed PCM, FLAC and ALAC their own coding of 16 or 24 bits).
Destination destinationFor(OutputFormat format, const EncoderShape& shape) {
  using namespace platform;
  StreamDescription d;
  d.sampleRate = shape.sampleRate;
  d.channelsPerFrame = shape.channels;
  d.bitsPerChannel = shape.floatSamples ? 32 : shape.sampleBits == 16 ? 16 : 24;
  const auto packed = [&](std::uint32_t flags) {
    d.formatID = FormatID::kLinearPCM;
    d.formatFlags = flags | FormatFlags::kPacked | (shape.floatSamples ? FormatFlags::kFloat : FormatFlags::kSignedInteger);
    d.bytesPerPacket = d.bytesPerFrame = d.bitsPerChannel / 8 * shape.channels;
    d.framesPerPacket = 1;
  };
  switch (format) {
    case OutputFormat::aac:
      d.formatID = FormatID::kAAC;
      d.framesPerPacket = 1024;
      d.bitsPerChannel = 0;
      return {FileType::m4a, d};
    case OutputFormat::alac:
      d.formatID = FormatID::kALAC;
      d.framesPerPacket = 4096;
      return {FileType::m4a, d};
    case OutputFormat::flac:
      d.formatID = FormatID::kFLAC;
      return {FileType::flac, d};
    case OutputFormat::aiff:
      packed(FormatFlags::kBigEndian);
      return {FileType::aiff, d};
    case OutputFormat::wav:
    default:
      packed(0);
      return {FileType::wave, d};
  }
}

Expected<> configureEncoder(platform::AudioFileWriter& writer, const EncodeRequest& request,
                            std::int64_t bitrate) {
  if (request.format != OutputFormat::aac) return {};
  if (request.settings.aacStrategy == AACStrategy::cbr) return configureAACBitrate(writer, bitrate);
  return configureAACVBR(writer, request.settings.aacStrategy);
}

}  // namespace

Expected<> encodeWithExtAudioFile(const EncodeRequest& request) {
  const EncoderShape shape = encoderShape(request.format, request.settings, request.info);
  const double rate = shape.sampleRate;
  const std::uint32_t channels = shape.channels;

  // Opens, seeks and sets the source's client format; refuses rates and channel counts
  // outside the layer's limits before anything is created or allocated.
  auto chunks = ChunkReader<float>::open(request, rate, channels, kReadSteps);
  if (!chunks) return Unexpected(std::move(chunks.error()));

  const Destination destination = destinationFor(request.format, shape);
  std::unique_ptr<platform::AudioFileWriter> writer;
  const auto created = platform::AudioFileWriter::create(request.output, destination.type,
                                                         destination.description, writer);
  if (created != platform::kNoError || !writer) {
    return Unexpected(ConversionError::extAudioFileError(
        kCreateDestinationStep, created != platform::kNoError ? created
                                                            : platform::kStatusBadDestination));
  }
  if (const auto s = writer->setClientFormat(platform::floatClientFormat(rate, channels));
      s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Set destination client format", s));
  }
  if (const auto s = writer->setDither(request.dither); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Set destination client format", s));
  }
  if (auto configured = configureEncoder(*writer, request, shape.bitrate); !configured) return configured;

  auto written = chunks->run([&](const float* samples, std::uint32_t frames) -> Expected<> {
    if (const auto s = writer->write(samples, frames); s != platform::kNoError) {
      return Unexpected(ConversionError::extAudioFileError(kWriteAudioStep, s));
    }
    return {};
  });
  if (!written) return Unexpected(std::move(written.error()));
  // Closing flushes the encoder and finishes the container: a failure here is a
  // failed write, not a success.
  if (const auto s = writer->close(); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError(kWriteAudioStep, s));
  }
  request.reportProgress(1.0);
  return {};
}

}  // namespace vexal
