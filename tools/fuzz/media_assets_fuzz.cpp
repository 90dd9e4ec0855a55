// Fuzz target for the media-asset layer: any bytes, read as an audio file with tags, must
// give tags or nothing, never a crash or a read out of bounds.
//
// Built with clang it is a libFuzzer target. Otherwise it is a program that replays the
// files and folders named on its command line, or, with no arguments, a fixed set of
// random inputs behind each container's signature (run by CTest in the sanitizer build).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "platform/media_assets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)vexal::platform::loadFileTags(std::span<const std::uint8_t>(data, size));
  return 0;
}

#ifndef VEXAL_LIBFUZZER
namespace {

void replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int selfTest() {
  // Signatures that steer the content detection into each container's parser.
  const std::vector<std::string_view> signatures = {
      std::string_view("ID3\x04\x00\x00\x00\x00\x10\x00", 10),
      std::string_view("\x00\x00\x00\x20"
                       "ftypM4A ",
                       12),
      "fLaC",
      "OggS",
      std::string_view("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16),
      "FORM\x00\x00\x10\x00"
      "AIFF",
      "RIFF\x00\x10\x00\x00WAVE",
      "MAC ",
      std::string_view("\xFF\xFB\x90\x00", 4)};
  std::mt19937 random(7);
  int inputs = 0;
  for (const auto signature : signatures) {
    for (int round = 0; round < 1000; ++round) {
      std::vector<std::uint8_t> bytes(signature.begin(), signature.end());
      bytes.resize(bytes.size() + random() % 4096);
      for (std::size_t i = signature.size(); i < bytes.size(); ++i) {
        // Mostly small values, so that sizes and counts are often plausible.
        bytes[i] = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 16);
      }
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
  }
  std::cout << inputs << " inputs read\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return selfTest();
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (entry.is_regular_file()) replay(entry.path());
      }
    } else {
      replay(path);
    }
  }
  return 0;
}
#endif
