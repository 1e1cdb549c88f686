#include "oauth/JwksCache.hpp"

#include <tervala/OAuthContext.hpp>

#include "oauth/EndpointCall.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {
namespace {

// Providers keep one or two sets; more URLs than this in one process means something is odd.
constexpr std::size_t maximumEntries = 16;

Error keySetError(std::string_view reason) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, "The provider's key set could not be read.",
                     reason);
}

}  // namespace

JwksCache& JwksCache::shared() {
  static JwksCache* const cache = new JwksCache();  // NOLINT(cppcoreguidelines-owning-memory)
  return *cache;
}

std::variant<JwksCache::Keys, Error> JwksCache::keys(std::string_view url) {
  {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(url);
    if (found != entries_.end() && found->second.keys && Clock::now() - found->second.fetched < lifetime) {
      return found->second.keys;
    }
  }
  return fetch(url);
}

std::variant<JwksCache::Keys, Error> JwksCache::refetch(std::string_view url) {
  {
    // Marked before the request, so that threads verifying at once send one between them.
    const std::lock_guard lock(mutex_);
    auto& entry = entries_[std::string(url)];
    const auto now = Clock::now();
    if (entry.refetched && now - *entry.refetched < refetchPause) {
      return Keys();
    }
    entry.refetched = now;
  }
  return fetch(url);
}

std::variant<JwksCache::Keys, Error> JwksCache::fetch(std::string_view url) {
  platform::debugLine("Tervala.IdTokenVerifier", "fetch key set");
  const auto reply = EndpointCall::get(url, EndpointSettings::of(OAuthContext::sharedInstance()));
  if (reply.transportError) {
    return *reply.transportError;
  }
  if (reply.statusCode != 200) {
    return keySetError("HTTP status " + std::to_string(reply.statusCode.value_or(0)) + " at the jwks_uri");
  }
  auto parsed = jose::JwkSet::parse({reinterpret_cast<const char*>(reply.body.data()), reply.body.size()});
  if (const auto* refusal = std::get_if<jose::JoseRefusal>(&parsed)) {
    return keySetError(jose::describe(*refusal));
  }
  auto keys = std::make_shared<const jose::JwkSet>(std::get<jose::JwkSet>(std::move(parsed)));
  const std::lock_guard lock(mutex_);
  if (entries_.size() >= maximumEntries && !entries_.contains(url)) {
    entries_.erase(entries_.begin());
  }
  auto& entry = entries_[std::string(url)];
  entry.keys = keys;
  entry.fetched = Clock::now();
  return keys;
}

}  // namespace tervala
