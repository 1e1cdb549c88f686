#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/export.hpp>

namespace tervala {

namespace platform {
class HmacKey;
}
struct OtpCodeAccess;

/// Turns a 64-bit counter into a one-time code (RFC 4226): HMAC of the counter's eight
/// big-endian bytes under the decoded secret, dynamic truncation, `digits` decimal digits.
///
/// Immutable once made; `create` is safe from any number of threads. The secret is kept only as
/// a prepared HMAC key, wiped when the generator goes.
class TERVALA_EXPORT OtpGeneratorContext {
 public:
  /// A generator for the Base32 `secret`; null when the secret is not Base32, `digits` is not 6
  /// or 8, or `algorithm` is not one of the three cases. Writes its debug line first.
  static std::shared_ptr<OtpGeneratorContext> make(std::string_view secret, std::int64_t digits = 6,
                                                   HmacAlgorithm algorithm = HmacAlgorithm::SHA1);

  OtpGeneratorContext(const OtpGeneratorContext&) = delete;
  OtpGeneratorContext& operator=(const OtpGeneratorContext&) = delete;
  virtual ~OtpGeneratorContext();

  /// The code for `counter`: exactly `digits` characters, leading zeros kept. Always present.
  [[nodiscard]] std::optional<std::string> create(std::uint64_t counter) const;

  /// Number of digits of every code, 6 or 8.
  [[nodiscard]] std::int64_t digits() const noexcept { return digits_; }
  /// The hash function of the HMAC.
  [[nodiscard]] HmacAlgorithm algorithm() const noexcept { return algorithm_; }

 protected:
  /// Validated parts of a generator; what the derived generators build on.
  struct Parts {
    std::unique_ptr<platform::HmacKey> key;
    std::int64_t digits;
    HmacAlgorithm algorithm;
  };
  /// Proves a constructor call comes from a `make`; nobody else can build one.
  class ConstructionKey {
    ConstructionKey() = default;
    friend class OtpGeneratorContext;
    friend class HotpGeneratorContext;
    friend class TotpGeneratorContext;
  };
  /// Runs the construction steps (debug line, decoding, checks); absent when refused.
  static std::optional<Parts> prepare(std::string_view secret, std::int64_t digits, HmacAlgorithm algorithm);

 public:
  /// Used by `make` through std::make_shared; takes already validated parts.
  OtpGeneratorContext(ConstructionKey key, Parts parts) noexcept;

 private:
  // The verifier and the Steam form read the 31-bit value without the debug line of `create`.
  friend struct OtpCodeAccess;
  /// The dynamically truncated 31-bit value for `counter`; absent only when the hash failed.
  [[nodiscard]] std::optional<std::uint32_t> truncatedValue(std::uint64_t counter) const noexcept;

  std::unique_ptr<platform::HmacKey> key_;
  std::int64_t digits_;
  HmacAlgorithm algorithm_;
};

}  // namespace tervala
