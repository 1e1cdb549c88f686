#pragma once

#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "platform/SecureMemory.hpp"

namespace tervala {

/// What a request knows that the lenient reading of its reply may assume, and the assumptions
/// themselves, each announced by a debug line of its own.
class LenientReply {
 public:
  /// `sentRefreshToken`: the refresh token a refresh grant sent; `requestedScope`: the scope
  /// field the request carried.
  LenientReply(std::optional<platform::SecretText> sentRefreshToken,
               std::optional<std::string> requestedScope);

  /// For a reply without "refresh_token": the one the refresh grant sent, or null for a login,
  /// whose token then has none (RFC 6749 section 5.1 makes it optional) and needs a new login
  /// once it expires.
  [[nodiscard]] const platform::SecretText* keptRefreshToken() const;

  /// For a reply without "scope": the requested scope, or absent when none was requested.
  [[nodiscard]] std::optional<std::string> assumedScope() const;

  /// The lifetime in seconds of an "expires_in" text, or why it cannot be one.
  static std::variant<double, std::string> lifetimeOf(const nlohmann::json& text);

  /// Announces that the reply told no lifetime.
  static void assumeUnknownExpiry();

 private:
  std::optional<platform::SecretText> sentRefreshToken_;
  std::optional<std::string> requestedScope_;
};

}  // namespace tervala
