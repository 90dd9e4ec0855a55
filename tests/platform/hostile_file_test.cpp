#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/audio_file.h"
#include "support/test_support.h"

namespace vexal::platform {
namespace {

void appendLe32(std::string& bytes, std::uint32_t value) {
  for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>(value >> (8 * b)));
}

void appendChunk(std::string& bytes, const char* id, std::uint32_t size, const std::string& body) {
  bytes.append(id, 4);
  appendLe32(bytes, size);
  bytes += body;
}

// fmt of 16-bit stereo PCM at 44.1 kHz: format 1, 2 channels, 44100 frames and 176400
// bytes per second, 4 bytes per frame, 16 bits.
const std::string kPcmFormat(
    "\x01\x00\x02\x00\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00", 16);

// A RIFF/WAVE file of the given chunks after fmt, about 100 KB in all.
std::string wave(const std::function<void(std::string&)>& chunks) {
  std::string bytes = "RIFF";
  appendLe32(bytes, 0xFFFFFFF0u);
  bytes += "WAVE";
  appendChunk(bytes, "fmt ", 16, kPcmFormat);
  chunks(bytes);
  bytes.resize(std::max<std::size_t>(bytes.size(), 100 * 1024), '\x11');
  return bytes;
}

struct HostileWave {
  std::string name;
  std::function<void(std::string&)> chunks;
  bool opens;  // false: refused as unreadable
};

void PrintTo(const HostileWave& param, std::ostream* out) { *out << param.name; }

const std::string kSomeAudio(40000, '\x22');

struct ChildReport {
  long peakMegabytes = -1;
  Status open = kNoError;
};

long statusMegabytes(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field)) return std::stol(line.substr(std::strlen(field))) / 1024;
  }
  return -1;
}

// Opens and reads the whole file in a child process, which reports its open status and
// how far its peak resident memory rose above what it shares with the test process.
ChildReport readInChild(const std::filesystem::path& path) {
  int ends[2];
  if (pipe(ends) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    const long inherited = statusMegabytes("VmRSS:");
    std::ofstream("/proc/self/clear_refs") << "5";  // restarts VmHWM from the current size
    ChildReport report;
    std::unique_ptr<AudioFileReader> reader;
    report.open = AudioFileReader::open(path, reader);
    if (report.open == kNoError) {
      std::int64_t frames = 0;
      reader->getFileLengthFrames(frames);
      std::vector<float> buffer(8192 * 2);
      for (std::uint32_t got = 1; got > 0;) {
        got = 8192;
        if (reader->read(buffer.data(), got) != kNoError) break;
      }
    }
    report.peakMegabytes = statusMegabytes("VmHWM:") - inherited;
    (void)!write(ends[1], &report, sizeof report);
    _exit(0);
  }
  close(ends[1]);
  ChildReport report;
  if (read(ends[0], &report, sizeof report) != sizeof report) report = {};
  close(ends[0]);
  waitpid(child, nullptr, 0);
  return report;
}

class HostileWaveTest : public ::testing::TestWithParam<HostileWave> {};

TEST_P(HostileWaveTest, ReadingStaysUnder300MB) {
  test::TempDir dir;
  const auto path = dir / "hostile.wav";
  std::ofstream(path, std::ios::binary) << wave(GetParam().chunks);
  const ChildReport report = readInChild(path);
  ASSERT_GE(report.peakMegabytes, 0) << "the child did not report";
  EXPECT_LT(report.peakMegabytes, 300);
  EXPECT_EQ(report.open == kNoError, GetParam().opens) << statusText(report.open);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, HostileWaveTest,
    ::testing::Values(
        // An INFO entry claiming 2 GB, which FFmpeg would zero-fill.
        HostileWave{"infoEntryOf2GB",
                    [](std::string& b) {
                      std::string info = "INFO";
                      appendChunk(info, "IART", 0x7FFFFFF0u, "x");
                      appendChunk(b, "LIST", 0x7FFFFFFFu, info);
                      appendChunk(b, "data", 0xFFFFFFF0u, kSomeAudio);
                    },
                    false},
        HostileWave{"id3Of4GB", [](std::string& b) { appendChunk(b, "id3 ", 0xFFFFFFF0u, "ID3\x04"); }, false},
        // A streaming writer's "unknown length" data size: what is there converts.
        HostileWave{"dataOf4GB", [](std::string& b) { appendChunk(b, "data", 0xFFFFFFF0u, kSomeAudio); }, true},
        HostileWave{"manyChunks",
                    [](std::string& b) {
                      for (int i = 0; i < 4000; ++i) appendChunk(b, "junk", 0, "");
                      appendChunk(b, "data", 0xFFFFFFF0u, kSomeAudio);
                    },
                    true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vexal::platform
