#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The time-based generator of RFC 6238 (T0 = 0): the counter of a code is the number of whole
/// periods since the Unix epoch. Immutable once made; `create` is safe from any thread. The
/// base's `create(counter)` stays reachable through an `OtpGeneratorContext` reference.
class TERVALA_EXPORT TotpGeneratorContext : public OtpGeneratorContext {
 public:
  /// The shortest and the longest period `make` accepts, in seconds.
  static constexpr double minimumPeriod = 10.0;
  static constexpr double maximumPeriod = 300.0;

  /// A generator with a `period` from `minimumPeriod` to `maximumPeriod` seconds (both included, fractions
  /// allowed); null when refused as `OtpGeneratorContext::make` refuses or for any other period, NaN
  /// included. Writes its debug line, then the base's, also when the period is then refused.
  static std::shared_ptr<TotpGeneratorContext> make(std::string_view secret, std::int64_t digits = 6,
                                                    HmacAlgorithm algorithm = HmacAlgorithm::SHA1,
                                                    double period = 30.0);

  /// The length of one time step, in seconds.
  [[nodiscard]] double period() const noexcept { return period_; }

  /// The counter value of `unixTime`: whole periods since the epoch; absent for a time before
  /// the epoch, one that is not finite, or one whose period count reaches 2^64.
  [[nodiscard]] std::optional<std::uint64_t> counterAt(double unixTime) const noexcept;

  /// The code for `unixTime` (seconds since 1970-01-01 UTC, fractions allowed); absent for a
  /// time before the epoch, one that is not finite, or one whose period count reaches 2^64.
  [[nodiscard]] std::optional<std::string> create(double unixTime) const;
  /// The code for now.
  [[nodiscard]] std::optional<std::string> create() const;
  /// An integer here would silently be read as seconds, not as a counter value: a compile error.
  /// For a counter's code, call `create` through an `OtpGeneratorContext` reference.
  template <std::integral Integer>
  std::optional<std::string> create(Integer) const = delete;

  /// Whole seconds left now in the current period of length `period` (30 down to 1 for 30);
  /// absent for a period below 1 or not finite.
  static std::optional<std::int64_t> remainingTime(double period = 30.0);
  /// The same at the Unix time `now`; also absent when `now` is before the epoch or not finite.
  static std::optional<std::int64_t> remainingTime(double period, double now);

  /// The current time in seconds since the Unix epoch, with fractions.
  static double currentUnixTime() noexcept;

  /// Used by `make` through std::make_shared.
  TotpGeneratorContext(ConstructionKey key, Parts parts, double period) noexcept;

 private:
  double period_;
};

}  // namespace tervala
