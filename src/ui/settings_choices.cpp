#include "ui/settings_choices.h"

#include <initializer_list>

namespace vexal::ui {
namespace {

constexpr std::int64_t kBitsPerKilobit = 1000;

std::vector<Choice<std::int64_t>> kbpsChoices(QString defaultText,
                                              std::initializer_list<int> kbps) {
  std::vector<Choice<std::int64_t>> choices{{std::move(defaultText), std::nullopt}};
  for (int value : kbps)
    choices.push_back({QStringLiteral("%1 kbps").arg(value), value * kBitsPerKilobit});
  return choices;
}

QString defaultText(std::int64_t bitsPerSecond) {
  return QStringLiteral("Default (%1 kbps)").arg(bitsPerSecond / kBitsPerKilobit);
}

}  // namespace

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::vector<Choice<std::int64_t>> bitrateChoices(OutputFormat format) {
  QString text = defaultText(defaultBitrate(format));
  switch (format) {
    case OutputFormat::opus:
      return kbpsChoices(std::move(text), {48, 64, 96, 128, 160, 192, 256});
    case OutputFormat::vorbis:
      return kbpsChoices(std::move(text), {96, 128, 160, 192, 224, 256, 320});
    default:
      return kbpsChoices(std::move(text), {64, 96, 128, 160, 192, 224, 256, 320});
  }
}

QString bitrateMenuLabel(const ConversionSettings& settings, OutputFormat format) {
  const auto chosen = settings.chosenBitrate(format);
  if (!chosen) return QStringLiteral("Default");
  return QStringLiteral("%1 kbps").arg(*chosen / kBitsPerKilobit);
}

std::vector<Choice<double>> sampleRateChoices() {
  return {{QStringLiteral("Original"), std::nullopt},
          {QStringLiteral("44,100 Hz"), 44100.0},
          {QStringLiteral("48,000 Hz"), 48000.0},
          {QStringLiteral("96,000 Hz"), 96000.0}};
}

std::vector<Choice<std::uint32_t>> channelChoices() {
  return {{QStringLiteral("Original"), std::nullopt},
          {QStringLiteral("Mono"), 1u},
          {QStringLiteral("Stereo"), 2u}};
}

std::vector<Choice<double>> normalizationTargetPresets(NormalizationMode mode) {
  switch (mode) {
    case NormalizationMode::lufs:
      return {{QStringLiteral("-14 Streaming"), -14.0},
              {QStringLiteral("-16 Podcast"), -16.0},
              {QStringLiteral("-23 Broadcast"), -23.0}};
    case NormalizationMode::rms:
      return {{QStringLiteral("-14 dB"), -14.0},
              {QStringLiteral("-18 dB"), -18.0},
              {QStringLiteral("-23 dB"), -23.0}};
    case NormalizationMode::peak:
      return {{QStringLiteral("-0.1 dBFS"), -0.1},
              {QStringLiteral("-0.5 dBFS"), -0.5},
              {QStringLiteral("-1.0 dBFS"), -1.0},
              {QStringLiteral("-3.0 dBFS"), -3.0}};
    case NormalizationMode::off:
      return {};
  }
  return {};
}

QString normalizationUnit(NormalizationMode mode) { return qs(unit(mode)); }

}  // namespace vexal::ui
