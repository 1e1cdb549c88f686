// Profiles, the reply profile switches and `token logout` of the tool, in-process against a real
// endpoint on loopback and a real settings file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/InProcessTool.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::Reply;

class ProfileCli : public ::testing::Test {
 protected:
  test::ToolRun tervala(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--settings", (folder / "settings.sqlite3").string()});
    return test::runTool(args, "pw\n");
  }
  [[nodiscard]] std::vector<std::string> login(std::vector<std::string> more) const {
    std::vector<std::string> args{"token", "password", "--username", "alice", "--password-stdin"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  test::TemporaryFolder folder;
  test::TokenEndpoint endpoint;
};

TEST_F(ProfileCli, RemembersTheAccountKeepsItsOwnTokenAndForgetsIt) {
  const auto first =
      login({"--profile", "work", "--url", endpoint.url(), "--client-id", "c", "--scope", "read"});
  ASSERT_EQ(tervala(first).status, 0);
  EXPECT_EQ(tervala({"token", "show"}).status, 1) << "the standard entry stays untouched";

  // A server that keeps its refresh token and names no scope: the profile supplies the rest.
  endpoint.setReply(Reply::answer(200, R"({"access_token":"A2","token_type":"bearer","expires_in":"60"})"));
  for (int round = 0; round < 2; ++round) {
    const auto run = tervala({"token", "refresh", "--profile", "work"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto sent = endpoint.requests().back();
    EXPECT_EQ(sent.field("client_id"), "c");
    EXPECT_EQ(sent.field("scope"), "read");
    EXPECT_EQ(sent.field("refresh_token"), "test-refresh");
  }
  const auto token = nlohmann::json::parse(tervala({"token", "show", "--profile", "work", "--json"}).out);
  EXPECT_EQ(token["access_token"], "A2");
  EXPECT_EQ(token["scope"], nlohmann::json::array({"read"}));

  // Logout revokes the refresh token first (RFC 7009) with the profile's client id; a refusal
  // still forgets the token and says so.
  const std::vector<std::string> logout{"token", "logout",       "--profile",
                                        "work",  "--revoke-url", endpoint.url("/revoke")};
  endpoint.setReply(Reply::answer(503, ""));
  EXPECT_EQ(tervala(logout).status, 1);
  EXPECT_EQ(tervala({"token", "show", "--profile", "work"}).status, 1) << "forgotten although not revoked";
  endpoint.setReply(Reply{});
  ASSERT_EQ(tervala(login({"--profile", "work"})).status, 0);
  EXPECT_EQ(tervala(logout).status, 0);
  const auto revocation = endpoint.requests().back();
  EXPECT_EQ(revocation.path, "/revoke");
  EXPECT_EQ(revocation.field("token"), "test-refresh");
  EXPECT_EQ(revocation.field("token_type_hint"), "refresh_token");
  EXPECT_EQ(revocation.field("client_id"), "c");
  const auto gone = tervala({"token", "show", "--profile", "work"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "tervala: no stored token for profile work\n");
  EXPECT_EQ(tervala({"token", "logout", "--profile", "work"}).status, 1);
  // The account outlives the token: logging in again needs no --url.
  endpoint.setReply(Reply{});
  EXPECT_EQ(tervala(login({"--profile", "work"})).status, 0);
}

TEST_F(ProfileCli, RefusesBadNamesAndMissingSettings) {
  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"token", "show", "--profile", "a b"}, "--profile needs a name of 1 to 32"},
           {{"token", "logout", "--profile", "../x"}, "--profile needs a name"},
           {{"token", "show", "--profile", std::string(33, 'p')}, "--profile needs a name"},
           {login({"--profile", "new", "--client-id", "c"}),
            "token password needs --url or --issuer (the profile remembers none yet)"},
           {login({"--url", "http://127.0.0.1:1/t"}), "token password needs --client-id"},
           {login({"--url", "http://127.0.0.1:1/t", "--client-id", "c", "--strict", "--lenient"}),
            "give one of --strict and --lenient"},
       }) {
    const auto run = tervala(args);
    EXPECT_EQ(run.status, 2) << args.back();
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
}

TEST_F(ProfileCli, LenientByDefaultAndStrictNamesTheField) {
  endpoint.setReply(
      Reply::answer(200, R"({"access_token":"A","token_type":"bearer","refresh_token":"R","scope":"s"})"));
  const auto base = login({"--url", endpoint.url(), "--client-id", "c", "--store"});
  const auto lenient = tervala(base);
  ASSERT_EQ(lenient.status, 0) << lenient.err;
  EXPECT_NE(lenient.out.find(R"("expires_in":"nil")"), std::string::npos) << lenient.out;
  const auto shown = tervala({"token", "show"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.out.find("Expires: unknown\nExpired: no\n"), std::string::npos) << shown.out;

  auto strictArgs = base;
  strictArgs.emplace_back("--strict");
  const auto strict = tervala(strictArgs);
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.err, "tervala: the token endpoint's reply was refused: \"expires_in\" is missing\n");
}

}  // namespace
}  // namespace tervala
