#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/export.hpp>

namespace tervala {

/// A failure as a value: a domain, a code and a user-info map of texts.
///
/// The library's own errors have the domain `oauthErrorDomain`, code -1 and exactly the two
/// entries `localizedDescriptionKey` and `localizedFailureReasonKey`. Transport errors use
/// `urlErrorDomain` and JSON parser errors `cocoaErrorDomain` (code 3840).
struct TERVALA_EXPORT Error {
  static constexpr std::string_view oauthErrorDomain = "NSOAuthErrorDomain";
  static constexpr std::string_view urlErrorDomain = "NSURLErrorDomain";
  static constexpr std::string_view cocoaErrorDomain = "NSCocoaErrorDomain";
  static constexpr std::string_view localizedDescriptionKey = "NSLocalizedDescription";
  static constexpr std::string_view localizedFailureReasonKey = "NSLocalizedFailureReason";

  std::string domain;
  std::int64_t code = 0;
  std::map<std::string, std::string, std::less<>> userInfo;

  /// An error with a description and, when given, a failure reason.
  static Error make(std::string_view domain, std::int64_t code, std::string_view description,
                    std::optional<std::string_view> failureReason = std::nullopt);

  /// The description entry; without one, a sentence naming the domain and the code.
  [[nodiscard]] std::string localizedDescription() const;

  /// The failure-reason entry, or absent when the error has none.
  [[nodiscard]] std::optional<std::string> localizedFailureReason() const;

  friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace tervala
