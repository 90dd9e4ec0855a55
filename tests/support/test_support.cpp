#include "support/test_support.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <stdexcept>

#include "platform/audio_file.h"
#include "platform/ffmpeg_handles.h"

namespace vexal::test {

namespace {

struct KindSpec {
  const char* name;
  const char* extension;
  const char* muxer;
  const char* encoder;
  AVSampleFormat sampleFormat;
  int bits;     // integer bits the signal is quantised to; 0 = float or lossy
  int rawBits;  // bits_per_raw_sample for the encoder, 0 = its default
  bool lossless;
  bool exactLength;
};

const KindSpec& specOf(InputKind kind) {
  static const KindSpec specs[] = {
      {"wav8", "wav", "wav", "pcm_u8", AV_SAMPLE_FMT_U8, 8, 0, true, true},
      {"wav16", "wav", "wav", "pcm_s16le", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"wav24", "wav", "wav", "pcm_s24le", AV_SAMPLE_FMT_S32, 24, 24, true, true},
      // 32-bit integer storage of 24-bit values: float32 holds them exactly.
      {"wav32", "wav", "wav", "pcm_s32le", AV_SAMPLE_FMT_S32, 24, 0, true, true},
      {"wavFloat", "wav", "wav", "pcm_f32le", AV_SAMPLE_FMT_FLT, 0, 0, true, true},
      {"aiff16", "aiff", "aiff", "pcm_s16be", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"aiff24", "aiff", "aiff", "pcm_s24be", AV_SAMPLE_FMT_S32, 24, 24, true, true},
      {"flac16", "flac", "flac", "flac", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"flac24", "flac", "flac", "flac", AV_SAMPLE_FMT_S32, 24, 24, true, true},
      {"alacM4a16", "m4a", "ipod", "alac", AV_SAMPLE_FMT_S16P, 16, 0, true, true},
      {"alacM4a24", "m4a", "ipod", "alac", AV_SAMPLE_FMT_S32P, 24, 24, true, true},
      {"aacM4a", "m4a", "ipod", "aac", AV_SAMPLE_FMT_FLTP, 0, 0, false, true},
      // Raw ADTS records no encoder delay: its length is the padded one.
      {"aacAdts", "aac", "adts", "aac", AV_SAMPLE_FMT_FLTP, 0, 0, false, false},
      {"mp3", "mp3", "mp3", "libmp3lame", AV_SAMPLE_FMT_FLTP, 0, 0, false, true},
      {"caf16", "caf", "caf", "pcm_s16be", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"oggVorbis", "ogg", "ogg", "libvorbis", AV_SAMPLE_FMT_FLTP, 0, 0, false, true},
      {"oggOpus", "ogg", "ogg", "libopus", AV_SAMPLE_FMT_FLT, 0, 0, false, true},
      {"oggFlac", "ogg", "ogg", "flac", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"opus", "opus", "opus", "libopus", AV_SAMPLE_FMT_FLT, 0, 0, false, true},
      // The WMA encoder codes whole 2048-frame blocks and records no padding.
      {"wma", "wma", "asf", "wmav2", AV_SAMPLE_FMT_FLTP, 0, 0, false, false},
      {"alac", "alac", "caf", "alac", AV_SAMPLE_FMT_S16P, 16, 0, true, true},
      // Little-endian PCM makes the AIFF muxer write AIFF-C ("sowt").
      {"aifc16", "aifc", "aiff", "pcm_s16le", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"wavPack16", "wv", "wv", "wavpack", AV_SAMPLE_FMT_S16P, 16, 0, true, true},
      {"wavPack24", "wv", "wv", "wavpack", AV_SAMPLE_FMT_S32P, 24, 24, true, true},
      {"tta16", "tta", "tta", "tta", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"flacMka", "mka", "matroska", "flac", AV_SAMPLE_FMT_S16, 16, 0, true, true},
      {"opusWebm", "webm", "webm", "libopus", AV_SAMPLE_FMT_FLT, 0, 0, false, true},
      {"aacM4b", "m4b", "ipod", "aac", AV_SAMPLE_FMT_FLTP, 0, 0, false, true},
      {"vorbisOga", "oga", "ogg", "libvorbis", AV_SAMPLE_FMT_FLTP, 0, 0, false, true},
  };
  return specs[static_cast<std::size_t>(kind)];
}

void check(int status, const std::string& what) {
  if (status < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    throw std::runtime_error(what + ": " + text);
  }
}

float quantise(float value, int bits) {
  if (bits == 0) return value;
  const double scale = std::ldexp(1.0, bits - 1);
  const double stepped = std::clamp(std::nearbyint(static_cast<double>(value) * scale), -scale, scale - 1.0);
  return static_cast<float>(stepped / scale);
}

// A pure function of (seed, frame, channel) in [-1, 1), so signals need no state.
float hashNoise(std::uint32_t seed, std::int64_t frame, std::uint32_t channel) {
  std::uint64_t x = (static_cast<std::uint64_t>(seed) << 40) ^ (static_cast<std::uint64_t>(frame) << 4) ^ channel;
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<float>(static_cast<double>(x >> 11) / 4503599627370496.0 - 1.0);
}

std::int64_t framesFor(double rate, double seconds) { return static_cast<std::int64_t>(std::llround(rate * seconds)); }

void fillFrame(AVFrame* frame, const std::vector<float>& samples, std::int64_t first, int count, std::uint32_t channels,
               const KindSpec& spec) {
  const bool planar = av_sample_fmt_is_planar(spec.sampleFormat);
  for (int i = 0; i < frame->nb_samples; ++i) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      const float value =
          i < count ? quantise(samples[static_cast<std::size_t>(first + i) * channels + c], spec.bits) : 0.0f;
      const std::size_t index = planar ? static_cast<std::size_t>(i) : static_cast<std::size_t>(i) * channels + c;
      std::uint8_t* plane = frame->extended_data[planar ? c : 0];
      switch (av_get_packed_sample_fmt(spec.sampleFormat)) {
        case AV_SAMPLE_FMT_U8:
          plane[index] = static_cast<std::uint8_t>(std::lround(value * 128.0) + 128);
          break;
        case AV_SAMPLE_FMT_S16:
          reinterpret_cast<std::int16_t*>(plane)[index] = static_cast<std::int16_t>(std::lround(value * 32768.0));
          break;
        case AV_SAMPLE_FMT_S32:
          reinterpret_cast<std::int32_t*>(plane)[index] =
              static_cast<std::int32_t>(std::clamp(std::llround(value * 2147483648.0), -2147483648LL, 2147483647LL));
          break;
        default:
          reinterpret_cast<float*>(plane)[index] = value;
          break;
      }
    }
  }
}

}  // namespace

