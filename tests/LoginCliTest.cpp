// `tervala token login` end to end, as a process: the test plays the browser against a loopback
// authorization server and the tool's own redirect listener.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/AuthorizationServer.hpp"
#include "support/TokenTestSupport.hpp"
#include "support/ToolProcess.hpp"

namespace tervala {
namespace {

// A GET the way a browser sends it, redirects not followed; null when nobody answers.
httplib::Result browse(const std::string& url) {
  const std::size_t hostStart = url.find("//") + 2;
  const std::size_t pathStart = url.find('/', hostStart);
  const std::size_t colon = url.rfind(':', pathStart);
  httplib::Client browser(url.substr(hostStart, colon - hostStart), std::stoi(url.substr(colon + 1)));
  browser.set_url_encode(false);  // a browser sends the Location as the server wrote it
  browser.set_connection_timeout(std::chrono::seconds(5));
  browser.set_read_timeout(std::chrono::seconds(10));
  return browser.Get(url.substr(pathStart));
}

struct LoginCase {
  const char* name;
  bool denying = false;     // the user refuses at the authorization server
  std::string straySuffix;  // a request to the listener before the real callback ("" for none)
  int strayStatus = 0;      // and what it is answered
  bool follow = true;       // the browser follows the redirect at all
  int status = 0;           // the tool's exit status
  std::string output;       // a part of the tool's standard output or error
};

void PrintTo(const LoginCase& row, std::ostream* out) {
  *out << row.name;
}

class LoginCli : public ::testing::TestWithParam<LoginCase> {
 protected:
  test::AuthorizationServer server;
  test::TemporaryFolder folder;
};

TEST_P(LoginCli, AcceptsExactlyOneCallbackOfItsOwn) {
  const auto& row = GetParam();
  server.setDenying(row.denying);
  const auto settings = (folder / "settings.sqlite3").string();
  test::ToolProcess tool({"--settings", settings, "token", "login", "--no-browser", "--store", "--scope",
                          "read", "--auth-url", server.url("/authorize"), "--url", server.url("/token"),
                          "--client-id", "cli", "--timeout", row.follow ? "10" : "1"});
  // The URL the user would open: the last line once it is whole.
  const auto whole = [](const test::ToolProcess::Outcome& so) {
    return so.err.find("\nhttp") != std::string::npos && so.err.ends_with('\n');
  };
  const std::string shown = tool.readUntil(whole).err;
  const auto start = shown.find("\nhttp");
  ASSERT_NE(start, std::string::npos) << shown;
  const std::string url = shown.substr(start + 1, shown.size() - start - 2);
  std::string callback;
  if (row.follow) {
    const auto approval = browse(url);
    ASSERT_TRUE(approval && approval->status == 302);
    callback = approval->get_header_value("Location");
    if (!row.straySuffix.empty()) {
      const auto stray = browse(callback.substr(0, callback.find("/callback")) + row.straySuffix);
      ASSERT_TRUE(stray);
      EXPECT_EQ(stray->status, row.strayStatus);
    }
    const auto page = browse(callback);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, row.denying ? 400 : 200);
  }
  const auto run = tool.finish();
  EXPECT_EQ(run.status, row.status) << run.err;
  EXPECT_NE((run.out + run.err).find(row.output), std::string::npos) << run.out << run.err;
  if (!callback.empty()) {
    EXPECT_FALSE(browse(callback)) << "a second callback found the listener still open";
  }
  SettingsStore store(settings);
  EXPECT_EQ(OAuthToken::retrieve(store) != nullptr, row.status == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Browsers, LoginCli,
    ::testing::Values(LoginCase{"Approved", false, "", 0, true, 0, R"("access_token":"access-)"},
                      LoginCase{"WrongStateIgnored", false, "/callback?code=forged&state=guess", 400, true, 0,
                                R"("access_token":"access-)"},
                      LoginCase{"OtherPathIgnored", false, "/favicon.ico", 404, true, 0,
                                R"("access_token":"access-)"},
                      LoginCase{"Denied", true, "", 0, true, 1, "The user said no"},
                      LoginCase{"NoCallbackTimesOut", false, "", 0, false, 1, "no login callback"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tervala
