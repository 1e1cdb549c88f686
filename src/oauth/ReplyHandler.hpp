#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <tervala/OAuthResult.hpp>

namespace tervala {

class LenientReply;

/// Turns the reply of a token endpoint, received without transport error, into the one result
/// of the request.
class ReplyHandler {
 public:
  /// Replies larger than this are refused (NSURLErrorDomain -1103) and never parsed.
  static constexpr std::size_t maxBodyBytes = 1 << 20;
  /// JSON nested deeper than this is the parser's error.
  static constexpr std::size_t maxJsonDepth = 512;

  /// Writes the code line and the body line (secrets masked), then parses the body: a JSON object
  /// goes to `OAuthResult::parse` whatever the status, read leniently when `lenient` is given and
  /// without asking for a refresh token when `refreshTokenExpected` is false (client credentials);
  /// anything else is a parser-domain error. Leaves no copy of the body's tokens in memory it
  /// frees. With `boundTo` (the thumbprint of the client certificate the request presented) a
  /// success is bound to that certificate: see `bindReplyToCertificate`.
  static std::shared_ptr<const OAuthResult> resultFromBody(std::optional<long> statusCode,
                                                           std::span<const std::uint8_t> body,
                                                           const LenientReply* lenient = nullptr,
                                                           bool refreshTokenExpected = true,
                                                           const std::string* boundTo = nullptr);
};

}  // namespace tervala
