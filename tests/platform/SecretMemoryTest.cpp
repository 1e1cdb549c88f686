// No block the library frees on a secret's path still holds the secret: while the calling thread
// is armed, the replaced operator delete scans each freed block. Blocks freed by libcurl, OpenSSL,
// SQLite (malloc) and the endpoint's threads are not seen. The JSON parser frees the raw text of
// the last string it read unwiped, so the replies here end with a harmless member.

#include <gtest/gtest.h>
#include <malloc.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include <tervala/ClientCertificate.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "platform/SecureMemory.hpp"
#include "support/TestCertificate.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace {

constexpr std::string_view longPassword = "pW7-qZr2Kx9mVb4NtL8cYe3Hs6Ju1Ad5Fg0QiRoE";
constexpr std::string_view shortPassword = "k3Vq9ZxR";  // inside a std::string's inline buffer
constexpr std::string_view accessToken = "at-4Hq8ZrX2mWv6NcL1pTy9Ks3Jd7Bf5Gh0UeRa";
constexpr std::string_view refreshToken = "rt-9Lm2Xq7VbN4cZw8Kp1Ty6Hs3Jd5Rf0GeUaQi";
// "12345678901234567890", the RFC 4226 secret, would be too common a byte run to look for.
constexpr std::string_view otpSecretBase32 = "EHEDMKRRYXSLZIRW5S4HO6RTKFXWQXCE";
constexpr std::array<unsigned char, 20> otpSecretBytes{0x21, 0xc8, 0x36, 0x2a, 0x31, 0xc5, 0xe4,
                                                       0xbc, 0xa2, 0x36, 0xec, 0xb8, 0x77, 0x7a,
                                                       0x33, 0x51, 0x6f, 0x68, 0x5c, 0x44};

// A secret made at run time (a generated key's text), looked for too when not empty.
std::string runtimeSecret;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
thread_local bool armed = false;
std::atomic<int> hits{0};

void scanAndFree(void* block) noexcept {
  if (armed && block != nullptr) {
    const std::size_t size = ::malloc_usable_size(block);
    for (const std::string_view needle :
         {longPassword, shortPassword, accessToken, refreshToken, otpSecretBase32,
          std::string_view(reinterpret_cast<const char*>(otpSecretBytes.data()), otpSecretBytes.size())}) {
      hits += ::memmem(block, size, needle.data(), needle.size()) != nullptr ? 1 : 0;
    }
    if (!runtimeSecret.empty()) {
      hits += ::memmem(block, size, runtimeSecret.data(), runtimeSecret.size()) != nullptr ? 1 : 0;
    }
  }
  std::free(block);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
}

// Counts the freed blocks holding a secret while alive; the calling thread only.
struct ArmedScan {
  ArmedScan() {
    hits = 0;
    armed = true;
  }
  ArmedScan(const ArmedScan&) = delete;
  ArmedScan& operator=(const ArmedScan&) = delete;
  ~ArmedScan() { armed = false; }
};

}  // namespace

// The array forms forward to these; no type on a secret's path is over-aligned.
// NOLINTBEGIN(misc-new-delete-overloads,cert-dcl54-cpp,hicpp-new-delete-operators)
void* operator new(std::size_t size) {
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  // A reused block may hold what the endpoint's threads freed: only bytes written while it is ours count.
  std::memset(block, 0, ::malloc_usable_size(block));
  return block;
}
void operator delete(void* block) noexcept {
  scanAndFree(block);
}
void operator delete(void* block, std::size_t /*size*/) noexcept {
  scanAndFree(block);
}
// NOLINTEND(misc-new-delete-overloads,cert-dcl54-cpp,hicpp-new-delete-operators)

namespace tervala {
namespace {

// A password grant, its token stored and read back, for a password longer than a std::string's
// inline buffer and one inside it.
TEST(SecretMemory, PasswordGrantStoreAndRetrieveFreeNoSecret) {
  for (const std::string_view password : {longPassword, shortPassword}) {
    SCOPED_TRACE(password);
    test::TokenEndpoint endpoint;
    endpoint.setReply(test::Reply::answer(200, R"({"access_token":")" + std::string(accessToken) +
                                                   R"(","token_type":"bearer","expires_in":3600,)"
                                                   R"("refresh_token":")" +
                                                   std::string(refreshToken) + R"(","scope":"read"})"));
    const test::TemporaryFolder folder;
    SettingsStore store(folder / "settings.sqlite3");
    // The result and the tokens hold the secrets by design until they go (second scan).
    OAuthContext::Result result;
    std::shared_ptr<OAuthToken> token;
    std::shared_ptr<OAuthToken> retrieved;
    {
      const ArmedScan scan;
      result = OAuthContext::sharedInstance().getAccessToken(endpoint.url(), "app", "alice", password);
      token = result->serializeToToken();
      ASSERT_TRUE(token && token->store(store));
      retrieved = OAuthToken::retrieve(store);
      EXPECT_EQ(hits.load(), 0);
    }
    ASSERT_TRUE(retrieved);
    EXPECT_EQ(retrieved->accessToken(), accessToken);
    EXPECT_EQ(retrieved->refreshToken(), refreshToken);
    EXPECT_EQ(endpoint.requests().at(0).field("password"), std::string(password));
    const ArmedScan scan;
    result.reset();
    token.reset();
    retrieved.reset();
    EXPECT_EQ(hits.load(), 0);
  }
}

// A client certificate read from one text that holds its key too, as one file often does, keeps
// no copy of the key where it is freed unwiped.
TEST(SecretMemory, ClientCertificateOfACombinedTextFreesNoKey) {
  const auto made = test::TestCertificate::make(test::TestCertificate::Kind::clientOnly);
  const std::string key = made.keyPem();
  runtimeSecret = key.substr(key.find('\n') + 1, 48);
  const platform::SecretText both = platform::secretText(key + made.certificatePem());
  {
    const ArmedScan scan;
    EXPECT_TRUE(ClientCertificate::fromPem(platform::view(both), platform::view(both)));
    EXPECT_EQ(hits.load(), 0);
  }
  runtimeSecret.clear();
}

TEST(SecretMemory, OtpMakeCreateAndReleaseFreeNoSecret) {
  const ArmedScan scan;
  EXPECT_TRUE([] {
    const auto generator = HotpGeneratorContext::make(otpSecretBase32, std::uint64_t{7});
    return generator && generator->create();
  }());
  EXPECT_EQ(hits.load(), 0);
}

}  // namespace
}  // namespace tervala
