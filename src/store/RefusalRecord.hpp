#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Error.hpp>

namespace tervala {

/// A refresh the endpoint did not grant, kept in the refresh lock file so that the processes
/// that waited for it report it rather than send the same refresh token again.
struct RefusalRecord {
  std::string fingerprint;                   ///< of the endpoint, client and refresh token
  std::chrono::system_clock::time_point at;  ///< when the answer came
  Error error;                               ///< what the refresh gave

  /// The record as the file holds it: each field as LENGTH:BYTES.
  [[nodiscard]] std::string text() const;
  /// The record in `text`, or absent when it is none (empty, damaged, of another shape).
  static std::optional<RefusalRecord> parse(std::string_view text);
};

}  // namespace tervala
