#include "oauth/ReplyHandler.hpp"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "oauth/CertificateBinding.hpp"
#include "oauth/ReplyRedaction.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/JsonNesting.hpp"
#include "platform/SecretJson.hpp"
#include "platform/SecureMemory.hpp"
#include "platform/Utf8.hpp"

namespace tervala {
namespace {

std::shared_ptr<const OAuthResult> parserError(std::string_view description) {
  return errors::errorResult(Error::cocoaErrorDomain, errors::jsonParser, description);
}

// The parser's own message without its "[json.exception....] " tag and without the piece of the
// reply it quotes ("; last read: '...'" and what follows): that piece may be part of a token, and
// hosts log this description.
std::string parserMessage(const nlohmann::json::exception& error) {
  std::string_view message = error.what();
  if (!message.empty() && message.front() == '[') {
    if (const auto close = message.find("] "); close != std::string_view::npos) {
      message.remove_prefix(close + 2);
    }
  }
  if (const auto quote = message.find("; last read:"); quote != std::string_view::npos) {
    message = message.substr(0, quote);
  }
  return "The reply is not valid JSON: " + std::string(message);
}

// The reply's tokens in a document that does not wipe itself: wiped in place when it goes.
struct PlainReply {
  nlohmann::json document;
  explicit PlainReply(nlohmann::json copy) noexcept : document(std::move(copy)) {}
  PlainReply(const PlainReply&) = delete;
  PlainReply& operator=(const PlainReply&) = delete;
  ~PlainReply() { platform::cleanseStrings(document); }
};

}  // namespace

std::shared_ptr<const OAuthResult> ReplyHandler::resultFromBody(std::optional<long> statusCode,
                                                                std::span<const std::uint8_t> body,
                                                                const LenientReply* lenient,
                                                                bool refreshTokenExpected,
                                                                const std::string* boundTo) {
  try {
    platform::debugLine("OAuth response code: " +
                        (statusCode ? std::to_string(*statusCode) : std::string("nil")));
    if (body.size() > maxBodyBytes) {
      return errors::errorResult(
          Error::urlErrorDomain, errors::url::replyTooLarge,
          "The token endpoint's reply is larger than " + std::to_string(maxBodyBytes) + " bytes.");
    }
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    if (platform::debugEnabled()) {
      std::string decoded = platform::decodeUtf8Leniently(text);
      platform::debugLine("OAuth response body: " + redactReplyBody(decoded));
      platform::cleanse(decoded);
    }
    if (platform::jsonNestingExceeds(text, maxJsonDepth)) {
      return parserError("The reply is not valid JSON: it is nested deeper than " +
                         std::to_string(maxJsonDepth) + " levels.");
    }
    if (platform::holdsNulByte(text)) {
      return parserError("The reply is not valid JSON: it holds a NUL byte.");
    }
    platform::SecretJson parsed;  // the parser's buffers and the document wipe themselves
    try {
      parsed = platform::SecretJson::parse(text);
    } catch (const nlohmann::json::exception& error) {
      return parserError(parserMessage(error));
    }
    if (parsed.is_object()) {
      if (boundTo != nullptr) {
        if (auto problem = bindReplyToCertificate(parsed, *boundTo)) {
          return errors::errorResult(Error::oauthErrorDomain, errors::oauth, *problem);
        }
      }
      // OAuthResult reads a document of the host's kind: a copy wiped before it goes.
      const PlainReply reply{platform::plainCopy(parsed)};
      if (auto result = OAuthResult::parse(reply.document, std::chrono::system_clock::now(), lenient,
                                           refreshTokenExpected)) {
        return result;
      }
      // parse yields null only when memory ran out
      return errors::errorResult(Error::oauthErrorDomain, errors::oauth, "The reply could not be handled",
                                 std::string_view("out of memory"));
    }
    if (parsed.is_array()) {
      return parserError("The top level of the JSON reply is not an object.");
    }
    return parserError(
        "The top level of the JSON reply is not an object: JSON text did not start with an array or an "
        "object.");
  } catch (const std::exception& error) {
    // Allocation failure or a fault in a dependency: still exactly one result for the caller.
    return errors::errorResult(Error::oauthErrorDomain, errors::oauth, "The reply could not be handled",
                               std::string_view(error.what()));
  }
}

}  // namespace tervala
