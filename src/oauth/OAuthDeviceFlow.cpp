#include <tervala/OAuthDeviceFlow.hpp>

#include <charconv>

#include "oauth/DevicePoller.hpp"
#include "oauth/EndpointCall.hpp"
#include "platform/DebugLog.hpp"
#include "platform/EndpointUrl.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.OAuthDeviceFlow";
constexpr std::chrono::seconds defaultInterval{5};
constexpr std::chrono::seconds longestWait{24 * 3600};

Error malformed(std::string_view reason) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, "The device authorization reply is malformed.",
                     reason);
}

const platform::SecretString* textEntry(const platform::SecretJson& reply, std::string_view name) {
  const auto found = reply.find(name);
  return found != reply.end() && found->is_string() ? &found->get_ref<const platform::SecretString&>()
                                                    : nullptr;
}

// Whole seconds from a number or, as some servers send them, a decimal text; absent otherwise.
std::optional<std::chrono::seconds> secondsEntry(const platform::SecretJson& reply, std::string_view name) {
  const auto found = reply.find(name);
  if (found == reply.end()) {
    return std::nullopt;
  }
  double value = -1.0;
  if (found->is_number()) {
    value = found->get<double>();
  } else if (const auto* text = textEntry(reply, name)) {
    std::int64_t whole = -1;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), whole);
    if (error != std::errc{} || end != text->data() + text->size()) {
      return std::nullopt;
    }
    value = static_cast<double>(whole);
  }
  if (!(value >= 0.0)) {
    return std::nullopt;
  }
  // A day at most: the wait stays bounded and the clock arithmetic far from overflow.
  return std::min(std::chrono::seconds(static_cast<std::int64_t>(std::min(value, 86400.0))), longestWait);
}

// A text shown to the user: no control character that could move the cursor or forge a line.
bool showable(std::string_view text) {
  return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
}

bool webUrl(std::string_view text) {
  return (text.starts_with("https://") || text.starts_with("http://")) && platform::parseEndpointUrl(text);
}

OAuthDeviceFlow::Started readReply(const platform::SecretJson& reply) {
  const auto* deviceCode = textEntry(reply, "device_code");
  const auto* userCode = textEntry(reply, "user_code");
  // "verification_url" is what some servers (Google's among them) send instead.
  const auto* uri = textEntry(reply, "verification_uri");
  uri = uri != nullptr ? uri : textEntry(reply, "verification_url");
  const auto* complete = textEntry(reply, "verification_uri_complete");
  const auto expiresIn = secondsEntry(reply, "expires_in");
  if (deviceCode == nullptr || deviceCode->empty()) {
    return malformed("no device_code");
  }
  if (userCode == nullptr || !showable({userCode->data(), userCode->size()})) {
    return malformed("no user_code of printable text");
  }
  if (uri == nullptr || !webUrl({uri->data(), uri->size()})) {
    return malformed("no verification_uri that is an http(s) URL");
  }
  if (complete != nullptr && !webUrl({complete->data(), complete->size()})) {
    return malformed("verification_uri_complete is not an http(s) URL");
  }
  if (!expiresIn || expiresIn->count() == 0) {
    return malformed("no expires_in of a positive number of seconds");
  }
  // No interval, or one that cannot be read, is the protocol's default; a server that asks for
  // less than a second still gets a second, so a client never hammers it.
  auto interval = reply.contains("interval") ? secondsEntry(reply, "interval").value_or(defaultInterval)
                                             : defaultInterval;
  interval = std::max(interval, std::chrono::seconds(1));
  return DeviceAuthorization(
      {deviceCode->data(), deviceCode->size()}, {userCode->data(), userCode->size()},
      {uri->data(), uri->size()},
      complete != nullptr ? std::optional<std::string>({complete->data(), complete->size()}) : std::nullopt,
      *expiresIn, interval);
}

}  // namespace

OAuthDeviceFlow::Started OAuthDeviceFlow::start(std::string_view url, std::string_view clientId) {
  platform::debugLine(className, "start(_:_:)");
  try {
    const auto& context = OAuthContext::sharedInstance();
    const auto settings = EndpointSettings::of(context);
    // The authorization server's own request: scope items joined by blanks (RFC 6749 section 3.3).
    std::string scope;
    if (context.scope) {
      for (const auto& item : *context.scope) {
        scope.append(scope.empty() ? "" : " ").append(item);
      }
    }
    const auto reply = context.scope ? EndpointCall::post(url, clientId, {{"scope", scope}}, settings)
                                     : EndpointCall::post(url, clientId, {}, settings);
    auto parsed = EndpointCall::jsonObject(reply);
    if (reply.transportError) {
      return *reply.transportError;
    }
    const auto* object = std::get_if<platform::SecretJson>(&parsed);
    if (reply.statusCode != 200 || object == nullptr || object->contains("error")) {
      return EndpointCall::refusal(reply, "The device authorization endpoint");
    }
    return readReply(*object);
  } catch (const std::exception& error) {
    return Error::make(Error::oauthErrorDomain, errors::oauth, "The request could not be built",
                       error.what());
  }
}

OAuthContext::Result OAuthDeviceFlow::poll(std::string_view url, std::string_view clientId,
                                           const DeviceAuthorization& authorization,
                                           const CancelToken& cancel) {
  platform::debugLine(className, "poll(_:_:authorization:cancel:)");
  try {
    // The polls are token requests: with a DPoP key they prove it, and the token is bound to it.
    auto settings = EndpointSettings::of(OAuthContext::sharedInstance());
    settings.proofKey = OAuthContext::sharedInstance().proofKey();
    return DevicePoller().poll(url, clientId, authorization, cancel, settings);
  } catch (const std::exception& error) {
    return errors::errorResult(Error::oauthErrorDomain, errors::oauth, "The request could not be built",
                               std::string_view(error.what()));
  }
}

}  // namespace tervala
