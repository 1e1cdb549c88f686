#pragma once

#include <mutex>
#include <string>

#include "TokenEndpoint.hpp"

namespace tervala::test {

/// A token endpoint's answers for a rotating refresh token: each refresh token is good once,
/// and its answer carries the next; a spent or unknown one gets invalid_grant. Thread-safe.
class RotatingRefresh {
 public:
  /// Makes `refreshToken` the one good refresh token; new tokens are named after `prefix`.
  void reset(const std::string& refreshToken, const std::string& prefix) {
    const std::lock_guard lock(mutex_);
    good_ = refreshToken;
    prefix_ = prefix;
    granted_ = 0;
  }

  Reply answer(const RecordedRequest& request) {
    const std::lock_guard lock(mutex_);
    if (request.field("grant_type") != "refresh_token" || request.field("refresh_token") != good_) {
      return Reply::answer(400, R"({"error":"invalid_grant"})");
    }
    ++granted_;
    const std::string name = prefix_ + "-" + std::to_string(granted_);
    good_ = name + "-refresh";
    return Reply::answer(200, R"({"access_token":")" + name +
                                  R"(","token_type":"bearer","expires_in":3600,)" + R"("refresh_token":")" +
                                  good_ + R"(","scope":"read"})");
  }

  /// Refreshes granted since `reset`.
  [[nodiscard]] int granted() const {
    const std::lock_guard lock(mutex_);
    return granted_;
  }
  /// The refresh token the endpoint takes next.
  [[nodiscard]] std::string good() const {
    const std::lock_guard lock(mutex_);
    return good_;
  }

 private:
  mutable std::mutex mutex_;
  std::string good_;
  std::string prefix_;
  int granted_ = 0;
};

}  // namespace tervala::test
