// Mutual TLS: the client certificate presented to every endpoint that asks, the client named in
// the form, the token bound to the certificate, and the mutual-TLS endpoint aliases of discovery.
#include <gtest/gtest.h>

#include <tervala/ClientCertificate.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthDeviceFlow.hpp>
#include <tervala/OAuthDiscovery.hpp>
#include <tervala/OAuthRevocation.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/OAuthTokenStatus.hpp>

#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using test::Reply;
using test::TestCertificate;

class TrustingDelegate : public ServerTrustDelegate {
  ServerTrustDecision evaluateServerTrust(const std::vector<Data>&, std::string_view, bool) override {
    return ServerTrustDecision::accept;
  }
};

class MutualTls : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetSharedContext();
    endpoint.requestClientCertificate();
    context.serverTrustDelegate = std::make_shared<TrustingDelegate>();
    context.setClientCertificate(certificate);
  }
  void TearDown() override { test::resetSharedContext(); }
  OAuthContext& context = OAuthContext::sharedInstance();
  test::TokenEndpoint endpoint{TestCertificate::Kind::loopback};
  const TestCertificate made = TestCertificate::make(TestCertificate::Kind::clientOnly);
  const ClientCertificate certificate = *ClientCertificate::fromPem(made.certificatePem(), made.keyPem());
};

