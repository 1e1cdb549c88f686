// `tervala token device`, `revoke`, `inspect` and `--issuer`, against the loopback endpoint
// routing by path; the real binary for Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <thread>
#include <tuple>

#include "support/InProcessTool.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/ToolProcess.hpp"

namespace tervala {
namespace {

using test::RecordedRequest;
using test::Reply;
using Args = std::vector<std::string>;

constexpr const char* token =
    R"({"access_token":"at","token_type":"bearer","expires_in":60,"refresh_token":"rt","scope":"s"})";

class EndpointsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    server.setHandler([this](const RecordedRequest& request) {
      const auto found = routes.find(request.path);
      return found == routes.end() ? Reply::answer(404, "", "text/plain") : found->second;
    });
    const std::string base = server.url("");
    routes["/.well-known/oauth-authorization-server"] = Reply::answer(
        200, R"({"issuer":")" + base + R"(","token_endpoint":")" + base +
                 R"(/token","device_authorization_endpoint":")" + base +
                 R"(/device","revocation_endpoint":")" + base + R"(/revoke","introspection_endpoint":")" +
                 base + R"(/introspect","response_types_supported":["code"]})");
    routes["/device"] = Reply::answer(
        200, R"({"device_code":"dc","user_code":"ABCD-EFGH","verification_uri":"https://e.x/d",)"
             R"("verification_uri_complete":"https://e.x/d?c=ABCD-EFGH","expires_in":60,"interval":1})");
    routes["/token"] = Reply::answer(200, token);
    routes["/revoke"] = Reply::answer(200, "");
  }

  test::TokenEndpoint server;
  std::map<std::string, Reply> routes;  // set before the requests, read by the server's threads
};

TEST_F(EndpointsCli, DeviceShowsTheCodeThenPrintsTheToken) {
  const auto run =
      test::runTool({"token", "device", "--issuer", server.url(""), "--client-id", "c", "--no-qr"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind(R"({ "access_token":"at")", 0), 0U) << run.out;
  EXPECT_NE(run.err.find("Open https://e.x/d and enter the code ABCD-EFGH\n"), std::string::npos) << run.err;
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_EQ(requests[2].field("device_code"), "dc");
}

TEST_F(EndpointsCli, RevokeAndInspectSayWhatTheServerSaid) {
  const Reply active = Reply::answer(200, R"({"active":true,"scope":"a b","exp":1800000000,"x":"\u001b"})");
  // Each row: the command's arguments, what the introspection endpoint answers, exit status, output.
  for (const auto& [args, introspection, status, out] :
       std::vector<std::tuple<Args, Reply, int, std::string>>{
           {{"revoke", "--token", "t1"}, active, 0, ""},
           {{"inspect", "--token", "t1"},
            active,
            0,
            R"({"active":true,"exp":1800000000,"scope":"a b","x":"\u001b"})"},
           {{"inspect", "--token", "t1"},
            Reply::answer(200, R"({"active":false})"),
            3,
            R"({"active":false})"},
           {{"inspect", "--token", "t1"},
            Reply::answer(401, R"({"error":"invalid_client"})"),
            1,
            R"({ "error_reason":"invalid_client","error_description":"invalid_client" })"},
           {{"inspect"}, active, 2, ""},
       }) {
    routes["/introspect"] = introspection;
    Args full{"token"};
    full.insert(full.end(), args.begin(), args.end());
    full.insert(full.end(), {"--issuer", server.url(""), "--client-id", "c"});
    const auto run = test::runTool(full);
    EXPECT_EQ(run.status, status) << args[0] << run.err;
    EXPECT_EQ(run.out, out.empty() ? "" : out + "\n");
    if (status != 2) {
      EXPECT_EQ(server.requests().back().field("token"), "t1");
    }
  }
}

TEST_F(EndpointsCli, IssuerStandsInForTheTokenEndpointOfEveryGrant) {
  const auto run = test::runTool(
      {"token", "refresh", "--issuer", server.url(""), "--client-id", "c", "--refresh-token", "r1"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(server.requests().back().path, "/token");
  const auto lost = test::runTool(
      {"token", "refresh", "--issuer", server.url("/nobody"), "--client-id", "c", "--refresh-token", "r1"});
  EXPECT_EQ(lost.status, 1);
  EXPECT_NE(lost.err.find("no endpoints from issuer"), std::string::npos) << lost.err;
}

TEST_F(EndpointsCli, InterruptCancelsTheWaitWithOneLine) {
  routes["/token"] = Reply::answer(400, R"({"error":"authorization_pending"})");
  test::ToolProcess tool({"token", "device", "--device-url", server.url("/device"), "--url",
                          server.url("/token"), "--client-id", "c"});
  // Interrupted only once it waits: after the device authorization request has been answered.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.requests().empty() && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(::kill(tool.pid(), SIGINT), 0);
  const auto outcome = tool.finish();
  EXPECT_EQ(outcome.status, 128 + SIGINT);
  EXPECT_NE(outcome.err.find("\ntervala: cancelled\n"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace tervala
