#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vexal::platform {

// The two log categories; nothing else is logged.
enum class LogCategory { conversion, metadata };
enum class LogLevel { debug, info, error };

std::string_view categoryName(LogCategory category);  // "conversion", "metadata"

// Writes to the system journal (syslog, identifier "vexal") and to stderr.
void log(LogCategory category, LogLevel level, std::string_view message);

// Replaces the destination, for tests; an empty sink restores the default. Returns the
// previous sink.
using LogSink = std::function<void(LogCategory, LogLevel, std::string_view)>;
LogSink setLogSink(LogSink sink);

}  // namespace vexal::platform
