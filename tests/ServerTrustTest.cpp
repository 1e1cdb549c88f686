// Server trust over HTTPS on loopback: the default verdict, the host-name check, a host delegate
// that accepts, rejects or keeps the default, and the tool's --cacert delegate, with
// certificates made by the test.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <mutex>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

// The --cacert delegate lives in the command-line tool, which has no library of its own. Its
// helper types sit in an unnamed namespace, which GCC flags in an included file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsubobject-linkage"
#include "../cli/CertificateFileTrust.cpp"  // NOLINT(bugprone-suspicious-include)
#pragma GCC diagnostic pop
#include "platform/HttpTransfer.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::CompletionProbe;
using test::TestCertificate;
using test::TokenEndpoint;

// Answers as told and remembers what it was asked.
class RecordingDelegate : public ServerTrustDelegate {
 public:
  explicit RecordingDelegate(ServerTrustDecision answer) : answer_(answer) {}

  ServerTrustDecision evaluateServerTrust(const std::vector<Data>& chain, std::string_view host,
                                          bool defaultVerdict) override {
    const std::lock_guard lock(mutex_);
    ++calls;
    lastChain = chain;
    lastHost = host;
    lastDefaultVerdict = defaultVerdict;
    return answer_;
  }

  std::mutex mutex_;
  int calls = 0;
  std::vector<Data> lastChain;
  std::string lastHost;
  bool lastDefaultVerdict = true;

 private:
  ServerTrustDecision answer_;
};

// Trusts exactly one certificate, whatever the default says: a pinned server.
class PinningDelegate : public ServerTrustDelegate {
 public:
  explicit PinningDelegate(Data pinned) : pinned_(std::move(pinned)) {}
  ServerTrustDecision evaluateServerTrust(const std::vector<Data>& chain, std::string_view, bool) override {
    return !chain.empty() && chain.front() == pinned_ ? ServerTrustDecision::accept
                                                      : ServerTrustDecision::reject;
  }

 private:
  Data pinned_;
};

const platform::SecretText form = [] {
  const std::string_view text = "grant_type=password";
  return platform::SecretText(text.begin(), text.end());
}();

class OAuthServerTrust : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  std::shared_ptr<const OAuthResult> grant(const TokenEndpoint& endpoint) {
    CompletionProbe probe;
    context.timeoutInterval = 5.0;
    context.getAccessToken(endpoint.url(), "app", "alice", "pw", probe.completion());
    return probe.wait();
  }

  static void expectUntrusted(const std::shared_ptr<const OAuthResult>& result,
                              const TokenEndpoint& endpoint) {
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, "NSURLErrorDomain");
    EXPECT_EQ(result->error()->code, -1202) << result->error()->localizedFailureReason().value_or("");
    EXPECT_TRUE(endpoint.requests().empty());  // the credentials never left the client
  }

  OAuthContext& context = OAuthContext::sharedInstance();
};

TEST_F(OAuthServerTrust, DelegateAcceptingGetsTheLeafHostAndDefaultVerdict) {
  const TokenEndpoint endpoint(TestCertificate::Kind::loopback);
  const auto delegate = std::make_shared<RecordingDelegate>(ServerTrustDecision::accept);
  context.serverTrustDelegate = delegate;
  const auto result = grant(endpoint);
  ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
  EXPECT_EQ(result->serializeToToken()->accessToken(), "test-access");
  ASSERT_EQ(endpoint.requests().size(), 1U);
  const std::lock_guard lock(delegate->mutex_);
  EXPECT_GE(delegate->calls, 1);
  ASSERT_EQ(delegate->lastChain.size(), 1U);
  EXPECT_EQ(delegate->lastChain.front(), endpoint.certificate().der());
  EXPECT_EQ(delegate->lastHost, "127.0.0.1");
  EXPECT_FALSE(delegate->lastDefaultVerdict);
}

