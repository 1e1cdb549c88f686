// The token source: a stored token handed out and refreshed within its margin at an endpoint whose
// refresh tokens rotate, a refresh shared by those who ask while it is on the wire, the changes told
// to the host, a forked child, and the lock across processes: a lock file of its own, never the
// settings file's write lock, held while a refresh waits for the endpoint.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "support/RotatingRefresh.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;

class TokenSourceTest : public ::testing::Test {
 protected:
  TokenSourceTest() {
    endpoint.setHandler([this](const test::RecordedRequest& request) { return server.answer(request); });
    server.reset("stored-refresh", "new");
  }
  ~TokenSourceTest() override { release(); }  // no request is left held when the endpoint stops

  // Stores a token that expires `left` from now, refreshed with "stored-refresh".
  void plant(seconds left) {
    const OAuthToken token("stored", "Bearer", "stored-refresh", std::chrono::system_clock::now() + left,
                           "read");
    ASSERT_TRUE(token.store(settings));
  }

  // Waits, at most 10 s, for the endpoint's request number `count`.
  void awaitRequests(std::size_t count) const {
    for (int tries = 0; tries < 5000 && endpoint.requests().size() < count; ++tries) {
      std::this_thread::sleep_for(2ms);
    }
  }
  // Holds every request at the endpoint until `release`.
  void hold() {
    gate = std::promise<void>();
    held = true;
    endpoint.setHandler([this, until = gate.get_future().share()](const test::RecordedRequest& request) {
      until.wait();
      return server.answer(request);
    });
  }
  void release() {
    if (std::exchange(held, false)) {
      gate.set_value();
    }
  }

  test::TemporaryFolder folder;
  SettingsStore settings{folder / "settings.sqlite3"};
  test::TokenEndpoint endpoint;
  test::RotatingRefresh server;
  TokenSource source{endpoint.url(), "app", settings};
  std::promise<void> gate;
  bool held = false;
};

TEST_F(TokenSourceTest, RefreshesOnlyWithinTheMarginAndStoresTheNewToken) {
  using Row = std::tuple<seconds, seconds, bool>;  // left, margin, refreshes
  for (const auto& [left, margin, refreshes] :
       {Row{seconds(3600), seconds(60), false}, Row{seconds(30), seconds(60), true},
        Row{seconds(30), seconds(10), false}, Row{seconds(-5), seconds(0), true}}) {
    SCOPED_TRACE(left.count());
    plant(left);
    server.reset("stored-refresh", "new");
    source.setMargin(margin);
    const auto answer = source.token();
    ASSERT_TRUE(answer.token) << answer.error->localizedDescription();
    EXPECT_EQ(server.granted(), refreshes ? 1 : 0);
    EXPECT_EQ(answer.token->accessToken(), refreshes ? "new-1" : "stored");
    EXPECT_EQ(OAuthToken::retrieve(settings)->accessToken(), answer.token->accessToken());
    EXPECT_EQ(source.authorizationHeader().header, (refreshes ? "Bearer new-1" : "Bearer stored"));
  }
}

// Asking while a refresh is on the wire waits for it, and only one request is sent: a thread of the
// same source shares its outcome, a refusal too; a source of the same file (another process's) reads
// the stored token again and takes the new one, never sending the spent refresh token.
TEST_F(TokenSourceTest, AskingDuringARefreshWaitsForItsOutcome) {
  SettingsStore sameFile(settings.location());
  TokenSource other(endpoint.url(), "app", sameFile);
  for (const bool refused : {true, false}) {
    SCOPED_TRACE(refused ? "refused, same source" : "granted, another source");
    plant(seconds(-5));
    server.reset(refused ? "another-refresh" : "stored-refresh", "new");
    const std::size_t before = endpoint.requests().size();
    hold();  // the first asks and is held while the second asks
    auto first = std::async(std::launch::async, [this] { return source.token(); });
    awaitRequests(before + 1);
    auto second = std::async(std::launch::async, [&, refused] { return (refused ? source : other).token(); });
    std::this_thread::sleep_for(300ms);  // time to reach the wait; one that came late asks anew
    release();
    for (const auto& answer : {first.get(), second.get()}) {  // the token, or the reason it was refused
      EXPECT_EQ(answer.token ? answer.token->accessToken()
                             : answer.error.value_or(Error()).localizedFailureReason().value_or("none"),
                refused ? "invalid_grant" : "new-1");
    }
    EXPECT_EQ(endpoint.requests().size(), before + 1);
  }
}

