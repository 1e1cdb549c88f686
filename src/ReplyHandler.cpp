#include "ReplyHandler.hpp"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include <tervala/Text.hpp>

#include "ErrorCodes.hpp"
#include "ReplyRedaction.hpp"
#include "platform/DebugLog.hpp"
#include "platform/JsonNesting.hpp"

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

}  // namespace

std::shared_ptr<const OAuthResult> ReplyHandler::resultFromBody(std::optional<long> statusCode,
                                                                const Data& body) {
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
      platform::debugLine("OAuth response body: " + redactReplyBody(fromNSData(body)));
    }
    if (platform::jsonNestingExceeds(text, maxJsonDepth)) {
      return parserError("The reply is not valid JSON: it is nested deeper than " +
                         std::to_string(maxJsonDepth) + " levels.");
    }
    nlohmann::json reply;
    try {
      reply = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
      return parserError(parserMessage(error));
    }
    if (reply.is_object()) {
      if (auto result = OAuthResult::parse(reply)) {
        return result;
      }
      // parse yields null only when memory ran out
      return errors::errorResult(Error::oauthErrorDomain, errors::oauth, "The reply could not be handled",
                                 std::string_view("out of memory"));
    }
    if (reply.is_array()) {
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
