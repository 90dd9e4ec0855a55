#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/audio_file_info.h"
#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal {

// The rate, channel count and bit rate an output is encoded at, once the limits of its
// encoder are applied, and what was asked for before that.
struct EncoderShape {
  double sampleRate = 0;  // frames per second the encoder is fed
  std::uint32_t channels = 0;
  std::int64_t bitrate = 0;  // bits per second; 0 where none applies
  // Sample depth of WAV, AIFF, FLAC and ALAC outputs: integer bits (16 or 24), or 32-bit
  // float (WAV); 0 and false for lossy formats.
  std::uint32_t sampleBits = 0;
  bool floatSamples = false;
  double askedRate = 0;
  std::int64_t askedBitrate = 0;
};

// Rate: customSampleRate, else the source's, moved to the nearest rate the encoder
// takes (AAC up to 96 kHz, MP3 the MPEG rates of 8 to 48 kHz, Vorbis what libvorbis
// has setups for, 8 to 48 kHz; Opus the lowest of 8, 12, 16, 24 and 48 kHz at or above
// it, else 48 kHz, while its header keeps the asked rate). Channels: customChannels, else
// the source's, at most 2 for MP3, Opus and Vorbis. Bit rate: the one chosen for the format as given
// (an encoder that refuses it fails), else the format's default moved to the nearest
// one the encoder accepts at that rate and channel count. Depth: bitDepth, where
// formatDefault is 24 bits (ALAC: 16 for 16-bit sources), original the source's (16 up to
// 16 bits, else 24; float sources float in WAV, 24 elsewhere; lossy sources as default),
// float32 float in WAV and 24 bits elsewhere.
EncoderShape encoderShape(OutputFormat format, const ConversionSettings& settings,
                          const AudioFileInfo& info);

// Where each channel of the Vorbis order (used by Vorbis and by Opus family 1) is found in
// the reader's order (front left, right, centre, LFE, back pair, side pair): element k is
// the reader's index of Vorbis channel k. Empty for 1 and 2 channels and above 8.
std::span<const std::uint8_t> vorbisChannelOrder(std::uint32_t channels);

// A sentence for the job's log naming what was adapted; empty when nothing was.
std::string adaptationNote(OutputFormat format, const EncoderShape& shape);

}  // namespace vexal
