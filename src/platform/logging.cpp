#include "platform/logging.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace vexal::platform {
namespace {

constexpr const char* kIdentifier = "vexal";

// One destination for the whole process; the mutex also keeps lines from interleaving.
std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

int syslogPriority(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return LOG_DEBUG;
    case LogLevel::info:
      return LOG_INFO;
    case LogLevel::error:
      return LOG_ERR;
  }
  return LOG_ERR;
}

std::string_view levelName(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return "debug";
    case LogLevel::info:
      return "info";
    case LogLevel::error:
      return "error";
  }
  return "error";
}

void writeDefault(LogCategory category, LogLevel level, std::string_view message) {
  static std::once_flag opened;
  // openlog keeps the pointer, so the identifier must outlive every call: a literal.
  std::call_once(opened, [] { openlog(kIdentifier, LOG_PID, LOG_USER); });
  const std::string line = std::string(message);
  const auto name = categoryName(category);
  syslog(syslogPriority(level), "[%.*s] %s", static_cast<int>(name.size()), name.data(),
         line.c_str());
  const auto levelText = levelName(level);
  std::fprintf(stderr, "%s [%.*s] %.*s: %s\n", kIdentifier, static_cast<int>(name.size()),
               name.data(), static_cast<int>(levelText.size()), levelText.data(), line.c_str());
}

}  // namespace

std::string_view categoryName(LogCategory category) {
  switch (category) {
    case LogCategory::conversion:
      return "conversion";
    case LogCategory::metadata:
      return "metadata";
  }
  return "conversion";
}

void log(LogCategory category, LogLevel level, std::string_view message) {
  std::lock_guard lock(sinkMutex());
  if (const auto& sink = currentSink()) {
    sink(category, level, message);
    return;
  }
  writeDefault(category, level, message);
}

LogSink setLogSink(LogSink sink) {
  std::lock_guard lock(sinkMutex());
  return std::exchange(currentSink(), std::move(sink));
}

}  // namespace vexal::platform
