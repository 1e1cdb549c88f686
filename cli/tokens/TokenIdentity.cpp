#include <chrono>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/OpenIdRequests.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/Profile.hpp"
#include "tokens/TokenGrant.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {
namespace {

using Json = nlohmann::json;

// Claims and replies are the provider's text: JSON escapes every control character, and
// non-ASCII as \\u, so none of it reaches the terminal raw.
std::string shownJson(const Json& object) {
  return object.dump(-1, ' ', true, Json::error_handler_t::replace);
}

// The stored token and the claims of the ID token verified when it was granted.
struct Identity {
  std::shared_ptr<OAuthToken> token;
  Json claims;  // null when the token keeps none
};

std::variant<Identity, int> storedIdentity(const GlobalOptions& global, const Arguments& arguments,
                                           const Io& io) {
  auto chosen = Profile::of(global, arguments);
  if (auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  auto& place = std::get<Profile>(chosen).tokenPlace();
  auto read = place.retrieveToken(io);
  if (auto* reason = std::get_if<std::string>(&read)) {
    io.err << "tervala: " << shownMessage(*reason) << '\n';
    return failure;
  }
  Identity identity{std::move(std::get<std::shared_ptr<OAuthToken>>(read)), nullptr};
  if (const auto& claims = place.identityClaims()) {
    identity.claims = Json::parse(*claims, nullptr, false);
    if (!identity.claims.is_object()) {
      identity.claims = nullptr;
    }
  }
  return identity;
}

}  // namespace

int runTokenWhoami(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto stored = storedIdentity(global, arguments, io);
  if (const auto* status = std::get_if<int>(&stored)) {
    return *status;
  }
  const Json& claims = std::get<Identity>(stored).claims;
  if (claims.is_null()) {
    io.err << "tervala: the stored token keeps no verified ID token; log in with --scope openid\n";
    return failure;
  }
  io.out << shownJson(claims) << '\n';
  // The identity holds until the ID token's expiry, to the second, with no leeway.
  const auto expiry = claims.find("exp");
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return expiry != claims.end() && expiry->is_number() && expiry->get<double>() >= now ? success : expired;
}

int runTokenUserinfo(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto stored = storedIdentity(global, arguments, io);
  if (const auto* status = std::get_if<int>(&stored)) {
    return *status;
  }
  const auto& identity = std::get<Identity>(stored);
  auto url = configuredEndpoint(arguments, "userinfo-url", Endpoint::userinfo, "the access token", io.err);
  if (const auto* problem = std::get_if<EndpointProblem>(&url)) {
    return report(io, *problem);
  }
  std::optional<std::string> subject;
  if (identity.claims.is_object() && identity.claims.contains("sub") && identity.claims["sub"].is_string()) {
    subject = identity.claims["sub"].get<std::string>();
  }
  const auto reply = OpenIdRequests::userInfo(std::get<std::string>(url), *identity.token, subject);
  if (const auto* error = std::get_if<Error>(&reply)) {
    io.err << "tervala: " << errorLine(*error) << '\n';
    return failure;
  }
  io.out << shownJson(Json::parse(std::get<std::string>(reply))) << '\n';
  return success;
}

}  // namespace tervala::cli
