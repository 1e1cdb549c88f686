// A host that forks after its grants, or while one is in flight: the child's grants, asynchronous
// and blocking, each end with exactly one result.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthRevocation.hpp>
#include "platform/TransferGate.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace {
// A forked child abandons what the parent's other threads held (their stacks do not come along),
// which the leak checker would report at the child's exit; the parent is still checked.
bool inForkedChild = false;
}  // namespace

// LeakSanitizer asks this at exit (a weak hook; unused in other builds).
extern "C" int __lsan_is_turned_off() {  // NOLINT(bugprone-reserved-identifier,readability-identifier-naming)
  return inForkedChild ? 1 : 0;
}

namespace tervala {
namespace {

using namespace std::chrono_literals;

// The endpoint's certificate is made at run time; whom it is trusted by is not under test here.
class TrustEverything final : public ServerTrustDelegate {
  ServerTrustDecision evaluateServerTrust(const std::vector<Data>&, std::string_view, bool) override {
    return ServerTrustDecision::accept;
  }
};

enum class Kind { password, code, refresh, client };
constexpr Kind everyKind[] = {Kind::password, Kind::code, Kind::refresh, Kind::client};

// One grant of `kind`: asynchronous when given a completion (returns nothing), else blocking.
template <typename... Completion>
auto grant(Kind kind, const std::string& url, Completion&&... completion) {
  auto& context = OAuthContext::sharedInstance();
  switch (kind) {
    case Kind::password:
      return context.getAccessToken(url, "app", "alice", "pw", std::forward<Completion>(completion)...);
    case Kind::code:
      return context.getAccessToken(url, "app", "code-1", std::forward<Completion>(completion)...);
    case Kind::refresh:
      return context.refreshAccessToken(url, "app", "r-1", std::forward<Completion>(completion)...);
    default:
      return context.getClientAccessToken(url, "app", std::forward<Completion>(completion)...);
  }
}

bool granted(const OAuthContext::Result& result) {
  return result && !result->hasError();
}

// An asynchronous grant of `kind`: true when its completion ran exactly once within 3 s (a second
// call within a short grace counts against it) and delivered a token.
bool asynchronousGrant(Kind kind, const std::string& url) {
  test::CompletionRecorder recorder;
  grant(kind, url, recorder.completion());
  static_cast<void>(recorder.waitFor(1, 3s) && !recorder.waitFor(2, 5ms));
  const auto delivered = recorder.grants().front();
  return delivered.calls == 1 && granted(delivered.result);
}

// What a forked child runs: every kind of grant, asynchronous and then blocking, and a revocation
// (the other endpoints' path) over HTTP, and a grant over HTTPS when `tlsUrl` is given (OpenSSL's
// state in the child). Its exit status counts what failed; exit() also runs the exit handler.
[[noreturn]] void childRunsEveryGrant(const std::string& url, const std::string& tlsUrl) {
  inForkedChild = true;
  int failed = 0;
  for (const Kind kind : everyKind) {
    failed += asynchronousGrant(kind, url) ? 0 : 1;
    failed += granted(grant(kind, url)) ? 0 : 1;
  }
  failed += OAuthRevocation::revoke(url, "app", "t-1").has_value() ? 1 : 0;
  if (!tlsUrl.empty()) {
    failed += granted(grant(Kind::password, tlsUrl)) ? 0 : 1;
  }
  std::exit(failed);  // NOLINT(concurrency-mt-unsafe): the child's exit is part of what is tried
}

class ForkedHost : public ::testing::Test {
 protected:
  void SetUp() override {
    OAuthContext::sharedInstance().serverTrustDelegate = std::make_shared<TrustEverything>();
  }
  void TearDown() override {
    OAuthContext::sharedInstance().serverTrustDelegate = nullptr;
    setDebugSink(nullptr);
  }
  // The child's exit status: its failed grants, or -1 when it hung (killed after 10 s) or crashed.
  // A grant over HTTPS costs the child a CA file load (about 0.2 s here), so only some rows ask for one.
  int forkChild(bool tls) {
    return test::runInChild([&]() -> int { childRunsEveryGrant(url_, tls ? tlsUrl_ : std::string()); }, 10s);
  }

  test::TokenEndpoint plain_;
  test::TokenEndpoint tls_{test::TestCertificate::Kind::loopback};
  const std::string url_ = plain_.url();
  const std::string tlsUrl_ = tls_.url();
};

// After each kind of call (its request thread parked, its multi handle kept, the gate set up),
// a forked child's every grant completes once.
TEST_F(ForkedHost, AfterEachKindOfCallEveryGrantCompletesInTheChild) {
  const std::pair<std::function<bool()>, bool> rows[] = {
      // the parent's call before the fork, and whether the child also makes an HTTPS grant
      {[&] { return asynchronousGrant(Kind::password, url_); }, false},
      {[&] { return asynchronousGrant(Kind::code, url_); }, false},
      {[&] { return asynchronousGrant(Kind::refresh, url_); }, false},
      {[&] { return asynchronousGrant(Kind::client, url_); }, false},
      {[&] { return granted(grant(Kind::password, url_)); }, false},
      {[&] { return asynchronousGrant(Kind::client, tlsUrl_); }, true},
      {[&] { return !OAuthRevocation::revoke(url_, "app", "t-1").has_value(); }, false},
  };
  for (std::size_t row = 0; row < std::size(rows); ++row) {
    ASSERT_TRUE(rows[row].first()) << "row " << row;
    ASSERT_EQ(forkChild(rows[row].second), 0) << "row " << row;
  }
  // The children's exits signalled their own transfers, not the parent's (whose waits would spin).
  pollfd exitSignal{platform::TransferGate::exitSignal(), POLLIN, 0};
  EXPECT_EQ(::poll(&exitSignal, 1, 0), 0);
}

// The parent forks while a request thread is inside the library holding its debug lock (its
// sink is slow): the child's copies of that lock and of the gate's count must not stop it.
TEST_F(ForkedHost, ForkWhileAGrantIsInFlightOnAnotherThread) {
  struct Hold {
    std::atomic<bool> once{false};
    std::promise<void> entered;
    std::promise<void> forked;
  };
  const auto hold = std::make_shared<Hold>();
  const std::shared_future<void> forked = hold->forked.get_future().share();
  const auto self = std::this_thread::get_id();
  setDebugSink([hold, forked, self](std::string_view /*line*/) {
    if (std::this_thread::get_id() != self && !hold->once.exchange(true)) {
      hold->entered.set_value();
      static_cast<void>(forked.wait_for(5s));
    }
  });
  grant(Kind::password, tlsUrl_, [](const OAuthContext::Result& /*result*/) {});
  ASSERT_EQ(hold->entered.get_future().wait_for(5s), std::future_status::ready);
  const int status = forkChild(true);
  hold->forked.set_value();
  EXPECT_EQ(status, 0);

  // Grants in flight on other threads at random stages while the parent forks again and again.
  setDebugSink(nullptr);
  const std::jthread busy([&](const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      static_cast<void>(asynchronousGrant(Kind::refresh, tlsUrl_));
      static_cast<void>(grant(Kind::client, url_));
    }
  });
  for (int run = 0; run < 3; ++run) {
    ASSERT_EQ(forkChild(run == 0), 0) << "run " << run;
  }
}

}  // namespace
}  // namespace tervala
