// The `tervala token` grants, show and get against a real endpoint on loopback and a real
// settings file, in-process; the real binary where a process is the point (argv as others see it,
// the tool's own folder, --timeout against a silent server).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/InProcessTool.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"
#include "support/ToolProcess.hpp"

namespace tervala {
namespace {

using test::Reply;
using test::TestCertificate;
using test::TokenEndpoint;
using Args = std::vector<std::string>;
using Environment = std::map<std::string, std::string>;

class TokenCli : public ::testing::Test {
 protected:
  [[nodiscard]] std::string settings() const { return (folder / "settings.sqlite3").string(); }

  test::ToolRun tervala(Args args, const std::string& input = {}, const Environment& environment = {}) const {
    args.insert(args.begin(), {"--settings", settings()});
    return test::runTool(args, input, environment);
  }
  [[nodiscard]] Args grant(const std::string& kind, const Args& more = {},
                           const TokenEndpoint* at = nullptr) const {
    Args args{"token", kind, "--url", (at != nullptr ? *at : endpoint).url(), "--client-id", "cli"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  [[nodiscard]] std::string file(const std::string& name, const std::string& text, mode_t mode) const {
    const auto path = (folder / name).string();
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path;
  }
  void plant(const std::string& access, std::chrono::seconds left, const std::string& type = "Bearer") const {
    SettingsStore store(settings());
    ASSERT_TRUE(OAuthToken(access, type, "spent", std::chrono::system_clock::now() + left, "s").store(store));
  }

  test::TemporaryFolder folder;
  TokenEndpoint endpoint;
};

TEST_F(TokenCli, PasswordGrantSendsTheFormAndPrintsTheResultLine) {
  const auto run =
      tervala(grant("password", {"--username", "alice", "--password-stdin", "--scope", "a,b", "--scope", "c",
                                 "--param", "audience=api", "--param", "x=1=2", "--timeout", "5"}),
              "p a&ss\n\n", {{"TERVALA_CLIENT_SECRET", "cs"}});
  ASSERT_EQ(run.status, 0) << run.err;
  // The lifetime left is recomputed when printed: 3599 or a little less on a slow machine.
  EXPECT_TRUE(run.out.starts_with(R"({ "access_token":"test-access","expires_in":"35)")) << run.out;
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(endpoint.requests().size(), 1U);
  EXPECT_EQ(
      endpoint.requests()[0].body,
      "client_id=cli&client_secret=cs&scope=a%2Cb%2Cc&audience=api&grant_type=password&password=p+a%26ss%0A&"
      "username=alice&x=1%3D2");
}

TEST_F(TokenCli, EverySecretComesFromTheCommandLineStandardInputAFileOrTheEnvironment) {
  struct Case {
    Args args;
    std::string input;
    Environment environment;
    std::string field;
  };
  const auto shared = file("shared", "c4", 0644);
  for (const auto& [args, input, environment, field] : std::vector<Case>{
           {grant("code", {"--code", "c1"}), "", {}, "code=c1"},
           {grant("code", {"--code", "-"}), "c2\n", {}, "code=c2"},
           {grant("code", {"--code-file", file("owner", "c3\n", 0600)}), "", {}, "code=c3"},
           {grant("code", {"--code-file", shared}), "", {}, "code=c4"},
           {grant("code"), "", {{"TERVALA_CODE", "c5"}}, "code=c5"},
           {grant("code", {"--code=c7", "--client-secret", "-"}), "s7", {}, "client_secret=s7"},
           {grant("refresh"), "", {{"TERVALA_REFRESH_TOKEN", "r9"}}, "refresh_token=r9"},
           {grant("password", {"--username", "u"}), "", {{"TERVALA_PASSWORD", "p2"}}, "password=p2"},
       }) {
    const auto run = tervala(args, input, environment);
    EXPECT_EQ(run.status, 0) << field << run.err;
    EXPECT_EQ(run.err, field == "code=c4" ? "tervala: warning: '" + shared +
                                                "' can be read by others than its owner; make it 0600\n"
                                          : "");
    ASSERT_FALSE(endpoint.requests().empty());
    EXPECT_NE(endpoint.requests().back().body.find(field), std::string::npos)
        << endpoint.requests().back().body;
  }
}

TEST_F(TokenCli, BadUsageExitsTwoWithOneLineAndSendsNothing) {
  const auto empty = file("empty", "\n", 0600);
  const auto plainUrl = "http://0.0.0.0:" + std::to_string(endpoint.port()) + "/token";
  for (const auto& [args, input, says] : std::vector<std::tuple<Args, std::string, std::string>>{
           {{"token", "implicit"}, "", "unknown command 'token implicit'"},
           {{"token", "show", "--keyring", "--file-store"},
            "",
            "--keyring and --file-store exclude each other"},
           {{"token", "show", "--allow-file"}, "", "--allow-file only goes with --keyring"},
           {grant("password", {"--username", "u"}), "", "token password needs --password"},
           {grant("code", {"--code", "-", "--client-secret", "-"}), "a\nb",
            "only one value can come from standard"},
           {grant("code", {"--code-file", empty}), "", "--code is empty"},
           {grant("refresh"), "", "one of --refresh-token and --stored"},
           {grant("code", {"--code", "x", "--timeout", "0"}), "",
            "--timeout needs a number of seconds above 0"},
           {grant("code", {"--code", "x", "--param", "novalue"}), "", "KEY=VALUE"},
           {grant("code", {"--code", "x", "--cacert", "/nonexistent"}), "", "no readable PEM"},
           {{"token", "code", "--url", plainUrl, "--client-id", "c", "--code", "x"}, "", "plain http"},
       }) {
    const auto run = tervala(args, input, {{"TERVALA_CODE", ""}});
    EXPECT_EQ(run.status, 2) << says;
    EXPECT_TRUE(run.err.starts_with("tervala: ") && run.err.find('\n') == run.err.size() - 1) << run.err;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  }
  EXPECT_TRUE(endpoint.requests().empty());
  EXPECT_EQ(
      tervala({"token", "code", "--url", plainUrl, "--client-id", "c", "--code", "x", "--allow-http"}).status,
      0);
}

TEST_F(TokenCli, StoreShowRefreshAndTheExitStatusOfEachState) {
  EXPECT_EQ(tervala({"token", "show"}).err, "tervala: no stored token\n");
  EXPECT_EQ(tervala({"token", "show"}).status, 1);

  ASSERT_EQ(tervala(grant("code", {"--code", "c1", "--store"})).status, 0);
  EXPECT_EQ(std::filesystem::status(settings()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const auto show = tervala({"token", "show"});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_TRUE(show.out.starts_with("Authorization: Bearer test-access\nExpires: 20")) << show.out;
  EXPECT_TRUE(show.out.ends_with("\nExpired: no\n")) << show.out;
  const auto json = nlohmann::json::parse(tervala({"token", "show", "--json"}).out);
  EXPECT_EQ(json["access_token"], "test-access");
  EXPECT_EQ(json["expired"], false);
  EXPECT_EQ(json["scope"], nlohmann::json::array({"read"}));

  // A refresh of the stored token stores what it gets, even without --store: a rotating server
  // has spent the refresh token that was sent.
  plant("old", std::chrono::hours(1));
  ASSERT_EQ(tervala(grant("refresh", {"--stored"}), "", {{"TERVALA_REFRESH_TOKEN", "from-env"}}).status, 0);
  EXPECT_EQ(endpoint.requests().back().body, "client_id=cli&grant_type=refresh_token&refresh_token=spent");
  EXPECT_TRUE(tervala({"token", "show"}).out.starts_with("Authorization: Bearer test-access\n"));

  plant("old", -std::chrono::hours(1));
  const auto expired = tervala({"token", "show"});
  EXPECT_EQ(expired.status, 3);
  EXPECT_TRUE(expired.out.ends_with("\nExpired: yes\n")) << expired.out;
  const auto expiredJson = tervala({"token", "show", "--json"});
  EXPECT_EQ(expiredJson.status, 3);
  EXPECT_EQ(nlohmann::json::parse(expiredJson.out)["expired"], true);

  std::ofstream(settings(), std::ios::trunc) << "not a database, not even close to one";
  for (const auto& args : {Args{"token", "show"}, grant("refresh", {"--stored"})}) {
    const auto damaged = tervala(args);
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.err,
              "tervala: corrupt or unreadable settings file " + settings() + ": file is not a database\n");
  }
}

TEST_F(TokenCli, ShowEscapesEveryControlCharacterOfAPlantedToken) {
  std::string access;
  for (int c = 1; c < 0x20; ++c) {
    access.push_back(static_cast<char>(c));
  }
  access += "\x7f\xc3\xa9 \x1b[31mX";
  plant(access, std::chrono::hours(1), "Bear\r\ner");
  const auto show = tervala({"token", "show"});
  EXPECT_EQ(show.status, 0);
  EXPECT_TRUE(show.out.starts_with("Authorization: Bear\\r\\ner \\x01\\x02")) << show.out;
  EXPECT_NE(show.out.find("\\x1f\\x7f\\xc3\\xa9 \\x1b[31mX\n"), std::string::npos) << show.out;
  const auto json = tervala({"token", "show", "--json"});
  for (const auto& [out, lines] : {std::pair{show.out, 3}, std::pair{json.out, 1}}) {
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), lines);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](char c) {
      return c == '\n' || (c >= 0x20 && c < 0x7f);
    })) << out;
  }
  EXPECT_EQ(nlohmann::json::parse(json.out)["access_token"], access);
}

TEST_F(TokenCli, ErrorResultsExitOneAndAreNotStored) {
  endpoint.setReply(Reply::answer(401, R"({"error":"invalid_client","error_description":"Unknown client"})"));
  const auto run = tervala(grant("code", {"--code", "c", "--store"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "{ \"error_reason\":\"invalid_client\",\"error_description\":\"Unknown client\" }\n");
  EXPECT_EQ(tervala({"token", "show"}).status, 1);
}

// `token get` prints the stored token while it lasts, else refreshes and stores it; a refused
// refresh keeps the stored one.
TEST_F(TokenCli, GetPrintsTheStoredTokenOrARefreshedOne) {
  const auto get = [&](const Args& more = {}) { return tervala(grant("get", more)); };
  EXPECT_EQ(get().err, "tervala: cannot get a token: no stored token\n");
  plant("stored", std::chrono::hours(1));
  EXPECT_EQ(get().out, "stored\n");
  plant("stored", std::chrono::seconds(10));
  const auto refreshed = get({"--header"});
  EXPECT_EQ(refreshed.status, 0);
  EXPECT_EQ(refreshed.out, "Bearer test-access\n");
  EXPECT_EQ(endpoint.requests().back().field("refresh_token"), "spent");
  EXPECT_EQ(get().out, "test-access\n");
  EXPECT_EQ(endpoint.requests().size(), 1U);

  plant("stored\x1b[2J", -std::chrono::seconds(1));
  endpoint.setReply(Reply::answer(400, R"({"error":"invalid_grant"})"));
  const auto refused = get();
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("invalid_grant"), std::string::npos) << refused.err;
  SettingsStore store(settings());
  EXPECT_EQ(OAuthToken::retrieve(store)->accessToken(), "stored\x1b[2J");
  plant("stored\x1b[2J", std::chrono::hours(1));  // valid, but no header can hold it
  EXPECT_EQ(get().err, "tervala: the stored token holds characters that cannot be sent in a header\n");
}

TEST_F(TokenCli, CacertTrustsExactlyTheCertificatesInTheFileAndStillChecksHostAndExpiry) {
  const TokenEndpoint secure(TestCertificate::Kind::loopback);
  const auto pem = (folder / "server.pem").string();
  secure.certificate().writePem(pem);
  const auto other = (folder / "other.pem").string();
  TestCertificate::make(TestCertificate::Kind::loopback).writePem(other);
  EXPECT_EQ(tervala(grant("code", {"--code", "x", "--cacert", pem}, &secure)).status, 0);
  EXPECT_EQ(tervala(grant("code", {"--code", "x", "--cacert", other}, &secure)).status, 1);
  EXPECT_EQ(secure.requests().size(), 1U);
  for (const auto kind : {TestCertificate::Kind::wrongHost, TestCertificate::Kind::expired}) {
    const TokenEndpoint wrong(kind);
    wrong.certificate().writePem(pem);
    EXPECT_EQ(tervala(grant("code", {"--code", "x", "--cacert", pem}, &wrong)).status, 1);
    EXPECT_TRUE(wrong.requests().empty());
  }
}

// What another local user sees in the process list while the request runs.
TEST_F(TokenCli, SecretsOnTheCommandLineAreBlankedWhileTheRequestRuns) {
  endpoint.setReply(Reply::silent());
  test::ToolProcess tool({"--settings", settings(), "token", "password", "--url", endpoint.url(),
                          "--client-id", "cli", "--username", "alice", "--password", "PW-SECRET",
                          "--client-secret=CS-SECRET"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (endpoint.requests().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(endpoint.requests().size(), 1U);
  std::ifstream cmdline("/proc/" + std::to_string(tool.pid()) + "/cmdline");
  const std::string seen((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  EXPECT_NE(seen.find("--password"), std::string::npos);
  EXPECT_EQ(seen.find("PW-SECRET"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("CS-SECRET"), std::string::npos) << seen;
  EXPECT_NE(endpoint.requests()[0].body.find("password=PW-SECRET"), std::string::npos);
}

// Without --settings the token commands use the tool's folder, $XDG_CONFIG_HOME/tervala, where
// earlier versions of the tool stored the token.
TEST_F(TokenCli, WithoutSettingsTheTokenIsKeptInTheToolsOwnFolder) {
  const auto config = folder / "config";
  SettingsStore store(config / "tervala" / "settings.sqlite3");
  ASSERT_TRUE(OAuthToken("kept", "Bearer", "r", std::chrono::system_clock::now() + std::chrono::hours(1), "s")
                  .store(store));
  const auto run = test::ToolProcess({"token", "show"}, {"XDG_CONFIG_HOME=" + config.string()}).finish();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("Authorization: Bearer kept\n")) << run.out;
}

// --timeout reaches the request: a silent server ends the run as timed out after one second,
// long before the library's default of 30 (the process is killed after 10 s).
TEST_F(TokenCli, TimeoutEndsTheRunAgainstASilentServer) {
  endpoint.setReply(Reply::silent());
  test::ToolProcess tool({"--settings", settings(), "token", "code", "--url", endpoint.url(), "--client-id",
                          "cli", "--code", "c", "--timeout", "1"});
  const auto run = tool.finish();
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.out.find("The request timed out."), std::string::npos) << run.out;
}

}  // namespace
}  // namespace tervala
