// `tervala token login` end to end, in-process: the test plays the browser against a loopback
// authorization server and the tool's own redirect listener.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "Tool.hpp"
#include "support/AuthorizationServer.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

// An output stream another thread may read while the tool writes it.
class SharedText : public std::streambuf {
 public:
  [[nodiscard]] std::string text() const {
    const std::lock_guard lock(mutex_);
    return text_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      const std::lock_guard lock(mutex_);
      text_.push_back(static_cast<char>(c));
    }
    return c;
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    const std::lock_guard lock(mutex_);
    text_.append(data, static_cast<std::size_t>(count));
    return count;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

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

class LoginCli : public ::testing::TestWithParam<LoginCase> {
 protected:
  test::AuthorizationServer server;
  test::TemporaryFolder folder;
};

TEST_P(LoginCli, AcceptsExactlyOneCallbackOfItsOwn) {
  const auto& row = GetParam();
  server.setDenying(row.denying);
  std::vector<std::string> args{"--settings",
                                (folder / "settings.sqlite3").string(),
                                "token",
                                "login",
                                "--no-browser",
                                "--auth-url",
                                server.url("/authorize"),
                                "--url",
                                server.url("/token"),
                                "--client-id",
                                "cli",
                                "--scope",
                                "read",
                                "--store",
                                "--timeout",
                                row.follow ? "10" : "1"};
  SharedText outText;
  SharedText errText;
  std::ostream out(&outText);
  std::ostream err(&errText);
  std::istringstream in;
  int status = -1;
  // Joined also when an assertion returns early: the tool gives up within its --timeout.
  std::jthread tool([&] {
    std::vector<char*> argv;
    for (auto& arg : args) {
      argv.push_back(arg.data());
    }
    status = cli::runTool(argv, cli::Io{in, out, err});
  });
  // The URL the user would open: the last line once it is whole.
  std::string url;
  for (const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       url.empty() && std::chrono::steady_clock::now() < giveUp;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    const auto text = errText.text();
    if (const auto start = text.find("\nhttp"); start != std::string::npos && text.ends_with('\n')) {
      url = text.substr(start + 1, text.size() - start - 2);
    }
  }
  ASSERT_FALSE(url.empty()) << errText.text();
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
  tool.join();
  EXPECT_EQ(status, row.status) << errText.text();
  EXPECT_NE((outText.text() + errText.text()).find(row.output), std::string::npos)
      << outText.text() << errText.text();
  if (!callback.empty()) {
    EXPECT_FALSE(browse(callback)) << "a second callback found the listener still open";
  }
  SettingsStore::setStandardLocation((folder / "settings.sqlite3").string());
  const auto stored = OAuthToken::retrieve();
  EXPECT_EQ(stored != nullptr, row.status == 0);
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
