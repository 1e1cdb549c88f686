// A host that leaves with token requests in flight: it initialises libcurl and OpenSSL itself
// before its first grant (so their exit handlers are registered before the library's), starts
// COUNT HTTPS grants, waits a random 0-60 ms and then ends the process.
//
//   tervala-exit-child URL COUNT MODE SEED
//   MODE: return           returns from main
//         exit-thread      calls exit() on another thread while main sleeps
//         blocked-return   as return, but every completion blocks for good
//         blocking-return  as return, with the grants in the blocking form on threads of their own
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    return 2;
  }
  const std::string url = argv[1];
  const int count = std::atoi(argv[2]);
  const std::string_view mode = argv[3];
  std::mt19937 random(static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));

  curl_global_init(CURL_GLOBAL_DEFAULT);
  OPENSSL_init_ssl(0, nullptr);
  tervala::setDebugSink(nullptr);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 60)(random)));
  if (mode == "exit-thread") {
    std::thread([] { std::exit(0); }).detach();
    forever.wait();
  }
  return 0;
}