// libcurl's CA bundle missing, as on a machine without one: the delegate still decides.
TEST_F(OAuthServerTrust, DelegateDecidesWithoutASystemCaFile) {
  const TokenEndpoint endpoint(TestCertificate::Kind::loopback);
  for (const auto answer : {ServerTrustDecision::accept, ServerTrustDecision::reject}) {
    const auto delegate = std::make_shared<RecordingDelegate>(answer);
    const platform::HttpRequest request{endpoint.url(), "127.0.0.1", form, 5.0, delegate, {}};
    platform::TransferGate::Inside inside;
    const auto reply = platform::HttpTransfer::perform(request, 1U << 20U, inside,
                                                       "/nonexistent/tervala/ca-certificates.crt");
    EXPECT_EQ(reply.statusCode == 200, answer == ServerTrustDecision::accept);
    const std::lock_guard lock(delegate->mutex_);
    EXPECT_GE(delegate->calls, 1);
    EXPECT_FALSE(delegate->lastDefaultVerdict);
  }
}

// Unknown, for another host or expired: refused without a delegate and by one keeping the default.
TEST_F(OAuthServerTrust, DefaultRefusesUntrustedCertificates) {
  for (const auto kind :
       {TestCertificate::Kind::loopback, TestCertificate::Kind::wrongHost, TestCertificate::Kind::expired}) {
    for (const bool withDelegate : {false, true}) {
      const TokenEndpoint endpoint(kind);
      const auto delegate = std::make_shared<RecordingDelegate>(ServerTrustDecision::performDefaultHandling);
      context.serverTrustDelegate = withDelegate ? delegate : nullptr;
      expectUntrusted(grant(endpoint), endpoint);
      const std::lock_guard lock(delegate->mutex_);
      EXPECT_EQ(delegate->calls > 0, withDelegate);
      EXPECT_FALSE(delegate->lastDefaultVerdict && withDelegate);
    }
  }
}

TEST_F(OAuthServerTrust, DelegateRejectingIsUntrustedAndSaysSo) {
  const TokenEndpoint endpoint(TestCertificate::Kind::loopback);
  context.serverTrustDelegate = std::make_shared<RecordingDelegate>(ServerTrustDecision::reject);
  const auto result = grant(endpoint);
  expectUntrusted(result, endpoint);
  EXPECT_NE(result->error()->localizedDescription().find("trust delegate"), std::string::npos);
}

TEST_F(OAuthServerTrust, PinnedCertificateIsAcceptedEvenForAnotherHostOrExpiredAndNoOtherIs) {
  for (const auto kind : {TestCertificate::Kind::wrongHost, TestCertificate::Kind::expired}) {
    const TokenEndpoint endpoint(kind);
    context.serverTrustDelegate = std::make_shared<PinningDelegate>(endpoint.certificate().der());
    const auto result = grant(endpoint);
    ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
  }
  const TokenEndpoint endpoint(TestCertificate::Kind::loopback);
  context.serverTrustDelegate =
      std::make_shared<PinningDelegate>(TestCertificate::make(TestCertificate::Kind::loopback).der());
  expectUntrusted(grant(endpoint), endpoint);
}

TEST_F(OAuthServerTrust, ServerOfferingOnlyTlsBelowOneTwoIsRefusedEvenWhenTrusted) {
  TokenEndpoint endpoint(TestCertificate::Kind::loopback);
  endpoint.setMaxTlsVersion(TLS1_1_VERSION);
  context.serverTrustDelegate = std::make_shared<RecordingDelegate>(ServerTrustDecision::accept);
  const auto result = grant(endpoint);
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->domain, "NSURLErrorDomain");
  EXPECT_EQ(result->error()->code, -1200) << result->error()->localizedFailureReason().value_or("");
  EXPECT_TRUE(endpoint.requests().empty());
}

TEST_F(OAuthServerTrust, PlainHttpNeverAsksTheDelegate) {
  const TokenEndpoint endpoint;
  const auto delegate = std::make_shared<RecordingDelegate>(ServerTrustDecision::reject);
  context.serverTrustDelegate = delegate;
  const auto result = grant(endpoint);
  ASSERT_TRUE(result && !result->hasError());
  const std::lock_guard lock(delegate->mutex_);
  EXPECT_EQ(delegate->calls, 0);
}

