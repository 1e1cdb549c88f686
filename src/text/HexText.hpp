#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tervala {

/// `bytes` as lower-case hexadecimal, two digits a byte, appended to `out` (digests and random
/// ids that become names of files, records and paths).
inline void appendHex(std::string& out, std::span<const std::uint8_t> bytes) {
  constexpr std::string_view digits = "0123456789abcdef";
  out.reserve(out.size() + 2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    out.push_back(digits[byte >> 4U]);
    out.push_back(digits[byte & 0x0FU]);
  }
}

}  // namespace tervala
