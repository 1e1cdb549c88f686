// `tervala token get` against a real endpoint on loopback and a real settings file, in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/InProcessTool.hpp"
#include "support/RotatingRefresh.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

class TokenGetCli : public ::testing::Test {
 protected:
  TokenGetCli() {
    endpoint.setHandler([this](const test::RecordedRequest& request) { return server.answer(request); });
    server.reset("stored-refresh", "new");
  }

  test::ToolRun get(const std::vector<std::string>& more = {}) const {
    std::vector<std::string> args{"--settings", file.string(),  "token",       "get",
                                  "--url",      endpoint.url(), "--client-id", "cli"};
    args.insert(args.end(), more.begin(), more.end());
    return test::runTool(args);
  }

  void plant(const std::string& access, std::chrono::seconds left) const {
    SettingsStore store(file);
    ASSERT_TRUE(
        OAuthToken(access, "Bearer", "stored-refresh", std::chrono::system_clock::now() + left, "read")
            .store(store));
  }

  test::TemporaryFolder folder;
  std::filesystem::path file = folder / "settings.sqlite3";
  test::TokenEndpoint endpoint;
  test::RotatingRefresh server;
};

TEST_F(TokenGetCli, PrintsTheStoredTokenOrARefreshedAndStoredOne) {
  EXPECT_EQ(get().status, 1);
  EXPECT_EQ(get().err, "tervala: cannot get a token: no stored token\n");

  plant("stored", std::chrono::seconds(3600));
  EXPECT_EQ(get().out, "stored\n");
  plant("stored", std::chrono::seconds(10));
  const auto refreshed = get({"--header"});
  EXPECT_EQ(refreshed.status, 0);
  EXPECT_EQ(refreshed.out, "Bearer new-1\n");
  EXPECT_EQ(get().out, "new-1\n");
  EXPECT_EQ(endpoint.requests().size(), 1U);
  SettingsStore store(file);
  EXPECT_EQ(OAuthToken::retrieve(store)->refreshToken(), server.good());
}

TEST_F(TokenGetCli, ARefusedRefreshExitsOneAndKeepsTheStoredToken) {
  plant("stored\x1b[2J", std::chrono::seconds(-1));
  server.reset("another-refresh", "new");
  const auto run = get();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("invalid_grant"), std::string::npos) << run.err;
  SettingsStore store(file);
  EXPECT_EQ(OAuthToken::retrieve(store)->accessToken(), "stored\x1b[2J");

  server.reset("stored-refresh", "new");
  plant("stored\x1b[2J", std::chrono::seconds(3600));  // valid, but no header can hold it
  EXPECT_EQ(get().err, "tervala: the stored token holds characters that cannot be sent in a header\n");
}

}  // namespace
}  // namespace tervala
