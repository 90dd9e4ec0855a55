#include "engine/engine_fixtures.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <stdexcept>

#include "platform/audio_file.h"

namespace vexal::test {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}
void putTag(std::vector<std::uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

std::uint32_t get16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t get32(const std::uint8_t* p) { return get16(p) | get16(p + 2) << 16; }

}  // namespace

Pcm makePcm(double rate, std::uint32_t channels, std::int64_t frames,
            const std::function<float(std::int64_t, std::uint32_t)>& value) {
  Pcm pcm{rate, channels, {}};
  pcm.samples.resize(static_cast<std::size_t>(frames) * channels);
  for (std::int64_t i = 0; i < frames; ++i) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      pcm.samples[static_cast<std::size_t>(i) * channels + c] = value(i, c);
    }
  }
  return pcm;
}

Pcm makeSine(double rate, std::uint32_t channels, double seconds, double frequency, double dbfs) {
  const double amplitude = std::pow(10.0, dbfs / 20.0);
  const auto frames = static_cast<std::int64_t>(std::llround(rate * seconds));
  return makePcm(rate, channels, frames, [&](std::int64_t i, std::uint32_t) {
    return static_cast<float>(amplitude *
                              std::sin(2.0 * std::numbers::pi * frequency * i / rate));
  });
}

Pcm makeNoise(double rate, std::uint32_t channels, std::int64_t frames, int bits,
              std::uint32_t seed) {
  std::mt19937 random(seed);
  const std::int32_t full = 1 << (bits - 1);
  std::uniform_int_distribution<std::int32_t> dist(-full, full - 1);
  return makePcm(rate, channels, frames, [&](std::int64_t, std::uint32_t) {
    return static_cast<float>(dist(random)) / static_cast<float>(full);
  });
}

Pcm concat(const std::vector<Pcm>& parts) {
  Pcm out{parts.front().rate, parts.front().channels, {}};
  for (const auto& p : parts) out.samples.insert(out.samples.end(), p.samples.begin(), p.samples.end());
  return out;
}

Pcm makeSilence(double rate, std::uint32_t channels, std::int64_t frames) {
  return Pcm{rate, channels, std::vector<float>(static_cast<std::size_t>(frames) * channels, 0.0f)};
}

void writeWav(const std::filesystem::path& path, const Pcm& pcm, int bits) {
  const std::uint32_t bytesPerSample = static_cast<std::uint32_t>(bits / 8);
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(pcm.samples.size()) * bytesPerSample;
  std::vector<std::uint8_t> out;
  out.reserve(44 + dataBytes);
  putTag(out, "RIFF");
  put32(out, 36 + dataBytes);
  putTag(out, "WAVE");
  putTag(out, "fmt ");
  put32(out, 16);
  put16(out, bits == 32 ? 3 : 1);
  put16(out, pcm.channels);
  put32(out, static_cast<std::uint32_t>(pcm.rate));
  put32(out, static_cast<std::uint32_t>(pcm.rate) * pcm.channels * bytesPerSample);
  put16(out, pcm.channels * bytesPerSample);
  put16(out, static_cast<std::uint32_t>(bits));
  putTag(out, "data");
  put32(out, dataBytes);
  for (float x : pcm.samples) {
    if (bits == 32) {
      std::uint32_t raw;
      std::memcpy(&raw, &x, 4);
      put32(out, raw);
      continue;
    }
    const double scale = bits == 16 ? 32768.0 : 8388608.0;
    const auto v = static_cast<std::int32_t>(std::lround(x * scale));
    for (std::uint32_t b = 0; b < bytesPerSample; ++b) out.push_back((v >> (8 * b)) & 0xFF);
  }
  writeBytes(path, out);
}

WavFile readWav(const std::filesystem::path& path) {
  const auto bytes = readBytes(path);
  WavFile wav;
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    throw std::runtime_error("not a RIFF WAVE file");
  }
  std::size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const std::uint8_t* chunk = bytes.data() + pos;
    const std::uint32_t size = get32(chunk + 4);
    const std::uint8_t* body = chunk + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      wav.formatTag = static_cast<std::uint16_t>(get16(body));
      wav.pcm.channels = get16(body + 2);
      wav.pcm.rate = get32(body + 4);
      wav.blockAlign = static_cast<std::uint16_t>(get16(body + 12));
      wav.bitsPerSample = static_cast<std::uint16_t>(get16(body + 14));
      if (wav.formatTag == 0xFFFE && size >= 26) wav.formatTag = static_cast<std::uint16_t>(get16(body + 24));
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      const std::size_t available = std::min<std::size_t>(size, bytes.size() - pos - 8);
      const std::size_t width = wav.bitsPerSample / 8;
      for (std::size_t i = 0; i + width <= available; i += width) {
        const std::uint8_t* p = body + i;
        if (wav.formatTag == 3) {
          float x;
          const std::uint32_t raw = get32(p);
          std::memcpy(&x, &raw, 4);
          wav.pcm.samples.push_back(x);
        } else if (width == 3) {
          std::int32_t v = p[0] | p[1] << 8 | p[2] << 16;
          if (v & 0x800000) v -= 1 << 24;
          wav.pcm.samples.push_back(static_cast<float>(v) / 8388608.0f);
        } else if (width == 2) {
          const auto v = static_cast<std::int16_t>(get16(p));
          wav.pcm.samples.push_back(static_cast<float>(v) / 32768.0f);
        }
      }
    }
    pos += 8 + size + (size & 1);
  }
  return wav;
}

Pcm decode(const std::filesystem::path& path) {
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(path, reader) != platform::kNoError || !reader) {
    throw std::runtime_error("cannot open " + path.string());
  }
  platform::StreamDescription format;
  reader->getFileDataFormat(format);
  Pcm pcm{format.sampleRate, format.channelsPerFrame, {}};
  if (reader->setClientFormat(platform::floatClientFormat(format.sampleRate,
                                                          format.channelsPerFrame)) !=
      platform::kNoError) {
    throw std::runtime_error("client format refused for " + path.string());
  }
  std::vector<float> buffer(8192 * std::size_t{pcm.channels});
  for (;;) {
    std::uint32_t frames = 8192;
    if (reader->read(buffer.data(), frames) != platform::kNoError) {
      throw std::runtime_error("read failed for " + path.string());
    }
    if (frames == 0) break;
    pcm.samples.insert(pcm.samples.end(), buffer.begin(),
                       buffer.begin() + std::size_t{frames} * pcm.channels);
  }
  return pcm;
}

double ebur128Loudness(const Pcm& pcm) {
  std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
      ebur128_init(pcm.channels, static_cast<unsigned long>(pcm.rate), EBUR128_MODE_I),
      [](ebur128_state* s) { ebur128_destroy(&s); });
  // The same layouts as the engine assumes: 5 = L R C Ls Rs, 6 = L R C LFE Ls Rs.
  if (pcm.channels == 5) {
    ebur128_set_channel(state.get(), 3, EBUR128_LEFT_SURROUND);
    ebur128_set_channel(state.get(), 4, EBUR128_RIGHT_SURROUND);
  }
  ebur128_add_frames_float(state.get(), pcm.samples.data(), static_cast<std::size_t>(pcm.frames()));
  double lufs = 0;
  ebur128_loudness_global(state.get(), &lufs);
  return lufs;
}

double peakDBFS(const Pcm& pcm) {
  float peak = 0;
  for (float x : pcm.samples) peak = std::max(peak, std::fabs(x));
  return 20.0 * std::log10(static_cast<double>(peak));
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace vexal::test
