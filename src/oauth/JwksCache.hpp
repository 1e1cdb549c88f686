#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/Error.hpp>

#include "jose/JwkSet.hpp"

namespace tervala {

/// The providers' JWK sets, kept per jwks_uri so that verifying an ID token costs no request:
/// a set is fetched once and kept for the max-age of its reply's Cache-Control, bounded to five
/// minutes at least (a provider saying no-cache or max-age=0 must not turn every verification into
/// a request) and a day at most, an hour when the reply names none; a token naming a key the set lacks (the
/// provider rotated its keys) fetches the set again, but not sooner than a minute after the last such fetch,
/// so a stream of forged kids cannot turn the client into a flood against the provider.
class JwksCache {
 public:
  using Clock = std::chrono::steady_clock;
  using Keys = std::shared_ptr<const jose::JwkSet>;
  static constexpr Clock::duration lifetime = std::chrono::hours(1);
  static constexpr Clock::duration shortestLifetime = std::chrono::minutes(5);
  static constexpr Clock::duration longestLifetime = std::chrono::hours(24);

  /// How long a set whose reply said `cacheControl` is kept.
  static Clock::duration lifetimeOf(std::string_view cacheControl);
  static constexpr Clock::duration refetchPause = std::chrono::minutes(1);

  /// The process's cache.
  static JwksCache& shared();

  /// The set of `url`: the kept one while it lasts, else a fresh one.
  std::variant<Keys, Error> keys(std::string_view url);
  /// A fresh set after an unknown kid; null when the last such fetch is less than a minute old.
  std::variant<Keys, Error> refetch(std::string_view url);

 private:
  struct Entry {
    Keys keys;
    Clock::time_point fetched;
    Clock::duration lifetime = JwksCache::lifetime;
    std::optional<Clock::time_point> refetched;  // the last fetch for an unknown kid
  };
  std::variant<Keys, Error> fetch(std::string_view url);

  std::mutex mutex_;  // guards entries_, never held across the network
  std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace tervala