TempDir::TempDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("vexal-test-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Signal sine(double rate, std::uint32_t channels, double seconds, double hz, double dbfs) {
  const double amplitude = std::pow(10.0, dbfs / 20.0);
  return Signal{rate, channels, framesFor(rate, seconds), [=](std::int64_t frame, std::uint32_t channel) {
                  const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(frame) / rate +
                                       channel * std::numbers::pi / 2.0;
                  return static_cast<float>(amplitude * std::sin(phase));
                }};
}

Signal silence(double rate, std::uint32_t channels, double seconds) {
  return Signal{rate, channels, framesFor(rate, seconds), [](std::int64_t, std::uint32_t) { return 0.0f; }};
}

Signal noise(double rate, std::uint32_t channels, double seconds, double dbfs, std::uint32_t seed) {
  const double amplitude = std::pow(10.0, dbfs / 20.0);
  return Signal{rate, channels, framesFor(rate, seconds), [=](std::int64_t frame, std::uint32_t channel) {
                  return static_cast<float>(amplitude * hashNoise(seed, frame, channel));
                }};
}

Signal pinkNoise(double rate, std::uint32_t channels, double seconds, double peakDbfs, std::uint32_t seed) {
  const std::int64_t frames = framesFor(rate, seconds);
  auto samples = std::make_shared<std::vector<float>>(static_cast<std::size_t>(frames) * channels);
  float largest = 0.0f;
  for (std::uint32_t c = 0; c < channels; ++c) {
    // Paul Kellet's three-pole approximation of a -3 dB/octave filter over white noise.
    double b0 = 0, b1 = 0, b2 = 0;
    for (std::int64_t i = 0; i < frames; ++i) {
      const double white = hashNoise(seed, i, c);
      b0 = 0.99765 * b0 + white * 0.0990460;
      b1 = 0.96300 * b1 + white * 0.2965164;
      b2 = 0.57000 * b2 + white * 1.0526913;
      const auto value = static_cast<float>(b0 + b1 + b2 + white * 0.1848);
      (*samples)[static_cast<std::size_t>(i) * channels + c] = value;
      largest = std::max(largest, std::fabs(value));
    }
  }
  const auto scale = static_cast<float>(std::pow(10.0, peakDbfs / 20.0) / largest);
  for (float& value : *samples) value *= scale;
  return Signal{rate, channels, frames, [samples, channels](std::int64_t frame, std::uint32_t channel) {
                  return (*samples)[static_cast<std::size_t>(frame) * channels + channel];
                }};
}

