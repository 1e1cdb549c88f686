#include <tervala/OAuthTokenStatus.hpp>

#include <array>
#include <cmath>

#include <tervala/OAuthContext.hpp>

#include "oauth/EndpointCall.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {
namespace {

using platform::SecretJson;

Error malformed(std::string_view member) {
  std::string reason("\"");
  reason.append(member).append("\" is missing or of the wrong kind");
  return Error::make(Error::oauthErrorDomain, errors::oauth, "The introspection reply is malformed.", reason);
}

std::string plain(const SecretJson& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const platform::SecretString&>();
    return {text.data(), text.size()};
  }
  const auto dumped = value.dump(-1, ' ', false, SecretJson::error_handler_t::replace);
  return {dumped.data(), dumped.size()};
}

// Reads each standard member into its field; false when one is of the wrong kind.
class MemberReader {
 public:
  explicit MemberReader(TokenStatus& into) : into_(into) {}

  bool read(const std::string& name, const SecretJson& value) {
    const std::array<std::pair<std::string_view, std::optional<std::string>*>, 7> texts{{
        {"scope", &into_.scope},
        {"client_id", &into_.clientId},
        {"username", &into_.username},
        {"token_type", &into_.tokenType},
        {"sub", &into_.subject},
        {"iss", &into_.issuer},
        {"jti", &into_.tokenId},
    }};
    for (const auto& [key, field] : texts) {
      if (name == key) {
        *field = plain(value);
        return value.is_string();
      }
    }
    const std::array<std::pair<std::string_view, std::optional<Date>*>, 3> times{{
        {"exp", &into_.expiresAt},
        {"iat", &into_.issuedAt},
        {"nbf", &into_.notBefore},
    }};
    for (const auto& [key, field] : times) {
      if (name == key) {
        // Seconds since 1970 within the clock's range (about 292 years either side).
        constexpr double farthest = 9e9;
        if (!value.is_number() || !(std::fabs(value.get<double>()) < farthest)) {
          return false;
        }
        *field = Date(std::chrono::duration_cast<Date::duration>(
            std::chrono::duration<double>(std::floor(value.get<double>()))));
        return true;
      }
    }
    if (name == "aud") {
      if (value.is_string()) {
        into_.audience.push_back(plain(value));
        return true;
      }
      if (!value.is_array()) {
        return false;
      }
      for (const auto& item : value) {
        if (!item.is_string()) {
          return false;
        }
        into_.audience.push_back(plain(item));
      }
      return true;
    }
    into_.additionalData.emplace(name, plain(value));
    return true;
  }

 private:
  TokenStatus& into_;
};

OAuthTokenStatus::Result readReply(const SecretJson& reply) {
  TokenStatus introspection;
  const auto active = reply.find("active");
  if (active == reply.end() || !active->is_boolean()) {
    return malformed("active");
  }
  introspection.active = active->get<bool>();
  MemberReader reader(introspection);
  for (const auto& [key, value] : reply.items()) {
    const std::string name(key.data(), key.size());
    if (name != "active" && !value.is_null() && !reader.read(name, value)) {
      return malformed(name);
    }
  }
  return introspection;
}

}  // namespace

OAuthTokenStatus::Result OAuthTokenStatus::query(std::string_view url, std::string_view clientId,
                                                 std::string_view token, std::string_view tokenTypeHint) {
  platform::debugLine("Tervala.OAuthTokenStatus", "query(_:_:token:tokenTypeHint:)");
  try {
    const auto settings = EndpointSettings::of(OAuthContext::sharedInstance());
    const auto reply = EndpointCall::postToken(url, clientId, token, tokenTypeHint, settings);
    auto parsed = EndpointCall::jsonObject(reply);
    if (reply.transportError) {
      return *reply.transportError;
    }
    const auto* object = std::get_if<SecretJson>(&parsed);
    if (reply.statusCode != 200 || object == nullptr || object->contains("error")) {
      return EndpointCall::refusal(reply, "The introspection endpoint");
    }
    return readReply(*object);
  } catch (const std::exception& error) {
    return Error::make(Error::oauthErrorDomain, errors::oauth, "The request could not be built",
                       error.what());
  }
}

}  // namespace tervala
