// The log facility the engine reports tag-writing failures through.

#include "platform/logging.h"

#include <gtest/gtest.h>

namespace vexal::platform {
namespace {

struct Line {
  LogCategory category;
  LogLevel level;
  std::string message;
};

TEST(LoggingTest, ASinkReceivesEveryLineAndCanBeRestored) {
  std::vector<Line> lines;
  auto previous = setLogSink([&](LogCategory category, LogLevel level, std::string_view message) {
    lines.push_back({category, level, std::string(message)});
  });
  log(LogCategory::metadata, LogLevel::error, "writeToM4A failed for a.m4a: disk full");
  log(LogCategory::conversion, LogLevel::info, "second");
  auto mine = setLogSink(std::move(previous));
  EXPECT_TRUE(mine);
  log(LogCategory::metadata, LogLevel::debug, "not captured");

  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].category, LogCategory::metadata);
  EXPECT_EQ(lines[0].level, LogLevel::error);
  EXPECT_EQ(lines[0].message, "writeToM4A failed for a.m4a: disk full");
  EXPECT_EQ(lines[1].category, LogCategory::conversion);
}

TEST(LoggingTest, WithoutASinkLinesGoToStandardError) {
  auto previous = setLogSink({});
  testing::internal::CaptureStderr();
  log(LogCategory::metadata, LogLevel::error, "Cue sheet parse failed: bad.cue");
  const auto text = testing::internal::GetCapturedStderr();
  setLogSink(std::move(previous));
  EXPECT_NE(text.find("metadata"), std::string::npos);
  EXPECT_NE(text.find("error"), std::string::npos);
  EXPECT_NE(text.find("Cue sheet parse failed: bad.cue"), std::string::npos);
}

}  // namespace
}  // namespace vexal::platform