// Every endpoint that takes client authentication sees the certificate and the client id alone; a
// grant's token is bound to the certificate unless the reply names another, which is refused.
TEST_F(MutualTls, EveryEndpointSeesTheCertificateAndTheTokenIsBoundToIt) {
  struct Row {
    const char* name;
    std::string cnf;      // the reply's "cnf" member, with its comma; empty: none
    const char* failure;  // null: success
  };
  const std::string ours = certificate.thumbprint();
  for (const auto& row :
       std::vector<Row>{{"NoCnf", "", nullptr},
                        {"SameCertificate", R"(,"cnf":{"x5t#S256":")" + ours + "\"}", nullptr},
                        {"DpopKeyOnly", R"(,"cnf":{"jkt":"k"})", nullptr},
                        {"OtherCertificate", R"(,"cnf":{"x5t#S256":"other"})", "another"},
                        {"Malformed", R"(,"cnf":"x")", "malformed"}}) {
    SCOPED_TRACE(row.name);
    endpoint.setReply(Reply::answer(
        200, R"({"access_token":"a","token_type":"Bearer","expires_in":60,"refresh_token":"r","scope":"s")" +
                 row.cnf + "}"));
    for (const auto method :
         {ClientAuthentication::tlsClientAuth, ClientAuthentication::selfSignedTlsClientAuth}) {
      context.clientAuthentication = method;
      context.clientSecret = "never sent";
      const auto result = context.getAccessToken(endpoint.url(), "app", "code");
      ASSERT_EQ(result->hasError(), row.failure != nullptr) << result->errorDescription().value_or("");
      if (row.failure != nullptr) {
        EXPECT_NE(result->errorDescription().value_or("").find(row.failure), std::string::npos);
      } else {
        EXPECT_EQ(ClientCertificate::boundThumbprint(*result->serializeToToken()), ours);
      }
    }
  }
  endpoint.setReply(Reply::answer(200, R"({"active":true,"cnf":{"x5t#S256":")" + ours + "\"}}"));
  const auto status = OAuthTokenStatus::query(endpoint.url("/introspect"), "app", "a");
  ASSERT_TRUE(std::holds_alternative<TokenStatus>(status));
  EXPECT_EQ(ClientCertificate::boundThumbprint(std::get<TokenStatus>(status)), ours);
  endpoint.setReply(Reply::answer(200, ""));
  EXPECT_EQ(OAuthRevocation::revoke(endpoint.url("/revoke"), "app", "a"), std::nullopt);
  endpoint.setReply(Reply::answer(
      200, R"({"device_code":"d","user_code":"U","verification_uri":"https://e.x","expires_in":60})"));
  EXPECT_TRUE(
      std::holds_alternative<DeviceAuthorization>(OAuthDeviceFlow::start(endpoint.url("/device"), "app")));
  for (const auto& request : endpoint.requests()) {
    EXPECT_EQ(request.clientCertificate, ours) << request.path;
    EXPECT_EQ(request.field("client_id"), "app");
    EXPECT_FALSE(request.field("client_secret") || request.header("Authorization")) << request.path;
  }
}

// What cannot make a mutual-TLS request is refused before anything is sent, saying why.
TEST_F(MutualTls, UnusableCertificatesAndMissingOnesAreRefusedBeforeAnyRequest) {
  const auto other = TestCertificate::make(TestCertificate::Kind::clientOnly);
  for (const auto& [certificatePem, keyPem, reason] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {made.certificatePem(), other.keyPem(), "not the certificate's"},
           {made.keyPem(), made.keyPem(), "no PEM certificate"},
           {made.certificatePem(), made.certificatePem(), "no PEM private key"}}) {
    EXPECT_NE(ClientCertificate::fromPem(certificatePem, keyPem).reason().find(reason), std::string::npos)
        << reason;
  }
  const auto both = made.keyPem() + made.certificatePem();  // one file for both, as is common
  EXPECT_EQ(ClientCertificate::fromPem(both, both)->thumbprint(), certificate.thumbprint());
  EXPECT_NE(ClientCertificate::fromPemFiles("/nonexistent", "/nonexistent").reason().find("certificate file"),
            std::string::npos);
  context.setClientCertificate(std::nullopt);
  context.clientAuthentication = ClientAuthentication::tlsClientAuth;
  const auto result = context.getClientAccessToken(endpoint.url(), "app");
  EXPECT_NE(result->errorDescription().value_or("").find("needs a client certificate"), std::string::npos);
  EXPECT_TRUE(endpoint.requests().empty());
}

// The aliases replace the endpoints they name only for a client that presents a certificate; an
// alias is checked as the endpoints are.
TEST_F(MutualTls, DiscoveryUsesTheAliasesOnlyWithACertificate) {
  const std::string aliases = R"("mtls_endpoint_aliases":{"token_endpoint":"https://mtls.e.x/token",)"
                              R"("revocation_endpoint":"https://mtls.e.x/revoke"})";
  for (const auto& [withCertificate, alias, token, failure] :
       std::vector<std::tuple<bool, std::string, std::string, const char*>>{
           {true, aliases, "https://mtls.e.x/token", nullptr},
           {false, aliases, "https://e.x/token", nullptr},
           {true, R"("mtls_endpoint_aliases":{"token_endpoint":"http://mtls.e.x/t"})", "", "not https"}}) {
    const std::string issuer = endpoint.url("/tenant");
    endpoint.setHandler([&, alias = alias](const test::RecordedRequest&) {
      return Reply::answer(200, R"({"issuer":")" + issuer +
                                    R"(","token_endpoint":"https://e.x/token","introspection_endpoint":)"
                                    R"("https://e.x/introspect","response_types_supported":["code"],)" +
                                    alias + "}");
    });
    context.setClientCertificate(withCertificate ? std::optional(certificate) : std::nullopt);
    const auto result = OAuthDiscovery::discover(issuer);
    const auto* error = std::get_if<Error>(&result);
    ASSERT_EQ(error != nullptr, failure != nullptr);
    if (error != nullptr) {
      EXPECT_NE(error->localizedFailureReason().value_or("").find(failure), std::string::npos);
      continue;
    }
    const auto& metadata = std::get<AuthorizationServerMetadata>(result);
    EXPECT_EQ(metadata.tokenEndpoint, token);
    EXPECT_EQ(metadata.introspectionEndpoint, "https://e.x/introspect");
  }
}

}  // namespace
}  // namespace tervala
