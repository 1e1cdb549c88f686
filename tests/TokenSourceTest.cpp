// The token source against a real endpoint on loopback with a rotating refresh token, and a
// real settings file.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "support/RotatingRefresh.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using std::chrono::seconds;

class TokenSourceTest : public ::testing::Test {
 protected:
  TokenSourceTest() {
    endpoint.setHandler([this](const test::RecordedRequest& request) { return server.answer(request); });
    server.reset("stored-refresh", "new");
  }

  // Stores a token that expires `left` from now, refreshed with "stored-refresh".
  void plant(seconds left) {
    const OAuthToken token("stored", "Bearer", "stored-refresh", std::chrono::system_clock::now() + left,
                           "read");
    ASSERT_TRUE(token.store(store));
  }

  test::TemporaryFolder folder;
  SettingsStore store{folder / "settings.sqlite3"};
  test::TokenEndpoint endpoint;
  test::RotatingRefresh server;
  TokenSource source{endpoint.url(), "app", store};
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
    EXPECT_EQ(OAuthToken::retrieve(store)->accessToken(), answer.token->accessToken());
    EXPECT_EQ(source.authorizationHeader().header, (refreshes ? "Bearer new-1" : "Bearer stored"));
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

  SettingsStore otherProcess(store.location());  // another writer of the same file
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
  const auto before = store.data(OAuthToken::settingsKey);
  EXPECT_EQ(source.token().error.value_or(Error()).localizedFailureReason(), "invalid_grant");
  EXPECT_EQ(store.data(OAuthToken::settingsKey), before);
  EXPECT_FALSE(source.authorizationHeader().header);
  EXPECT_EQ(told.size(), 3U);
}

}  // namespace
}  // namespace tervala
