#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include <tervala/Error.hpp>
#include <tervala/OAuthResult.hpp>

// Every error code the library hands out, in one place: the OAuth errors it makes itself, the
// JSON parser's, and the transport's well-known URL loading codes.
namespace tervala::errors {

/// "NSOAuthErrorDomain": every error the library makes itself, and a failure nothing else names.
constexpr std::int64_t oauth = -1;

/// "NSCocoaErrorDomain": the reply is not JSON, or not an object.
constexpr std::int64_t jsonParser = 3840;

/// "NSURLErrorDomain": what happened to the transfer.
namespace url {
constexpr std::int64_t unknown = -1;
constexpr std::int64_t cancelled = -999;
constexpr std::int64_t timedOut = -1001;
constexpr std::int64_t unsupportedUrl = -1002;
constexpr std::int64_t hostNotFound = -1003;
constexpr std::int64_t cannotConnect = -1004;
constexpr std::int64_t connectionLost = -1005;
constexpr std::int64_t replyTooLarge = -1103;
constexpr std::int64_t tlsFailed = -1200;
constexpr std::int64_t untrusted = -1202;
}  // namespace url

/// The one way the library builds an error result.
inline std::shared_ptr<const OAuthResult> errorResult(std::string_view domain, std::int64_t code,
                                                      std::string_view description,
                                                      std::optional<std::string_view> reason = std::nullopt) {
  return std::make_shared<const OAuthResult>(Error::make(domain, code, description, reason));
}

}  // namespace tervala::errors
