#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vexal {

// A random (version 4) UUID; written in the upper-case hyphenated form.
class Uuid {
 public:
  Uuid() = default;  // the nil UUID
  static Uuid random();
  // Accepts the 36-character hyphenated form in either case.
  static std::optional<Uuid> fromString(std::string_view text);

  std::string toString() const;  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
  bool isNil() const;

  auto operator<=>(const Uuid&) const = default;
  bool operator==(const Uuid&) const = default;

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace vexal

template <>
struct std::hash<vexal::Uuid> {
  std::size_t operator()(const vexal::Uuid& uuid) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (auto b : uuid.bytes()) h = (h ^ b) * 1099511628211ull;
    return h;
  }
};