// A refused refresh is an error and leaves the stored token as it was.
TEST_F(TokenSourceTest, EveryChangeIsToldOnceWhetherRefreshedReplacedOrInvalidated) {
  std::vector<std::string> told;
  source.setChangeHandler([&](const OAuthToken& token) { told.push_back(token.accessToken()); });
  plant(seconds(3600));
  (void)source.token();  // the stored token as first seen is no change
  EXPECT_TRUE(told.empty());

  plant(seconds(-5));
  (void)source.token();
  (void)source.token();
  EXPECT_EQ(told, std::vector<std::string>{"new-1"});

  SettingsStore otherProcess(settings.location());  // another writer of the same file
  const OAuthToken replaced("replaced", "Bearer", "new-1-refresh",
                            std::chrono::system_clock::now() + seconds(3600), "read");
  ASSERT_TRUE(replaced.store(otherProcess));
  (void)source.token();
  (void)source.token();
  EXPECT_EQ(told, (std::vector<std::string>{"new-1", "replaced"}));

  source.invalidate("an-older-token");  // a refusal of a token no longer stored changes nothing
  (void)source.token();
  source.invalidate("replaced");
  EXPECT_EQ(source.token().token->accessToken(), "new-2");
  EXPECT_EQ(told, (std::vector<std::string>{"new-1", "replaced", "new-2"}));
  EXPECT_EQ(server.granted(), 2);

  server.reset("another-refresh", "new");
  source.invalidate("new-2");
  const auto before = settings.data(OAuthToken::settingsKey);
  EXPECT_EQ(source.token().error.value_or(Error()).localizedFailureReason(), "invalid_grant");
  EXPECT_EQ(settings.data(OAuthToken::settingsKey), before);
  EXPECT_FALSE(source.authorizationHeader().header);
  EXPECT_EQ(told.size(), 3U);
}

// A host forks while a refresh runs on another thread (holding the store's lock across the
// network) and a second thread waits for it. The child, content with the stored token under a
// margin of its own, gets it at once: it neither waits for a refresh whose thread it does not have
// nor for the store's lock that thread held. (The child's writes to the file would still wait:
// SQLite's record of the parent's write lock stays in the child.)
TEST_F(TokenSourceTest, AForkedChildDoesNotWaitForItsParentsRefresh) {
  plant(seconds(30));
  source.setMargin(seconds(60));
  endpoint.setHandler(
      [this](const test::RecordedRequest& request) { return server.answer(request).after(300ms); });
  const std::jthread refreshing([&] { (void)source.token(); });
  awaitRequests(1);
  const std::jthread waiting([&] { (void)source.token(); });
  std::this_thread::sleep_for(20ms);
  const int status = test::runInChild(
      [&] {
        source.setMargin(seconds(0));
        const auto answer = source.token();
        return answer.token && answer.token->accessToken() == "stored" ? 0 : 1;
      },
      seconds(10));
  EXPECT_EQ(status, 0);
}

// A refresh whose endpoint has not answered yet holds no lock of the file: another connection
// writes at once (a login storing its token among them), and the refreshed token does not
// overwrite the one that connection stored meanwhile.
TEST_F(TokenSourceTest, OtherWritersOfTheFileGoOnWhileARefreshWaitsForTheEndpoint) {
  plant(10s);  // within the margin
  hold();
  auto asked = std::async(std::launch::async, [this] { return source.token(); });
  awaitRequests(1);
  ASSERT_EQ(endpoint.requests().size(), 1U);
  SettingsStore otherProcess(settings.location());
  EXPECT_TRUE(otherProcess.setData("other", Data{1}));
  EXPECT_TRUE(
      OAuthToken("login", "Bearer", "r", std::chrono::system_clock::now() + 1h, "read").store(otherProcess));
  EXPECT_EQ(asked.wait_for(0s), std::future_status::timeout) << "the refresh was still waiting";
  release();
  const auto answer = asked.get();
  ASSERT_TRUE(answer.token) << answer.error->localizedDescription();
  EXPECT_EQ(answer.token->accessToken(), "new-1");
  EXPECT_EQ(OAuthToken::retrieve(settings)->accessToken(), "login");
}

// The lock file lies beside the store, owner-only; one planted as a link is refused before
// anything is sent.
TEST_F(TokenSourceTest, TheLockFileIsOwnerOnlyAndALinkInItsPlaceIsRefused) {
  plant(10s);
  ASSERT_TRUE(source.token().token);
  const auto lock = folder / "settings.sqlite3.refresh-lock";
  struct stat status {};
  ASSERT_EQ(::lstat(lock.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777U, 0600U);

  std::filesystem::remove(lock);
  std::filesystem::create_symlink(folder / "elsewhere", lock);
  plant(10s);
  const auto refused = source.token();
  ASSERT_FALSE(refused.token);
  EXPECT_NE(refused.error->localizedFailureReason().value_or("").find("symbolic link"), std::string::npos);
  EXPECT_EQ(endpoint.requests().size(), 1U);
  EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
}

}  // namespace
}  // namespace tervala
