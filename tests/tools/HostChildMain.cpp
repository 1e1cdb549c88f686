// A host process of the library, run by HostProcessStressTest; it ends itself after 30 s.
//   exit URL COUNT MODE SEED: starts COUNT HTTPS grants (libcurl and OpenSSL initialised first, so
//     their exit handlers run after the library's), waits 0-60 ms, and ends by MODE: return (from
//     main), exit-thread (exit() on another thread), blocked-return (every completion blocks for
//     good), blocking-return (the blocking grants, on threads of their own).
//   token-source URL SETTINGS_FILE THREADS: per line read, THREADS threads ask the token source at
//     once; prints the access token they all got ("mixed", "failed:REASON") and the changes told so far.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <latch>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

namespace {

// The endpoint's certificate is made at run time; the exit race does not depend on who trusts it.
class TrustEverything final : public tervala::ServerTrustDelegate {
 public:
  tervala::ServerTrustDecision evaluateServerTrust(const std::vector<tervala::Data>& /*chain*/,
                                                   std::string_view /*host*/,
                                                   bool /*defaultVerdict*/) override {
    return tervala::ServerTrustDecision::accept;
  }
};

int exitWithGrantsInFlight(const std::string& url, int count, std::string_view mode, unsigned seed) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  OPENSSL_init_ssl(0, nullptr);
  auto& context = tervala::OAuthContext::sharedInstance();
  context.serverTrustDelegate = std::make_shared<TrustEverything>();
  // Never set: a completion that waits on it blocks until the process ends.
  static std::promise<void> never;
  static const std::shared_future<void> forever = never.get_future().share();
  for (int index = 0; index < count; ++index) {
    if (mode == "blocking-return") {
      std::thread([&context, url] {
        static_cast<void>(context.getAccessToken(url, "app", "alice", "pw"));
      }).detach();
    } else if (mode == "blocked-return") {
      context.getAccessToken(url, "app", "alice", "pw", [](const auto& /*result*/) { forever.wait(); });
    } else {
      context.getAccessToken(url, "app", "alice", "pw", [](const auto& /*result*/) {});
    }
  }
  std::mt19937 random(seed);
  std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 60)(random)));
  if (mode == "exit-thread") {
    std::thread([] { std::exit(0); }).detach();  // NOLINT(concurrency-mt-unsafe): the race under test
    forever.wait();
  }
  return 0;
}

int askTokenSourceEachRound(const std::string& url, const std::string& file, std::size_t threads) {
  tervala::SettingsStore store(file);
  tervala::TokenSource source(url, "app", store);
  std::atomic<int> changes = 0;
  source.setChangeHandler([&](const tervala::OAuthToken& /*token*/) { ++changes; });
  for (;;) {
    std::latch start(static_cast<std::ptrdiff_t>(threads) + 1);
    std::vector<std::string> got(threads);
    std::vector<std::jthread> askers;
    askers.reserve(threads);
    for (auto& access : got) {
      askers.emplace_back([&] {
        start.arrive_and_wait();
        const auto answer = source.token();
        // A failure names its reason ("failed:invalid_grant"), so a shared refusal shows as one.
        access = answer.token
                     ? answer.token->accessToken()
                     : "failed:" + (answer.error ? answer.error->localizedFailureReason().value_or("")
                                                 : std::string());
      });
    }
    std::string line;
    const bool more = static_cast<bool>(std::getline(std::cin, line));
    start.count_down();  // the threads are let go also at the end, so they can be joined
    askers.clear();
    if (!more) {
      return 0;
    }
    const std::set<std::string> distinct(got.begin(), got.end());
    std::cout << (distinct.size() == 1 ? *distinct.begin() : "mixed") << ' ' << changes << std::endl;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::alarm(30);
  tervala::setDebugSink(nullptr);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 5 && arguments[0] == "exit") {
    return exitWithGrantsInFlight(arguments[1], std::stoi(arguments[2]), arguments[3],
                                  static_cast<unsigned>(std::stoul(arguments[4])));
  }
  if (arguments.size() == 4 && arguments[0] == "token-source") {
    return askTokenSourceEachRound(arguments[1], arguments[2], std::stoul(arguments[3]));
  }
  return 2;
}
