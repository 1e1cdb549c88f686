#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The event-based generator of RFC 4226: each `create()` gives the code for its counter and
/// then moves the counter on by one. The counter value 2^64-1 is the last one: after its code
/// the generator is spent and gives no more codes. No counter value is ever used twice, also
/// when several threads call `create()` at once.
class TERVALA_EXPORT HotpGeneratorContext : public OtpGeneratorContext {
 public:
  /// A generator whose first code is for `counter`; null when refused as
  /// `OtpGeneratorContext::make` refuses. Writes its debug line, then the base's.
  static std::shared_ptr<HotpGeneratorContext> make(std::string_view secret, std::int64_t digits,
                                                    HmacAlgorithm algorithm, std::uint64_t counter);
  /// The same with 6 digits and SHA1.
  static std::shared_ptr<HotpGeneratorContext> make(std::string_view secret, std::uint64_t counter);

  /// The code for the current counter, then the counter moves on; absent once spent.
  [[nodiscard]] std::optional<std::string> create();
  /// The base's code for an explicit counter; leaves this generator's counter alone.
  using OtpGeneratorContext::create;

  /// Used by `make` through std::make_shared.
  HotpGeneratorContext(ConstructionKey key, Parts parts, std::uint64_t counter) noexcept;

 private:
  std::atomic<std::uint64_t> counter_;
  std::atomic<bool> lastUsed_{false};
};

}  // namespace tervala