// A certificate the client trusts (its CA file names it) but issued for another host: only the
// host-name check can refuse it, on the library's own path and on a delegate's default verdict.
TEST_F(OAuthServerTrust, TrustedCertificateForAnotherHostIsUntrusted) {
  const test::TemporaryFolder folder;
  for (const auto kind : {TestCertificate::Kind::loopback, TestCertificate::Kind::wrongHost}) {
    const TokenEndpoint endpoint(kind);
    const std::string caFile = folder / "ca.pem";
    endpoint.certificate().writePem(caFile);
    for (const bool withDelegate : {false, true}) {
      platform::HttpRequest request{endpoint.url(), "127.0.0.1", form, 5.0, nullptr, {}};
      if (withDelegate) {
        request.trustDelegate =
            std::make_shared<RecordingDelegate>(ServerTrustDecision::performDefaultHandling);
      }
      platform::TransferGate::Inside inside;
      const auto reply = platform::HttpTransfer::perform(request, 1U << 20U, inside, caFile);
      SCOPED_TRACE(withDelegate ? "delegate keeping the default" : "no delegate");
      if (kind == TestCertificate::Kind::loopback) {
        EXPECT_FALSE(reply.transportError) << reply.transportError->localizedFailureReason().value_or("");
      } else {
        ASSERT_TRUE(reply.transportError);
        EXPECT_EQ(reply.transportError->code, -1202);
      }
    }
  }
}

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using cli::Certificate;

// A certificate for `subject` signed by `issuerKey` (itself when no issuer is given), with the
// given extensions ("name", "value" as openssl's configuration writes them).
Certificate makeCertificate(const std::string& subject, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                            const std::vector<std::pair<int, std::string>>& extensions) {
  Certificate certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), static_cast<long>(subject.size()) + 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
  X509_NAME* const name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(certificate.get(), key);
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : certificate.get(), certificate.get(), nullptr,
                 nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* const extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    EXPECT_NE(extension, nullptr) << value;
    X509_add_ext(certificate.get(), extension, -1);
    X509_EXTENSION_free(extension);
  }
  EXPECT_GT(X509_sign(certificate.get(), issuerKey, EVP_sha256()), 0);
  return certificate;
}

Data derOf(X509* certificate) {
  unsigned char* bytes = nullptr;
  const int size = i2d_X509(certificate, &bytes);
  Data der(bytes, bytes + std::max(size, 0));
  OPENSSL_free(bytes);
  return der;
}

TEST(CertificateFileTrust, LeafMustBeFitForATlsServer) {
  const test::TemporaryFolder folder;
  const Key caKey(EVP_EC_gen("P-256"));
  const Key leafKey(EVP_EC_gen("P-256"));
  const Certificate ca =
      makeCertificate("Test CA", caKey.get(), nullptr, caKey.get(),
                      {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign"}});
  const auto caFile = folder / "ca.pem";
  {
    const std::unique_ptr<std::FILE, cli::FileCloser> out(std::fopen(caFile.c_str(), "w"));
    ASSERT_TRUE(out && PEM_write_X509(out.get(), ca.get()) == 1);
  }
  const auto trust = cli::CertificateFileTrust::load(caFile.string());
  ASSERT_TRUE(trust);

  const std::vector<std::pair<std::string, ServerTrustDecision>> cases = {
      {"", ServerTrustDecision::accept},
      {"serverAuth", ServerTrustDecision::accept},
      {"clientAuth", ServerTrustDecision::reject},
      {"emailProtection", ServerTrustDecision::reject}};
  for (const auto& [usage, decision] : cases) {
    std::vector<std::pair<int, std::string>> extensions = {{NID_subject_alt_name, "IP:127.0.0.1"}};
    if (!usage.empty()) {
      extensions.emplace_back(NID_ext_key_usage, usage);
    }
    const Certificate leaf = makeCertificate("leaf", leafKey.get(), ca.get(), caKey.get(), extensions);
    EXPECT_EQ(trust->evaluateServerTrust({derOf(leaf.get())}, "127.0.0.1", false), decision) << usage;
  }
}

}  // namespace
}  // namespace tervala
