// The `tervala token` commands as a user runs them: the real binary against a real endpoint on
// loopback, with a real settings file in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/ChildProcess.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::ChildResult;
using test::Reply;
using test::TestCertificate;
using test::TokenEndpoint;

class OAuthTokenCli : public ::testing::Test {
 protected:
  ChildResult tervala(std::vector<std::string> args, const std::string& input = {}) const {
    args.insert(args.begin(), {TERVALA_CLI_PATH, "--settings", (folder / "settings.sqlite3").string()});
    return test::runChild(args, input);
  }

  std::vector<std::string> grant(const std::string& kind, const TokenEndpoint& at) const {
    return {"token", kind, "--url", at.url(), "--client-id", "cli"};
  }

  test::TemporaryFolder folder;
  TokenEndpoint endpoint;
};

TEST_F(OAuthTokenCli, PasswordFromStdinLosesOneLineBreakAndPrintsTheResultLine) {
  auto args = grant("password", endpoint);
  args.insert(args.end(), {"--username", "alice", "--password-stdin", "--scope", "a,b", "--client-secret",
                           "cs", "--param", "audience=api", "--param", "x=1=2", "--timeout", "5"});
  const auto run = tervala(args, "p a&ss\n\n");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  // The lifetime left is recomputed when printed: 3599 or a little less on a slow machine.
  EXPECT_EQ(run.out.rfind(R"({ "access_token":"test-access","expires_in":"35)", 0), 0U) << run.out;
  EXPECT_TRUE(run.out.ends_with(R"(","token_type":"Bearer","refresh_token":"test-refresh","scope":"read" })"
                                "\n"))
      << run.out;
  EXPECT_EQ(run.err, "");  // debug lines stay silent without --debug
  ASSERT_EQ(endpoint.requests().size(), 1U);
  EXPECT_EQ(
      endpoint.requests()[0].body,
      "client_id=cli&client_secret=cs&scope=a%2Cb&audience=api&grant_type=password&password=p+a%26ss%0A&"
      "username=alice&x=1%3D2");
}

TEST_F(OAuthTokenCli, StoreShowAndRefreshFromTheStoredToken) {
  auto args = grant("code", endpoint);
  args.insert(args.end(), {"--code", "c1", "--store"});
  ASSERT_EQ(tervala(args).exitStatus, 0);
  EXPECT_EQ(std::filesystem::status(folder / "settings.sqlite3").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  const auto show = tervala({"token", "show"});
  ASSERT_EQ(show.exitStatus, 0) << show.err;
  EXPECT_EQ(show.out.rfind("Authorization: Bearer test-access\nExpires: ", 0), 0U) << show.out;
  EXPECT_NE(show.out.find("\nExpired: no\n"), std::string::npos) << show.out;

  auto refresh = grant("refresh", endpoint);
  refresh.push_back("--stored");
  const auto refreshed = tervala(refresh);
  ASSERT_EQ(refreshed.exitStatus, 0) << refreshed.err;
  ASSERT_EQ(endpoint.requests().size(), 2U);
  EXPECT_EQ(endpoint.requests()[1].body, "client_id=cli&grant_type=refresh_token&refresh_token=test-refresh");
}

TEST_F(OAuthTokenCli, NothingStoredIsFailure) {
  const auto show = tervala({"token", "show"});
  EXPECT_EQ(show.exitStatus, 1);
  EXPECT_EQ(show.err, "tervala: no stored token\n");
  auto refresh = grant("refresh", endpoint);
  refresh.push_back("--stored");
  EXPECT_EQ(tervala(refresh).exitStatus, 1);
  EXPECT_TRUE(endpoint.requests().empty());
}

TEST_F(OAuthTokenCli, ErrorResultsExitOneAndAreNotStored) {
  endpoint.setReply(Reply::answer(401, R"({"error":"invalid_client","error_description":"Unknown client"})"));
  auto args = grant("code", endpoint);
  args.insert(args.end(), {"--code", "c", "--store"});
  const auto run = tervala(args);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, R"({ "error_reason":"invalid_client","error_description":"Unknown client" })"
                     "\n");
  EXPECT_EQ(tervala({"token", "show"}).exitStatus, 1);

  const auto badUrl = tervala({"token", "code", "--url", "not a url", "--client-id", "c", "--code", "x"});
  EXPECT_EQ(badUrl.exitStatus, 1);
  EXPECT_NE(badUrl.out.find("Invalid url"), std::string::npos);
}

TEST_F(OAuthTokenCli, BadUsageExitsTwoWithOneLine) {
  const std::vector<std::vector<std::string>> cases{
      {"token"},
      {"token", "implicit"},
      {"token", "password", "--url", endpoint.url(), "--client-id", "c", "--username", "u"},
      {"token", "password", "--url", endpoint.url(), "--client-id", "c", "--username", "u", "--password", "p",
       "--password-stdin"},
      {"token", "code", "--client-id", "c", "--code", "x"},
      {"token", "code", "--url", endpoint.url(), "--client-id", "c", "--code"},
      {"token", "refresh", "--url", endpoint.url(), "--client-id", "c"},
      {"token", "code", "--url", endpoint.url(), "--client-id", "c", "--code", "x", "--timeout", "0"},
      {"token", "code", "--url", endpoint.url(), "--client-id", "c", "--code", "x", "--timeout", "nan"},
      {"token", "code", "--url", endpoint.url(), "--client-id", "c", "--code", "x", "--param", "novalue"},
      {"token", "code", "--url", endpoint.url(), "--client-id", "c", "--code", "x", "--bogus"},
      {"token", "code", "--url", endpoint.url(), "--client-id", "c", "--code", "x", "--cacert",
       "/nonexistent"},
      {"token", "show", "--store"}};
  for (const auto& args : cases) {
    const auto run = tervala(args);
    EXPECT_EQ(run.exitStatus, 2) << args.back();
    EXPECT_EQ(run.err.rfind("tervala: ", 0), 0U) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
  EXPECT_TRUE(endpoint.requests().empty());
}

TEST_F(OAuthTokenCli, CacertTrustsExactlyTheCertificatesInTheFile) {
  const TokenEndpoint secure(TestCertificate::Kind::loopback);
  const auto pem = (folder / "server.pem").string();
  secure.certificate().writePem(pem);
  auto args = grant("code", secure);
  args.insert(args.end(), {"--code", "x"});

  const auto untrusted = tervala(args);
  EXPECT_EQ(untrusted.exitStatus, 1);
  EXPECT_NE(untrusted.out.find("The certificate for this server is invalid."), std::string::npos)
      << untrusted.out;

  auto trusted = args;
  trusted.insert(trusted.end(), {"--cacert", pem});
  const auto run = tervala(trusted);
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;

  const auto other = (folder / "other.pem").string();
  TestCertificate::make(TestCertificate::Kind::loopback).writePem(other);
  auto wrong = args;
  wrong.insert(wrong.end(), {"--cacert", other});
  EXPECT_EQ(tervala(wrong).exitStatus, 1);
  EXPECT_EQ(secure.requests().size(), 1U);
}

TEST_F(OAuthTokenCli, CacertStillChecksHostAndExpiry) {
  for (const auto kind : {TestCertificate::Kind::wrongHost, TestCertificate::Kind::expired}) {
    const TokenEndpoint secure(kind);
    const auto pem = (folder / "server.pem").string();
    secure.certificate().writePem(pem);
    auto args = grant("code", secure);
    args.insert(args.end(), {"--code", "x", "--cacert", pem});
    const auto run = tervala(args);
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_TRUE(secure.requests().empty());
  }
}

}  // namespace
}  // namespace tervala
