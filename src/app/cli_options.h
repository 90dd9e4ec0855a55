#pragma once

// vexal-cli's options: what it accepts, and the settings and shard they give.

#include <QCommandLineParser>
#include <QString>
#include <optional>

#include "model/conversion_settings.h"

namespace vexal {

class PresetManager;

struct UsageError {
  QString message;
};

void addOptions(QCommandLineParser& parser);
// The settings the options give, starting from --preset's when it is given.
std::optional<UsageError> buildSettings(const QCommandLineParser& parser, PresetManager& presets,
                                        ConversionSettings& settings);
// At most this many jobs at once (--jobs).
inline constexpr int kMaxJobs = 1024;
// --jobs N; `jobs` stays as it is without --jobs.
std::optional<UsageError> readJobs(const QCommandLineParser& parser, int& jobs);
// --shard K/N as a 0-based index and a count; both stay as they are without --shard.
std::optional<UsageError> readShard(const QCommandLineParser& parser, int& index, int& count);

}  // namespace vexal
