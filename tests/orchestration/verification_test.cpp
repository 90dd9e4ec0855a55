#include <gmock/gmock.h>

#include <fstream>

#include "engine/audio_processor.h"
#include "orchestration/converter_view_model.h"
#include "orchestration_helpers.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;

// measuredUndecodable: the engine's own decode of a lossy output it measured for
// ReplayGain is marked undecodable; verification must take it instead of decoding again.
enum class Damage { none, truncated, bitFlipped, measuredUndecodable };
enum class Processing { none, faded, resampled };

// "flac_faded", "wav_truncated": the format, then what was done.
template <typename Done>
std::string caseName(const testing::TestParamInfo<std::tuple<OutputFormat, Done>>& info) {
  constexpr const char* kDone[] = {"", "_faded", "_resampled", "", "_truncated", "_bitFlipped"};
  const int offset = std::is_same_v<Done, Damage> ? 3 : 0;
  return std::string(rawValue(std::get<0>(info.param))) +
         kDone[offset + static_cast<int>(std::get<1>(info.param))];
}

// The real engine, then `damage` done to the file it wrote (as a failing disk or a bad
// writer would), before verification sees it.
ConverterViewModel::ConvertFunction damaging(Damage damage) {
  return [damage](const fs::path& source, const fs::path& output, OutputFormat format,
                  const ConversionSettings& settings, std::optional<std::int64_t> start,
                  std::optional<std::int64_t> end, ProgressCallback progress, std::stop_token stop,
                  const AudioMetadata* tags, ConversionTally* tally) -> Expected<> {
    auto result = AudioProcessor::convert(source, output, format, settings, start, end,
                                          std::move(progress), stop, tags, tally);
    if (!result) return result;
    if (damage == Damage::measuredUndecodable && tally->decoded) tally->decoded->decodable = false;
    const auto size = fs::file_size(output);
    if (damage == Damage::truncated) fs::resize_file(output, size * 2 / 3);
    if (damage == Damage::bitFlipped) {
      std::fstream file(output, std::ios::in | std::ios::out | std::ios::binary);
      file.seekg(static_cast<std::streamoff>(size * 3 / 4));
      const char byte = static_cast<char>(file.get() ^ 0x01);
      file.seekp(static_cast<std::streamoff>(size * 3 / 4));
      file.put(byte);
    }
    return result;
  };
}

// One 0.5 s stereo 16-bit source through one format with verification on; returns the
// job's status text ("Completed" when it passed).
std::string convertVerified(OutputFormat format, Damage damage, Processing processing) {
  test::TempDir dir;
  test::writeWav(dir / "tone.wav", 22050, 44100, 2);
  ConverterViewModel model(test::storesIn(dir.path()));
  model.setConvertFunction(damaging(damage));
  ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.verifyAfterConversion = true;
  if (processing == Processing::faded) settings.fadeInSeconds = 0.1;
  if (processing == Processing::resampled) settings.customSampleRate = 48000;
  settings.writeReplayGain = damage == Damage::measuredUndecodable;
  model.setSettings(settings);
  model.addFiles({q(dir / "tone.wav")});
  model.startConversion();
  EXPECT_TRUE(test::waitForBatch(model));
  const auto& job = *model.jobs().front();
  if (job.status().kind() != ConversionStatus::Kind::completed) {
    // A failed output leaves nothing behind, not even its temporary.
    EXPECT_TRUE(fs::is_empty(dir / "out")) << job.status().text();
  }
  return job.status().text();
}

class IntactOutputs : public testing::TestWithParam<std::tuple<OutputFormat, Processing>> {};

// Decoded lengths match what was encoded in every format, with and without fades or
// resampling (where the lossless checksum must not apply).
TEST_P(IntactOutputs, PassVerification) {
  const auto [format, processing] = GetParam();
  EXPECT_EQ(convertVerified(format, Damage::none, processing), "Completed");
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, IntactOutputs,
                         testing::Combine(testing::ValuesIn(kAllOutputFormats),
                                          testing::Values(Processing::none, Processing::faded,
                                                          Processing::resampled)),
                         caseName<Processing>);

class DamagedOutputs : public testing::TestWithParam<std::tuple<OutputFormat, Damage>> {};

TEST_P(DamagedOutputs, FailVerification) {
  const auto [format, damage] = GetParam();
  const std::string text = convertVerified(format, damage, Processing::none);
  EXPECT_THAT(text, testing::StartsWith("Unsupported format: Verification failed: "));
  if (format == OutputFormat::wav) {
    // PCM still decodes after either damage; what differs is named.
    EXPECT_THAT(text,
                testing::EndsWith(damage == Damage::truncated ? " of 0.50 s"
                                                              : "audio differs from the source"));
  }
}

INSTANTIATE_TEST_SUITE_P(Lossless, DamagedOutputs,
                         testing::Combine(testing::Values(OutputFormat::wav, OutputFormat::aiff,
                                                          OutputFormat::flac, OutputFormat::alac),
                                          testing::Values(Damage::truncated, Damage::bitFlipped)),
                         caseName<Damage>);

TEST(Verification, TakesTheEnginesDecodeOfAMeasuredLossyOutput) {
  EXPECT_THAT(convertVerified(OutputFormat::mp3, Damage::measuredUndecodable, Processing::none),
              testing::EndsWith("output is not decodable"));
}

}  // namespace
}  // namespace vexal
