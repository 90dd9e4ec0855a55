#pragma once

// The audio-file layer: decoding any accepted input, resampling and channel mapping
// into a client format, and writing M4A (AAC, ALAC), FLAC, WAV and AIFF files.
// Built on FFmpeg; no FFmpeg type appears here. A non-zero Status is a failure:
// FFmpeg's negative AVERROR code, or one of the layer's own codes below.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace vexal::platform {

using Status = std::int32_t;
inline constexpr Status kNoError = 0;

constexpr std::uint32_t fourCC(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// The layer's own failures, outside the range FFmpeg's codes use.
inline constexpr Status kStatusBadClientFormat = -static_cast<Status>(fourCC("VXcf") & 0x7FFFFFFF);
inline constexpr Status kStatusNoAudioStream = -static_cast<Status>(fourCC("VXns") & 0x7FFFFFFF);
inline constexpr Status kStatusUnsupportedLayout = -static_cast<Status>(fourCC("VXly") & 0x7FFFFFFF);
inline constexpr Status kStatusBadDestination = -static_cast<Status>(fourCC("VXds") & 0x7FFFFFFF);
inline constexpr Status kStatusNoClientFormat = -static_cast<Status>(fourCC("VXnc") & 0x7FFFFFFF);
inline constexpr Status kStatusBadArgument = -static_cast<Status>(fourCC("VXar") & 0x7FFFFFFF);
inline constexpr Status kStatusAlreadyClosed = -static_cast<Status>(fourCC("VXcl") & 0x7FFFFFFF);
// The source's decode failed mid-stream or ended before the length its header or
// container declares (beyond the codec's padding); AudioFileReader::damage() says where.
inline constexpr Status kStatusSourceDamaged = -static_cast<Status>(fourCC("VXdm") & 0x7FFFFFFF);

namespace FormatID {
inline constexpr std::uint32_t kLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t kAAC = fourCC("aac ");
inline constexpr std::uint32_t kALAC = fourCC("alac");
inline constexpr std::uint32_t kFLAC = fourCC("flac");
inline constexpr std::uint32_t kMP3 = fourCC(".mp3");
inline constexpr std::uint32_t kOpus = fourCC("opus");
inline constexpr std::uint32_t kVorbis = fourCC("vorb");
inline constexpr std::uint32_t kWMA = fourCC("wma ");
inline constexpr std::uint32_t kOther = fourCC("????");
}  // namespace FormatID

namespace FormatFlags {
inline constexpr std::uint32_t kFloat = 1;
inline constexpr std::uint32_t kBigEndian = 2;
inline constexpr std::uint32_t kSignedInteger = 4;
inline constexpr std::uint32_t kPacked = 8;
}  // namespace FormatFlags

enum class FileType : std::uint32_t {
  m4a = fourCC("m4af"),
  flac = fourCC("flac"),
  wave = fourCC("WAVE"),
  aiff = fourCC("AIFF"),
};

// The format record exchanged with the layer (the shape of a classic 40-byte
// stream description).
struct StreamDescription {
  double sampleRate = 0;  // frames per second
  std::uint32_t formatID = 0;
  std::uint32_t formatFlags = 0;
  std::uint32_t bytesPerPacket = 0;
  std::uint32_t framesPerPacket = 0;
  std::uint32_t bytesPerFrame = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;
  std::uint32_t reserved = 0;
  bool operator==(const StreamDescription&) const = default;
};

// Limits of what the layer accepts; anything outside fails with a status instead of
// overflowing or allocating without bound.
inline constexpr std::uint32_t kMaxChannels = 8;
inline constexpr double kMinSampleRate = 1000.0;
inline constexpr double kMaxSampleRate = 768000.0;

// Interleaved 32-bit float frames (flags float + packed).
StreamDescription floatClientFormat(double sampleRate, std::uint32_t channels);
// Interleaved signed 16-bit frames (flags signed integer + packed).
StreamDescription int16ClientFormat(double sampleRate, std::uint32_t channels);

// Qualities for AudioFileWriter::setAACVBRQuality (FFmpeg's native AAC encoder, its
// global quality in lambda units of FF_QP2LAMBDA). Measured on stereo 44.1 kHz chords
// with noise, 8 s: 0.75 gives 95 kbps, 1.0 gives 128 kbps, 1.2 gives 192 kbps (the
// rate climbs steeply above 1.2: 1.25 already gives 265 kbps).
inline constexpr double kAACQualityLow = 0.75;     // ~96 kbps stereo
inline constexpr double kAACQualityMedium = 1.0;   // ~128 kbps stereo
inline constexpr double kAACQualityHigh = 1.2;     // ~192 kbps stereo

// Where a damaged source gave out, in source frames at `sampleRate`. `declaredFrames` is
// the length the file claims (an estimate where it states none), 0 when unknown.
struct DamageReport {
  std::int64_t decodedFrames = 0;
  std::int64_t declaredFrames = 0;
  double sampleRate = 0;
};
// The rate nearest `sampleRate` that the writer's encoder for `formatID` takes (AAC:
// the MPEG-4 rates, 7.35 to 96 kHz); encoders without a list take any rate in range.
double nearestEncoderRate(std::uint32_t formatID, double sampleRate);
// The highest constant AAC bit rate at a rate and channel count (the encoder holds at
// most 6144 bits per channel in one 1024-frame packet).
std::uint32_t maxAACBitrate(double sampleRate, std::uint32_t channels);
inline constexpr std::uint32_t kMinAACBitrate = 8000;  // bits per second

// Reads one file. Positions are source frames; reads deliver client frames.
// A reader is used from one thread at a time. A damaged source is not cut short
// quietly: the read or length count reaching the damage fails with kStatusSourceDamaged.
class AudioFileReader {
 public:
  static Status open(const std::filesystem::path& path, std::unique_ptr<AudioFileReader>& out);
  ~AudioFileReader();

  // Sample rate, channels, format ID and (for integer PCM and lossless codecs) bits per
  // channel of the stored data; for PCM also the flags (float, big-endian, signed).
  Status getFileDataFormat(StreamDescription& out) const;
  // Exact length in frames of the stored data, encoder delay and padding excluded.
  Status getFileLengthFrames(std::int64_t& out) const;
  // Float32 or int16 interleaved, 1 to kMaxChannels channels, any rate in range:
  // later reads are decoded, resampled and channel-mapped to it.
  Status setClientFormat(const StreamDescription& client);
  // The next read starts at this frame of the stored data, sample-accurately.
  Status seek(std::int64_t sourceFrame);
  // `frames` in: room in `buffer`; out: frames delivered, 0 at the end of the file.
  Status read(void* buffer, std::uint32_t& frames);

  // Short codec name of the stored data ("FLAC", "AAC", "MP3", ...).
  std::string codecName() const;
  // After a kStatusSourceDamaged: how much decoded and how much the file declared.
  DamageReport damage() const;

 private:
  struct Impl;
  explicit AudioFileReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Writes one file. Created with a destination description; accepts interleaved float32
// client frames at the destination's rate and channel count. WAV takes 16- or 24-bit
// integers or 32-bit floats (flag kFloat), AIFF and FLAC 16 or 24 bits, ALAC 16 or 24.
class AudioFileWriter {
 public:
  // Erases an existing file at `path`.
  static Status create(const std::filesystem::path& path, FileType type,
                       const StreamDescription& destination, std::unique_ptr<AudioFileWriter>& out);
  ~AudioFileWriter();  // closes if still open, ignoring the result

  Status setClientFormat(const StreamDescription& client);

  // AAC tuning, before the first write. A bitrate the encoder refuses fails.
  Status setAACBitrate(std::uint32_t bitsPerSecond);
  // Variable bitrate at an encoder quality level (see audio_file.cpp for the mapping
  // of quality to bitrate).
  Status setAACVBRQuality(double quality);
  // TPDF dither of +-1 step of the integer samples written (16 or 24 bits), before the
  // first write; float outputs are not dithered.
  Status setDither(bool on);
  // Applies the settings above by opening the encoder now; a refusal fails here.
  Status commitEncoderSettings();

  Status write(const void* buffer, std::uint32_t frames);
  // Flushes the encoder and finishes headers, sizes and sample tables. A failed
  // write or close is reported, never a silent truncation.
  Status close();

 private:
  struct Impl;
  explicit AudioFileWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Human-readable text of a status, for logs.
std::string statusText(Status status);

}  // namespace vexal::platform
