#include "model/uuid.h"

#include <sys/random.h>

#include <random>

namespace vexal {

Uuid Uuid::random() {
  // Straight from the system's generator: a user-space engine would be copied into a
  // forked child, and parent and child would then hand out the same ids.
  // One call for all 16 bytes (an import of 200 000 files makes as many ids).
  Uuid uuid;
  if (::getrandom(uuid.bytes_.data(), uuid.bytes_.size(), 0) != static_cast<ssize_t>(uuid.bytes_.size())) {
    thread_local std::random_device device;
    for (std::size_t i = 0; i < 16; i += 4) {
      const std::uint32_t value = device();
      for (std::size_t j = 0; j < 4; ++j) uuid.bytes_[i + j] = static_cast<std::uint8_t>(value >> (8 * j));
    }
  }
  uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);  // version 4
  uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuid;
}

std::optional<Uuid> Uuid::fromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid uuid;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int high = nibble(text[i]);
    const int low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    uuid.bytes_[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return uuid;
}

std::string Uuid::toString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes_[i] >> 4]);
    text.push_back(kHex[bytes_[i] & 0x0F]);
  }
  return text;
}

bool Uuid::isNil() const {
  for (auto b : bytes_) {
    if (b != 0) return false;
  }
  return true;
}

}  // namespace vexal
