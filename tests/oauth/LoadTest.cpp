// Many grants in flight at once from several host threads against a loopback endpoint: every
// completion runs exactly once and carries the reply to its own request. Peak memory and wall
// time are reported (not judged: speed targets live in bench/).
// TERVALA_LOAD_GRANTS sets the number of grants (default 1000; the ThreadSanitizer build uses 200).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "support/CompletionRecorder.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;
using test::CompletionRecorder;

constexpr std::size_t hostThreads = 4;

std::size_t grantCount() {
  const char* text = std::getenv("TERVALA_LOAD_GRANTS");  // NOLINT(concurrency-mt-unsafe): before any thread
  const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return value > 0 && value <= 100000 ? static_cast<std::size_t>(value) : 1000;
}

// The process's peak resident memory in KiB, from /proc/self/status ("VmHWM").
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line) && !line.starts_with("VmHWM:")) {
  }
  return std::strtol(line.c_str() + std::min<std::size_t>(6, line.size()), nullptr, 10);
}

TEST(LoadTest, ManyGrantsInFlightEachCompleteExactlyOnceWithTheirOwnReply) {
  const std::size_t count = grantCount();
  OAuthContext::sharedInstance().timeoutInterval = 120.0;

  // The endpoint holds every reply until all requests have arrived (or 60 s have passed), so all
  // are in flight at once; each reply names the user of its own request.
  std::atomic<std::size_t> arrived{0};
  std::atomic<std::size_t> inFlightAtFirstReply{0};
  test::TokenEndpoint server;
  server.setHandler([count, &arrived, &inFlightAtFirstReply](const test::RecordedRequest& request) {
    ++arrived;
    for (int waited = 0; arrived.load() < count && waited < 6000; ++waited) {
      std::this_thread::sleep_for(10ms);
    }
    std::size_t expected = 0;
    inFlightAtFirstReply.compare_exchange_strong(expected, arrived.load());
    const std::string user = request.field("username").value_or("");
    return test::Reply::answer(200, R"({"access_token":"access-)" + user +
                                        R"(","token_type":"bearer","expires_in":3600,)" +
                                        R"("refresh_token":"refresh-)" + user + R"(","scope":"read"})");
  });

  CompletionRecorder recorder;
  std::vector<OAuthContext::Completion> completions(count);
  std::ranges::generate(completions, [&recorder] { return recorder.completion(); });

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> hosts;
  for (std::size_t t = 0; t < hostThreads; ++t) {
    hosts.emplace_back([&, t] {
      for (std::size_t i = t; i < count; i += hostThreads) {
        OAuthContext::sharedInstance().getAccessToken(server.url(), "load", "user" + std::to_string(i), "pw",
                                                      std::move(completions[i]));
      }
    });
  }
  for (auto& host : hosts) {
    host.join();
  }
  ASSERT_TRUE(recorder.waitFor(count, std::chrono::seconds(300)))
      << "not all " << count << " completions ran";
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const auto grants = recorder.grants();
  std::size_t own = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto& [calls, result, thread] = grants[i];
    if (calls == 1 && result && !result->hasError() &&
        result->serializeToToken()->accessToken() == "access-user" + std::to_string(i)) {
      ++own;
    }
  }
  EXPECT_EQ(own, count) << "every completion runs exactly once and carries the reply to its own request";
  EXPECT_EQ(inFlightAtFirstReply.load(), count) << "all grants were in flight at once";

  std::printf(
      "load: %zu grants from %zu threads, all in flight at once: %zu; wall %.2f s; peak RSS %.1f MiB\n",
      count, hostThreads, inFlightAtFirstReply.load(), seconds,
      static_cast<double>(peakResidentKiB()) / 1024.0);
}

}  // namespace
}  // namespace tervala
