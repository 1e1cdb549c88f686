#include "tokens/ResultJson.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>

#include "frame/Arguments.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

// An error code as RFC 6749 writes them (its NQSCHAR without the blank, which no registered code
// holds): the library's own failure reasons are sentences, a server's code is one word.
bool isErrorCode(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c > 0x20 && c < 0x7f && c != '"' && c != '\\'; });
}

std::string errorCode(const OAuthResult& result) {
  const Error& error = *result.error();
  const auto reason = error.localizedFailureReason();
  if (error.domain == Error::oauthErrorDomain && !result.tokenDataProblem() && reason &&
      isErrorCode(*reason)) {
    return *reason;
  }
  return error.domain == Error::urlErrorDomain ? "request_failed" : "invalid_response";
}

// Whole seconds from now to `expiry`, counted in seconds on both sides so that no date of the
// range overflows.
std::int64_t secondsLeft(Date expiry) {
  using std::chrono::seconds;
  const auto at = [](Date date) {
    return std::chrono::duration_cast<seconds>(date.time_since_epoch()).count();
  };
  return at(expiry) - at(std::chrono::system_clock::now());
}

std::string rfc6749Json(const OAuthResult& result) {
  nlohmann::json shown;
  if (result.hasError()) {
    const std::string code = errorCode(result);
    shown["error"] = code;
    // A server that sent only a code has it as its description too.
    if (const auto description = result.errorDescription(); description && *description != code) {
      shown["error_description"] = *description;
    }
  } else if (const auto token = result.serializeToToken()) {
    shown["access_token"] = token->accessToken();
    shown["token_type"] = token->tokenType();
    if (const auto expiry = token->expiresOn(); expiry && *expiry != OAuthToken::unknownExpiry) {
      shown["expires_in"] = secondsLeft(*expiry);
    }
    if (const auto refresh = token->refreshToken(); refresh && !refresh->empty()) {
      shown["refresh_token"] = *refresh;
    }
    // The items joined as they were cut: the server's own text.
    const auto items = token->scope().value_or(OAuthToken::Scope{});
    std::string scope;
    for (std::size_t index = 0; index < items.size(); ++index) {
      scope.append(index == 0 ? "" : ",").append(items[index]);
    }
    if (!scope.empty()) {
      shown["scope"] = scope;
    }
  } else {
    shown = {{"error", "invalid_response"}};
  }
  // JSON escapes every control character and non-ASCII: the server's texts reach a terminal.
  return shown.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::variant<ResultForm, UsageError> resultForm(const Arguments& arguments) {
  const auto name = arguments.value("output").value_or("tervala");
  if (name == "tervala") {
    return ResultForm::tervala;
  }
  if (name == "rfc6749") {
    return ResultForm::rfc6749;
  }
  return UsageError{"--output takes tervala or rfc6749, not '" + visible(name) + "'"};
}

std::string resultJson(const OAuthResult& result, ResultForm form) {
  return form == ResultForm::rfc6749 ? rfc6749Json(result) : result.serializeToJson();
}

}  // namespace tervala::cli
