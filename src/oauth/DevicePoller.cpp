#include "oauth/DevicePoller.hpp"

#include <algorithm>

#include "oauth/LenientReply.hpp"
#include "oauth/ReplyHandler.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {
namespace {

constexpr std::string_view deviceGrant = "urn:ietf:params:oauth:grant-type:device_code";
constexpr std::chrono::seconds slowDownStep{5};
constexpr std::chrono::seconds longestInterval{3600};

std::shared_ptr<const OAuthResult> cancelled() {
  return errors::errorResult(Error::urlErrorDomain, errors::url::cancelled, "cancelled",
                             std::string_view("The device authorization was cancelled."));
}

std::shared_ptr<const OAuthResult> expired() {
  return errors::errorResult(Error::oauthErrorDomain, errors::oauth,
                             "The device code expired before the user answered.",
                             std::string_view("expired_token"));
}

// The reason ("error") of an error reply, the text polling decides on.
std::optional<std::string> reason(const OAuthResult& result) {
  if (!result.hasError() || result.error()->domain != Error::oauthErrorDomain) {
    return std::nullopt;
  }
  return result.error()->localizedFailureReason();
}

}  // namespace

OAuthContext::Result DevicePoller::poll(std::string_view url, std::string_view clientId,
                                        const DeviceAuthorization& authorization, const CancelToken& cancel,
                                        const EndpointSettings& settings) const {
  using Clock = DeviceAuthorization::Clock;
  const auto deadline = authorization.received() + authorization.expiresIn().count() * secondLength_;
  auto interval = authorization.interval();
  // A login: no refresh token was sent, so a reply without one leaves the token without one.
  std::optional<LenientReply> lenient;
  if (settings.replyProfile == ReplyProfile::lenient) {
    lenient.emplace(std::nullopt, settings.requestedScope);
  }
  bool nonceAsked = false;  // the last poll was refused for want of the server's nonce
  for (;;) {
    const auto left = deadline - Clock::now();
    const auto wait = nonceAsked ? std::chrono::seconds(0) : interval;
    if (cancel.waitFor(std::min<std::chrono::nanoseconds>(wait.count() * secondLength_, left))) {
      return cancelled();
    }
    if (Clock::now() >= deadline) {
      return expired();
    }
    const auto reply = EndpointCall::post(
        url, clientId, {{"grant_type", deviceGrant}, {"device_code", authorization.deviceCode()}}, settings,
        cancel.descriptor());
    if (cancel.cancelled()) {
      return cancelled();
    }
    if (reply.transportError) {
      if (reply.transportError->code != errors::url::timedOut) {
        return std::make_shared<const OAuthResult>(*reply.transportError);
      }
      interval = std::min(interval * 2, longestInterval);  // a server under load is not pressed harder
      continue;
    }
    const auto boundTo =
        settings.certificate ? std::optional(settings.certificate->thumbprint()) : std::nullopt;
    auto result = ReplyHandler::resultFromBody(reply.statusCode, reply.body, lenient ? &*lenient : nullptr,
                                               true, boundTo ? &*boundTo : nullptr);
    const auto said = reason(*result);
    // The server wants its nonce in the proof: the next poll, at once, carries it; a second demand
    // in a row is the result.
    nonceAsked = said == "use_dpop_nonce" && settings.proofKey.has_value() && !nonceAsked;
    if (nonceAsked || said == "authorization_pending") {
      continue;
    }
    if (said == "slow_down") {
      interval = std::min(interval + slowDownStep, longestInterval);
      platform::debugLine("Tervala.OAuthDeviceFlow interval " + std::to_string(interval.count()) + "s");
      continue;
    }
    return result;
  }
}

}  // namespace tervala
