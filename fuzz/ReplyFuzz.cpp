// A token endpoint's reply body through the path the exchange takes (size cap, JSON with its depth
// cap, parse) and then out again: serializeToJson must always be one JSON object of the documented
// shape, and serializeToToken must give a token exactly for a success.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <tervala/Debug.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>

#include "FuzzCheck.hpp"
#include "oauth/ReplyHandler.hpp"

namespace {

using tervala::fuzz::require;
using tervala::fuzz::startCapturingLines;

bool hasTextMembers(const nlohmann::json& object, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
      return false;
    }
  }
  return object.size() == keys.size();
}

// When the body is a JSON object, the body line must still be one, with every text under a
// secret key written as "***".
void requireSecretsMasked(const std::vector<std::string>& capturedLines) {
  constexpr std::string_view prefix = "OAuth response body: ";
  const std::string* line = nullptr;
  for (const auto& captured : capturedLines) {
    if (captured.starts_with(prefix)) {
      line = &captured;
    }
  }
  require(line != nullptr, "a body line is written");
  const auto shown = nlohmann::json::parse(line->substr(prefix.size()), nullptr, false);
  require(shown.is_object(), "the body line of a JSON object is a JSON object");
  for (const char* key : {"access_token", "refresh_token", "id_token"}) {
    const auto found = shown.find(key);
    require(found == shown.end() || !found->is_string() || *found == "***",
            "secrets are masked in the body line");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string>& capturedLines = startCapturingLines();

  // The whole input is the body, so corpus files stay readable JSON; the status (which only
  // reaches the debug output) follows from the length.
  static constexpr std::array<std::optional<long>, 5> statuses{std::nullopt, 200L, 400L, 401L, 500L};
  const std::optional<long> status = statuses[size % statuses.size()];
  const tervala::Data body(data, data + size);

  const auto result = tervala::ReplyHandler::resultFromBody(status, body);
  require(result != nullptr, "every body gives a result");
  if (size <= tervala::ReplyHandler::maxBodyBytes) {
    // The reader stops at a NUL and ignores the rest; the library refuses such a body, and its
    // line shows what followed the NUL masked.
    const auto parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (parsed.is_object() && std::find(body.begin(), body.end(), 0) == body.end()) {
      requireSecretsMasked(capturedLines);
    }
  }

  const std::string text = result->serializeToJson();
  const nlohmann::json written = nlohmann::json::parse(text, nullptr, false);
  require(!written.is_discarded(), "serializeToJson writes valid JSON");
  require(written.is_object(), "serializeToJson writes one object");
  if (result->hasError()) {
    require(hasTextMembers(written, {"error_reason", "error_description"}),
            "an error is written in its form");
    require(result->errorDescription().has_value(), "an error result has a description");
  } else {
    require(hasTextMembers(written, {"access_token", "expires_in", "token_type", "refresh_token", "scope"}),
            "a success is written in its form");
    require(!result->errorDescription().has_value(), "a success has no error description");
  }

  const auto token = result->serializeToToken();
  require((token != nullptr) == !result->hasError(), "a token exactly for a success");
  if (token) {
    const auto header = token->createAuthorizationHeader();
    require(header.has_value() && *header == token->tokenType() + " " + token->accessToken(),
            "the header is the type, one blank and the access token");
    (void)token->hasTokenExpired();
  }
  return 0;
}
