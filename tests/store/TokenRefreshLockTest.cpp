// The token source's lock across processes: a lock file of its own, never the settings file's
// write lock, held while a refresh waits for the endpoint.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;

OAuthToken expiring(const std::string& access, std::chrono::seconds left) {
  return {access, "Bearer", access + "-refresh", std::chrono::system_clock::now() + left, "read"};
}

// Holds every request until let go (at the latest when the test ends, before the endpoint stops).
class HeldEndpoint {
 public:
  HeldEndpoint() {
    endpoint.setHandler([held = gate.get_future().share()](const test::RecordedRequest& /*request*/) {
      held.wait();
      return test::Reply{};
    });
  }
  HeldEndpoint(const HeldEndpoint&) = delete;
  HeldEndpoint& operator=(const HeldEndpoint&) = delete;
  ~HeldEndpoint() { release(); }

  void release() {
    if (!released) {
      released = true;
      gate.set_value();
    }
  }
  // Waits, at most 10 s, for the first request.
  void awaitRequest() const {
    for (int tries = 0; tries < 1000 && endpoint.requests().empty(); ++tries) {
      std::this_thread::sleep_for(10ms);
    }
  }

  test::TokenEndpoint endpoint;

 private:
  std::promise<void> gate;
  bool released = false;
};

// A refresh whose endpoint has not answered yet holds no lock of the file: another connection
// writes at once (a login storing its token among them), and the refreshed token does not
// overwrite the one that connection stored meanwhile.
TEST(TokenRefreshLock, OtherWritersOfTheFileGoOnWhileARefreshWaitsForTheEndpoint) {
  const test::TemporaryFolder folder;
  SettingsStore settings(folder / "settings.sqlite3");
  ASSERT_TRUE(expiring("old", 10s).store(settings));
  HeldEndpoint held;
  TokenSource source(held.endpoint.url(), "app", settings);
  auto asked = std::async(std::launch::async, [&] { return source.token(); });
  held.awaitRequest();
  ASSERT_EQ(held.endpoint.requests().size(), 1U);

  SettingsStore otherProcess(settings.location());
  EXPECT_TRUE(otherProcess.setData("other", Data{1}));
  EXPECT_TRUE(expiring("login", 3600s).store(otherProcess));
  EXPECT_EQ(asked.wait_for(0s), std::future_status::timeout) << "the refresh was still waiting";
  held.release();
  const auto answer = asked.get();
  ASSERT_TRUE(answer.token) << answer.error->localizedDescription();
  EXPECT_EQ(answer.token->accessToken(), "test-access");
  EXPECT_EQ(OAuthToken::retrieve(settings)->accessToken(), "login");
}

// The lock file lies beside the store, owner-only; one planted as a link is refused before
// anything is sent.
TEST(TokenRefreshLock, TheLockFileIsOwnerOnlyAndALinkInItsPlaceIsRefused) {
  const test::TemporaryFolder folder;
  SettingsStore settings(folder / "settings.sqlite3");
  test::TokenEndpoint endpoint;
  TokenSource source(endpoint.url(), "app", settings);
  ASSERT_TRUE(expiring("old", 10s).store(settings));
  ASSERT_TRUE(source.token().token);
  const auto lock = folder / "settings.sqlite3.refresh-lock";
  struct stat status {};
  ASSERT_EQ(::lstat(lock.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777U, 0600U);

  std::filesystem::remove(lock);
  std::filesystem::create_symlink(folder / "elsewhere", lock);
  ASSERT_TRUE(expiring("old", 10s).store(settings));
  const auto refused = source.token();
  ASSERT_FALSE(refused.token);
  EXPECT_NE(refused.error->localizedFailureReason().value_or("").find("symbolic link"), std::string::npos);
  EXPECT_EQ(endpoint.requests().size(), 1U);
  EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
}

}  // namespace
}  // namespace tervala