Signal musicLike(double rate, std::uint32_t channels, double seconds) {
  // Four triads (Hz of the root) changing every half second, each note with two overtones
  // and a decaying envelope, over a noise floor at -40 dBFS.
  static constexpr double kRoots[] = {220.0, 174.61, 261.63, 196.0};
  static constexpr double kTriad[] = {1.0, 1.2599, 1.4983};
  return Signal{rate, channels, framesFor(rate, seconds), [=](std::int64_t frame, std::uint32_t channel) {
                  const double t = static_cast<double>(frame) / rate;
                  const auto chord = static_cast<std::size_t>(t / 0.5) % 4;
                  const double local = std::fmod(t, 0.5);
                  const double envelope = std::exp(-3.0 * local) * std::min(1.0, local * 200.0);
                  double value = 0.0;
                  for (double interval : kTriad) {
                    const double f = kRoots[chord] * interval * (1.0 + 0.002 * channel);
                    for (int harmonic = 1; harmonic <= 3; ++harmonic) {
                      value += std::sin(2.0 * std::numbers::pi * f * harmonic * t) / (harmonic * harmonic);
                    }
                  }
                  value = 0.18 * envelope * value + 0.01 * hashNoise(7, frame, channel);
                  return static_cast<float>(value);
                }};
}

Signal ramp(double rate, std::uint32_t channels, double seconds) {
  const std::int64_t frames = framesFor(rate, seconds);
  return Signal{rate, channels, frames, [=](std::int64_t frame, std::uint32_t) {
                  return static_cast<float>(-1.0 + 2.0 * static_cast<double>(frame) / static_cast<double>(frames));
                }};
}

std::string extensionFor(InputKind kind) { return specOf(kind).extension; }
std::string nameOf(InputKind kind) { return specOf(kind).name; }
bool isLossless(InputKind kind) { return specOf(kind).lossless; }
int bitDepthOf(InputKind kind) { return specOf(kind).bits; }
bool requires48k(InputKind kind) {
  return kind == InputKind::oggOpus || kind == InputKind::opus || kind == InputKind::opusWebm;
}
bool hasExactLength(InputKind kind) { return specOf(kind).exactLength; }

std::vector<float> render(const Signal& signal) {
  std::vector<float> samples(static_cast<std::size_t>(signal.frames) * signal.channels);
  for (std::int64_t i = 0; i < signal.frames; ++i) {
    for (std::uint32_t c = 0; c < signal.channels; ++c) {
      samples[static_cast<std::size_t>(i) * signal.channels + c] = signal.sample(i, c);
    }
  }
  return samples;
}

std::vector<float> quantised(const Signal& signal, int bits) {
  std::vector<float> samples = render(signal);
  for (float& sample : samples) sample = quantise(sample, bits);
  return samples;
}

