#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/loudness.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::InputKind;

// Damage done to a good file's bytes.
using Damage = std::function<void(std::string&)>;

void cutInHalf(std::string& bytes) { bytes.resize(bytes.size() / 2); }

// Part of the last frame missing, as in many files that play whole.
void cutLastFrame(std::string& bytes) { bytes.resize(bytes.size() - 100); }

// The header states twice the frames there are.
void doubleWavDataSize(std::string& bytes) {
  const auto at = bytes.find("data");
  const auto size = static_cast<std::uint32_t>(2 * (bytes.size() - at - 8));
  for (int b = 0; b < 4; ++b) bytes[at + 4 + b] = static_cast<char>(size >> (8 * b));
}

// Pseudo-random bytes over the middle third: packets that do not decode.
void scrambleMiddle(std::string& bytes) {
  std::uint32_t x = 99;
  for (std::size_t i = bytes.size() / 3; i < 2 * bytes.size() / 3; ++i) {
    bytes[i] = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
  }
}

// A few bytes changed inside the ADTS frame in the middle (its header left whole): one
// packet that does not decode, audio after it.
void corruptMiddleAdtsFrame(std::string& bytes) {
  const std::size_t frame = bytes.find("\xff\xf1", bytes.size() / 2);
  for (std::size_t i = frame + 20; i < frame + 60; ++i) bytes.at(i) ^= 0x5A;
}

// One byte changed in the body of the middle Ogg page: its checksum fails and FFmpeg
// passes over the page without an error.
void corruptMiddleOggPage(std::string& bytes) {
  std::vector<std::size_t> pages;
  for (auto at = bytes.find("OggS"); at != std::string::npos; at = bytes.find("OggS", at + 4)) pages.push_back(at);
  const std::size_t page = pages.at(pages.size() / 2);
  const auto segments = static_cast<unsigned char>(bytes.at(page + 26));
  bytes.at(page + 27 + segments + 10) ^= 0x5A;
}

// A streaming writer's WAV that never got audio: data size "unknown", no data.
void emptyStreamingWav(std::string& bytes) {
  const auto at = bytes.find("data");
  bytes.resize(at + 8);
  for (int b = 0; b < 4; ++b) bytes[at + 4 + b] = '\xff';
}

struct DamageCase {
  std::string name;
  InputKind kind;
  Damage damage;
  bool fails = true;  // false: what is left still plays whole
  // Analysis reads the ends of seekable files only, so damage in the middle is left to
  // the conversion.
  bool inMiddle = false;
  // FFmpeg's Ogg pages last up to a second; half a file must keep its first audio page.
  double seconds = 2.0;
};

void PrintTo(const DamageCase& param, std::ostream* out) { *out << param.name; }

class DamagedSourceTest : public ::testing::TestWithParam<DamageCase> {
 protected:
  // Noise, so that every codec fills many packets and pages.
  std::filesystem::path source() {
    const auto& param = GetParam();
    const double rate = test::requires48k(param.kind) ? 48000.0 : 44100.0;
    const auto good = test::writeAudio(dir_.path(), "good", test::noise(rate, 2, param.seconds, -3.0), param.kind);
    const auto path = dir_ / ("damaged." + test::extensionFor(param.kind));
    std::string bytes = test::readText(good);
    param.damage(bytes);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // The error a damaged source must end with, whichever step meets the damage first.
  static void expectDamaged(const Expected<>& result) {
    ASSERT_FALSE(result);
    const std::string message = result.error().errorDescription();
    EXPECT_EQ(result.error().kind(), ConversionError::Kind::sourceDamaged) << message;
    EXPECT_TRUE(message.starts_with("Source is damaged: decoded ")) << message;
  }

  test::TempDir dir_;
};

TEST_P(DamagedSourceTest, ConversionFails) {
  const auto path = source();
  ConversionSettings settings;
  settings.preserveMetadata = false;
  const auto output = dir_ / "out.flac";
  const Expected<> result = AudioProcessor::convert(path, output, OutputFormat::flac, settings, {}, {}, {}, {});
  if (!GetParam().fails) {
    ASSERT_TRUE(result) << result.error().errorDescription();
    const double rate = test::requires48k(GetParam().kind) ? 48000.0 : 44100.0;
    EXPECT_NEAR(test::decodeFile(output).frames() / rate, GetParam().seconds, 0.05);
    return;
  }
  expectDamaged(result);
}

// Analysis passes on a damaged file fail rather than measure the part that decodes.
TEST_P(DamagedSourceTest, AnalysisFails) {
  if (GetParam().inMiddle) return;
  const auto path = source();
  const auto loudness = analyzeLoudness(path, {}, {}, {}, {});
  const auto info = readAudioFileInfo(path);
  Expected<> silence;
  if (info) {
    const auto bounds = AudioProcessor::detectSilence(path, {}, {}, *info, -60.0);
    if (!bounds) silence = Unexpected(bounds.error());
  } else {
    silence = Unexpected(info.error());
  }
  if (!GetParam().fails) {
    EXPECT_TRUE(loudness);
    EXPECT_TRUE(silence);
    return;
  }
  expectDamaged(loudness ? Expected<>{} : Unexpected(loudness.error()));
  expectDamaged(silence);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DamagedSourceTest,
    ::testing::Values(DamageCase{"flacCut", InputKind::flac16, cutInHalf},
                      DamageCase{"wavHeader", InputKind::wav16, doubleWavDataSize},
                      DamageCase{"mp3Cut", InputKind::mp3, cutInHalf},
                      DamageCase{"mp3LastFrameCut", InputKind::mp3, cutLastFrame, false},
                      DamageCase{"adtsLastFrameCut", InputKind::aacAdts, cutLastFrame, false},
                      DamageCase{"mp3Scrambled", InputKind::mp3, scrambleMiddle, true, true},
                      DamageCase{"m4aCut", InputKind::aacM4a, cutInHalf},
                      DamageCase{"vorbisCut", InputKind::oggVorbis, cutInHalf, true, false, 3.0},
                      DamageCase{"adtsPacketCorrupt", InputKind::aacAdts, corruptMiddleAdtsFrame, true, true},
                      DamageCase{"vorbisPageCorrupt", InputKind::oggVorbis, corruptMiddleOggPage},
                      DamageCase{"opusPageCorrupt", InputKind::opus, corruptMiddleOggPage},
                      DamageCase{"wavEmptyUnknownSize", InputKind::wav16, emptyStreamingWav}),
    [](const auto& info) { return info.param.name; });

// A range past the end of a stream whose length is only known by decoding it: the
// reading loop notices what the reader cannot.
TEST(DamagedSourceRange, EndPastTheAudioFails) {
  test::TempDir dir;
  const auto source = test::writeAudio(dir.path(), "in", test::noise(44100, 1, 0.5, -3.0), InputKind::oggVorbis);
  ConversionSettings settings;
  settings.preserveMetadata = false;
  const auto result = AudioProcessor::convert(source, dir / "out.wav", OutputFormat::wav, settings, 0, 44100, {}, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().errorDescription(), "Source is damaged: decoded 0.5 s of 1.0 s");
}

}  // namespace
}  // namespace vexal
