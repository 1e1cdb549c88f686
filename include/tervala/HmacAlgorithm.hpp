#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <tervala/export.hpp>

namespace tervala {

/// The hash function under a one-time-password generator's HMAC. Values compare and hash by
/// their raw value.
enum class HmacAlgorithm : std::int64_t { SHA1 = 0, SHA256 = 1, SHA512 = 2 };

/// The HMAC primitive's identifier (0 SHA-1, 2 SHA-256, 4 SHA-512) and the digest length in
/// bytes (20, 32, 64).
struct HmacAlgorithmInfo {
  std::uint32_t algorithm;
  std::int64_t length;
  friend bool operator==(const HmacAlgorithmInfo&, const HmacAlgorithmInfo&) = default;
};

/// The algorithm named "SHA1", "SHA256" or "SHA512" once `name` is upper-cased with the full
/// Unicode case mapping (so "sha1", and "ſha1" with U+017F, name SHA1); nothing is trimmed and no
/// other spelling is known. Absent otherwise, also for text that is not well-formed UTF-8.
TERVALA_EXPORT std::optional<HmacAlgorithm> hmacAlgorithmFromName(std::string_view name);

/// 0 gives SHA1, 1 SHA256, 2 SHA512; any other value is absent.
TERVALA_EXPORT std::optional<HmacAlgorithm> hmacAlgorithmFromRawValue(std::int64_t rawValue) noexcept;

/// The raw value: 0, 1 or 2.
constexpr std::int64_t rawValue(HmacAlgorithm algorithm) noexcept {
  return static_cast<std::int64_t>(algorithm);
}

/// The primitive's identifier and the digest length of `algorithm`.
TERVALA_EXPORT HmacAlgorithmInfo getCCHmacAlgorithmInfo(HmacAlgorithm algorithm) noexcept;

}  // namespace tervala