std::filesystem::path writeAudio(const std::filesystem::path& dir, const std::string& stem, const Signal& signal,
                                 InputKind kind) {
  av_log_set_level(AV_LOG_ERROR);
  const KindSpec& spec = specOf(kind);
  const std::filesystem::path path = dir / (stem + "." + spec.extension);
  const std::string where = "writeAudio " + path.string();
  const AVCodec* codec = avcodec_find_encoder_by_name(spec.encoder);
  if (codec == nullptr) throw std::runtime_error(where + ": no encoder " + spec.encoder);

  AVFormatContext* rawFormat = nullptr;
  check(avformat_alloc_output_context2(&rawFormat, nullptr, spec.muxer, path.c_str()), where);
  platform::ffmpeg::OutputFormatPtr format(rawFormat);
  AVStream* stream = avformat_new_stream(rawFormat, nullptr);
  platform::ffmpeg::CodecContextPtr encoder(avcodec_alloc_context3(codec));
  if (stream == nullptr || !encoder) throw std::runtime_error(where + ": out of memory");
  encoder->sample_rate = static_cast<int>(signal.sampleRate);
  av_channel_layout_default(&encoder->ch_layout, static_cast<int>(signal.channels));
  encoder->sample_fmt = spec.sampleFormat;
  encoder->time_base = AVRational{1, encoder->sample_rate};
  if (spec.rawBits > 0) encoder->bits_per_raw_sample = spec.rawBits;
  if (!spec.lossless) encoder->bit_rate = 64000 * std::min<std::uint32_t>(signal.channels, 2);
  if (rawFormat->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  check(avcodec_open2(encoder.get(), codec, nullptr), where + " open encoder");
  check(avcodec_parameters_from_context(stream->codecpar, encoder.get()), where);
  stream->time_base = encoder->time_base;
  check(avio_open(&rawFormat->pb, path.c_str(), AVIO_FLAG_WRITE), where + " open file");
  AVDictionary* options = nullptr;
  // MP4 edit lists count in the movie time scale; at the sample rate they are exact.
  // Sample tables before the audio, as in most players' files: a partial copy still opens.
  if (std::string_view(spec.muxer) == "ipod") {
    av_dict_set_int(&options, "movie_timescale", encoder->sample_rate, 0);
    av_dict_set(&options, "movflags", "+faststart", 0);
  }
  const int header = avformat_write_header(rawFormat, &options);
  av_dict_free(&options);
  check(header, where + " header");

  platform::ffmpeg::PacketPtr packet(av_packet_alloc());
  platform::ffmpeg::FramePtr frame(av_frame_alloc());
  auto drain = [&] {
    for (;;) {
      const int received = avcodec_receive_packet(encoder.get(), packet.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
      check(received, where + " encode");
      // Packets end where the signal ends, as a careful encoder records it (FFmpeg's AAC
      // encoder gets the last duration a few frames wrong).
      if (encoder->codec_id == AV_CODEC_ID_AAC && packet->pts != AV_NOPTS_VALUE &&
          packet->pts + encoder->frame_size > signal.frames) {
        packet->duration = std::max<std::int64_t>(0, signal.frames - packet->pts);
      }
      av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
      packet->stream_index = stream->index;
      check(av_interleaved_write_frame(rawFormat, packet.get()), where + " write");
    }
  };
  const std::vector<float> samples = render(signal);
  const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 4096;
  const bool smallLast = codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  for (std::int64_t first = 0; first < signal.frames; first += frameSize) {
    const int count = static_cast<int>(std::min<std::int64_t>(frameSize, signal.frames - first));
    av_frame_unref(frame.get());
    frame->nb_samples = (count < frameSize && !smallLast) ? frameSize : count;
    frame->format = spec.sampleFormat;
    frame->sample_rate = encoder->sample_rate;
    check(av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout), where);
    check(av_frame_get_buffer(frame.get(), 0), where);
    fillFrame(frame.get(), samples, first, count, signal.channels, spec);
    frame->pts = first;
    check(avcodec_send_frame(encoder.get(), frame.get()), where + " send");
    drain();
  }
  check(avcodec_send_frame(encoder.get(), nullptr), where + " flush");
  drain();
  check(av_write_trailer(rawFormat), where + " trailer");
  check(avio_closep(&rawFormat->pb), where + " close");
  return path;
}

namespace {

void putLe(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// One channel as 1-bit samples (true: +1) from a second-order sigma-delta loop.
std::vector<bool> sigmaDelta(const Signal& signal, std::uint32_t channel, std::uint64_t count) {
  std::vector<bool> bits(count);
  double first = 0, second = 0, out = 0;  // loop integrators and the last output (+-1)
  for (std::uint64_t i = 0; i < count; ++i) {
    first += signal.sample(static_cast<std::int64_t>(i), channel) - out;
    second += first - out;
    out = second >= 0 ? 1.0 : -1.0;
    bits[i] = out > 0;
  }
  return bits;
}

}  // namespace

std::filesystem::path writeDsf(const std::filesystem::path& dir, const std::string& stem, const Signal& signal) {
  constexpr std::uint64_t kBlockBytes = 4096;  // per channel, as DSF requires
  constexpr std::uint64_t kHeaderBytes = 28 + 52 + 12;
  const auto channels = signal.channels;
  const auto bits = static_cast<std::uint64_t>(signal.frames);
  const std::uint64_t blocks = (bits + kBlockBytes * 8 - 1) / (kBlockBytes * 8);
  const std::uint64_t dataBytes = blocks * kBlockBytes * channels;
  // Padding bytes after the last sample hold the DSD idle pattern.
  std::string data(dataBytes, static_cast<char>(0x69));
  for (std::uint32_t c = 0; c < channels; ++c) {
    const std::vector<bool> samples = sigmaDelta(signal, c, bits);
    for (std::uint64_t i = 0; i < bits; ++i) {
      const std::uint64_t byte = i / 8;
      char& target = data[(byte / kBlockBytes * channels + c) * kBlockBytes + byte % kBlockBytes];
      if (i % 8 == 0) target = 0;
      if (samples[i]) target = static_cast<char>(target | (1 << (i % 8)));  // least significant bit first
    }
  }
  std::string file = "DSD ";
  putLe(file, 28, 8);
  putLe(file, kHeaderBytes + dataBytes, 8);
  putLe(file, 0, 8);  // no metadata chunk
  file += "fmt ";
  putLe(file, 52, 8);
  putLe(file, 1, 4);                                       // format version
  putLe(file, 0, 4);                                       // DSD raw
  putLe(file, channels == 1 ? 1 : channels == 2 ? 2 : 7, 4);  // channel type (7: 5.1)
  putLe(file, channels, 4);
  putLe(file, static_cast<std::uint64_t>(signal.sampleRate), 4);
  putLe(file, 1, 4);  // bits per sample: least significant bit first
  putLe(file, bits, 8);
  putLe(file, kBlockBytes, 4);
  putLe(file, 0, 4);
  file += "data";
  putLe(file, 12 + dataBytes, 8);
  file += data;
  const std::filesystem::path path = dir / (stem + ".dsf");
  writeBytes(path, {file.begin(), file.end()});
  return path;
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int exitCodeOnFullDisk(const std::function<int()>& body, std::uint64_t limitBytes) {
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{limitBytes, limitBytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

const std::vector<std::uint8_t>& pngImage() {
  static const std::vector<std::uint8_t> kPng = {
      0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
      0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
      0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
      0xDA, 0x63, 0x64, 0x60, 0xF8, 0x5F, 0x0F, 0x00, 0x02, 0x87, 0x01, 0x80, 0xEB, 0x47,
      0xBA, 0x92, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  return kPng;
}

const std::vector<std::uint8_t>& jpegImage() {
  static const std::vector<std::uint8_t> kJpeg = {
      0xFF, 0xD8,  // start of image
      0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00, 0x01, 0x01,
      0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,                           // APP0
      0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x08, 0x00, 0x10, 0x03,         // SOF0: 8 bits, 8x16
      0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF, 0xD9};  // end of image
  return kJpeg;
}

DecodedAudio decodeFile(const std::filesystem::path& path) {
  using namespace vexal::platform;
  std::unique_ptr<AudioFileReader> reader;
  auto fail = [&](const std::string& step, Status status) {
    throw std::runtime_error("decodeFile " + path.string() + ": " + step + ": " + statusText(status));
  };
  if (const Status status = AudioFileReader::open(path, reader); status != kNoError) fail("open", status);
  StreamDescription format;
  if (const Status status = reader->getFileDataFormat(format); status != kNoError) fail("format", status);
  DecodedAudio audio;
  audio.sampleRate = format.sampleRate;
  audio.channels = format.channelsPerFrame;
  if (const Status status = reader->setClientFormat(floatClientFormat(format.sampleRate, format.channelsPerFrame));
      status != kNoError) {
    fail("client format", status);
  }
  constexpr std::uint32_t kChunk = 8192;
  std::vector<float> buffer(static_cast<std::size_t>(kChunk) * audio.channels);
  for (;;) {
    std::uint32_t frames = kChunk;
    if (const Status status = reader->read(buffer.data(), frames); status != kNoError) fail("read", status);
    if (frames == 0) break;
    audio.samples.insert(audio.samples.end(), buffer.begin(), buffer.begin() + frames * audio.channels);
  }
  return audio;
}

double frequencyOf(const DecodedAudio& audio, std::uint32_t channel) {
  // Rising crossings with hysteresis at a tenth of the peak, so that low-level ripple
  // (encoder priming, dither) does not count.
  const std::int64_t frames = audio.frames();
  auto at = [&](std::int64_t i) { return audio.samples[static_cast<std::size_t>(i) * audio.channels + channel]; };
  float peak = 0.0f;
  for (std::int64_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(at(i)));
  const float threshold = 0.1f * peak;
  double firstCrossing = -1.0;
  double lastCrossing = -1.0;
  int crossings = 0;
  bool armed = false;
  std::int64_t lastNegative = -1;
  for (std::int64_t i = 0; i < frames; ++i) {
    const float value = at(i);
    if (value < -threshold) armed = true;
    if (value < 0.0f) lastNegative = i;
    if (armed && value > threshold && lastNegative >= 0) {
      const float before = at(lastNegative);
      const float after = at(lastNegative + 1);
      const double crossing = static_cast<double>(lastNegative) + before / (before - after);  // frames
      if (firstCrossing < 0.0) firstCrossing = crossing;
      lastCrossing = crossing;
      ++crossings;
      armed = false;
    }
  }
  if (crossings < 2) return 0.0;
  return (crossings - 1) * audio.sampleRate / (lastCrossing - firstCrossing);
}

double rmsDbfs(const DecodedAudio& audio) {
  if (audio.samples.empty()) return -std::numeric_limits<double>::infinity();
  double sum = 0.0;
  for (float sample : audio.samples) sum += static_cast<double>(sample) * sample;
  return 10.0 * std::log10(sum / static_cast<double>(audio.samples.size()));
}

double peakDbfs(const DecodedAudio& audio) {
  float peak = 0.0f;
  for (float sample : audio.samples) peak = std::max(peak, std::fabs(sample));
  return 20.0 * std::log10(static_cast<double>(peak));
}

namespace {

platform::ffmpeg::InputFormatPtr openForTags(const std::filesystem::path& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  return platform::ffmpeg::InputFormatPtr(raw);
}

void appendTags(const AVDictionary* dictionary, std::vector<std::pair<std::string, std::string>>& tags) {
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX))) {
    std::string key = entry->key;
    std::ranges::transform(key, key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    tags.emplace_back(std::move(key), entry->value);
  }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ffmpegTags(const std::filesystem::path& path) {
  std::vector<std::pair<std::string, std::string>> tags;
  const auto format = openForTags(path);
  if (!format) return tags;
  appendTags(format->metadata, tags);
  const int audio = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (audio >= 0) appendTags(format->streams[audio]->metadata, tags);
  return tags;
}

std::vector<std::string> ffmpegPictureKinds(const std::filesystem::path& path) {
  std::vector<std::string> kinds;
  const auto format = openForTags(path);
  if (!format) return kinds;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if (!(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
    const AVDictionaryEntry* comment = av_dict_get(stream->metadata, "comment", nullptr, 0);
    kinds.emplace_back(comment ? comment->value : "");
  }
  return kinds;
}

}  // namespace vexal::test
