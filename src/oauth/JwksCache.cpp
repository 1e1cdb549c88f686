#include "oauth/JwksCache.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

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

constexpr std::string_view cacheControlHeader = "Cache-Control";

}  // namespace

JwksCache::Clock::duration JwksCache::lifetimeOf(std::string_view cacheControl) {
  // Directive names are case-blind (RFC 9111 section 5.2); max-age's value is whole seconds.
  std::string lowered(cacheControl);
  std::ranges::transform(lowered, lowered.begin(), [](unsigned char c) { return std::tolower(c); });
  Clock::duration said = lifetime;
  if (lowered.find("no-cache") != std::string::npos || lowered.find("no-store") != std::string::npos) {
    said = Clock::duration::zero();
  } else if (const auto at = lowered.find("max-age="); at != std::string::npos) {
    std::uint64_t seconds = 0;
    const char* const first = lowered.data() + at + 8;
    const char* const last = lowered.data() + lowered.size();
    const auto [end, problem] = std::from_chars(first, last, seconds);
    if (problem == std::errc() && end != first) {
      said = std::chrono::seconds(std::min<std::uint64_t>(seconds, std::uint64_t{86400} * 365));
    } else if (problem == std::errc::result_out_of_range) {
      said = longestLifetime;
    }
  }
  return std::clamp(said, shortestLifetime, longestLifetime);
}

JwksCache& JwksCache::shared() {
  static JwksCache* const cache = new JwksCache();  // NOLINT(cppcoreguidelines-owning-memory)
  return *cache;
}

std::variant<JwksCache::Keys, Error> JwksCache::keys(std::string_view url) {
  {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(url);
    if (found != entries_.end() && found->second.keys &&
        Clock::now() - found->second.fetched < found->second.lifetime) {
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
  const auto reply = EndpointCall::getWith(url, {}, EndpointSettings::of(OAuthContext::sharedInstance()),
                                           {std::string(cacheControlHeader)});
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
  const auto cacheControl = reply.header(cacheControlHeader);
  entry.lifetime = cacheControl ? lifetimeOf(*cacheControl) : lifetime;
  return keys;
}

}  // namespace tervala
