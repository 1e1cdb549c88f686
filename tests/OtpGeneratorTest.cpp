// One-time passwords: the hash names, the RFC vectors, a cross-check against OpenSSL's one-shot
// HMAC, the counters of HOTP, the clock of TOTP and the debug lines of each operation.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/Text.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "support/LineCapture.hpp"

namespace tervala {
namespace {

using Lines = std::vector<std::string>;

constexpr std::uint64_t lastCounter = std::numeric_limits<std::uint64_t>::max();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The RFC 4226 and RFC 6238 secrets ("1234567890" repeated to 20, 32 and 64 bytes), in Base32.
const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string secret32 = secret20 + secret20.substr(0, 19) + "A====";
const std::string secret64 = secret20 + secret20 + secret20 + secret20.substr(0, 6) + "A=";

// RFC 4226 section 5.3 on OpenSSL's one-shot HMAC, as a reference.
std::string referenceCode(const EVP_MD* md, const Data& key, std::uint64_t counter, int digits) {
  std::uint8_t message[8];
  for (int i = 7; i >= 0; --i, counter >>= 8) {
    message[i] = static_cast<std::uint8_t>(counter);
  }
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  static const std::uint8_t empty = 0;
  HMAC(md, key.empty() ? &empty : key.data(), static_cast<int>(key.size()), message, 8, digest, &length);
  const unsigned at = digest[length - 1] & 0x0FU;
  const std::uint32_t value =
      ((digest[at] & 0x7FU) << 24) | (digest[at + 1] << 16) | (digest[at + 2] << 8) | digest[at + 3];
  const std::string code = std::to_string(value % (digits == 8 ? 100000000U : 1000000U));
  return std::string(static_cast<std::size_t>(digits) - code.size(), '0') + code;
}

TEST(HmacAlgorithmNames, UpperCasedInFullThenComparedExactly) {
  for (const auto& [name, algorithm] : std::vector<std::pair<std::string, std::optional<HmacAlgorithm>>>{
           {"sHa512", HmacAlgorithm::SHA512},
           {"\xC5\xBFha1", HmacAlgorithm::SHA1},  // long s upper-cases to "S"
           {"\xC3\x9Fha1", std::nullopt},         // sharp s upper-cases to "SS"
           {"SHA-1", std::nullopt},
           {std::string("SHA1\0", 5), std::nullopt},
           {"SHA1\xFF", std::nullopt}}) {
    EXPECT_EQ(hmacAlgorithmFromName(name), algorithm) << ::testing::PrintToString(name);
  }
  EXPECT_EQ(hmacAlgorithmFromRawValue(2), HmacAlgorithm::SHA512);
  EXPECT_EQ(hmacAlgorithmFromRawValue(3), std::nullopt);
  EXPECT_EQ(hmacAlgorithmFromRawValue(-1), std::nullopt);
}

// RFC 4226 Appendix D through both the base and the counting generator; RFC 6238 Appendix B, two
// times per hash (one with a leading zero, one past 32-bit counters).
TEST(OtpGenerator, RfcVectors) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 0);
  ASSERT_TRUE(base && hotp);
  std::uint64_t counter = 0;
  for (const std::string code :
       {"755224", "287082", "359152", "969429", "338314", "254676", "287922", "162583", "399871", "520489"}) {
    EXPECT_EQ(hotp->create(), code) << counter;
    EXPECT_EQ(base->create(counter++), code) << code;
  }
  for (const auto& [time, algorithm, secret, code] :
       std::vector<std::tuple<double, HmacAlgorithm, std::string, std::string>>{
           {59, HmacAlgorithm::SHA1, secret20, "94287082"},
           {1111111109, HmacAlgorithm::SHA1, secret20, "07081804"},
           {59, HmacAlgorithm::SHA256, secret32, "46119246"},
           {20000000000, HmacAlgorithm::SHA256, secret32, "77737706"},
           {59, HmacAlgorithm::SHA512, secret64, "90693936"},
           {20000000000, HmacAlgorithm::SHA512, secret64, "47863826"}}) {
    const auto totp = TotpGeneratorContext::make(secret, 8, algorithm);
    ASSERT_TRUE(totp);
    EXPECT_EQ(totp->create(time), code) << time;
  }
}

// Keys around the block sizes (64 and 128 bytes, where HMAC first hashes the key), the empty key,
// and counters at both ends, against OpenSSL's one-shot HMAC.
TEST(OtpGenerator, MatchesOneShotHmacForKeysOfEveryLength) {
  std::mt19937 random(2026);
  for (const std::size_t keyLength : {0, 1, 20, 63, 64, 65, 127, 128, 129, 200}) {
    std::string text((keyLength * 8 + 4) / 5, 'A');  // random Base32 of exactly that many bytes
    std::generate(text.begin(), text.end(),
                  [&] { return "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"[random() % 32]; });
    const Data key = fromBase32(text).value_or(Data{});
    ASSERT_EQ(key.size(), keyLength);
    for (const auto& [algorithm, md] : {std::pair{HmacAlgorithm::SHA1, EVP_sha1()},
                                        {HmacAlgorithm::SHA256, EVP_sha256()},
                                        {HmacAlgorithm::SHA512, EVP_sha512()}}) {
      for (const int digits : {6, 8}) {
        const auto generator = OtpGeneratorContext::make(text, digits, algorithm);
        ASSERT_TRUE(generator) << keyLength;
        for (const std::uint64_t counter : {std::uint64_t{1}, std::uint64_t{random()}, lastCounter}) {
          EXPECT_EQ(generator->create(counter), referenceCode(md, key, counter, digits))
              << "key length " << keyLength << " counter " << counter;
        }
      }
    }
  }
  for (const std::int64_t digits : {0, 5, 7, -6}) {
    EXPECT_FALSE(OtpGeneratorContext::make(secret20, digits)) << digits;
  }
  EXPECT_FALSE(OtpGeneratorContext::make(secret20, 6, static_cast<HmacAlgorithm>(3)));
  EXPECT_FALSE(OtpGeneratorContext::make("not base32!", 6));
}

TEST(HotpGenerator, UsesTheCounterThenStepsItUntilSpent) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 5);
  const auto last = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, lastCounter);
  ASSERT_TRUE(base && hotp && last);
  EXPECT_EQ(hotp->create(), base->create(5));
  EXPECT_EQ(hotp->create(100), base->create(100));  // the base's create leaves the counter alone
  EXPECT_EQ(hotp->create(), base->create(6));
  EXPECT_EQ(last->create(), base->create(lastCounter));
  EXPECT_EQ(last->create(), std::nullopt);
}

// Threads drawing from one counter get each of its last 400 values once, then nothing.
TEST(HotpGenerator, ConcurrentCallsNeverShareACounterValue) {
  const auto hotp = HotpGeneratorContext::make(secret20, 8, HmacAlgorithm::SHA1, lastCounter - 399);
  const auto base = OtpGeneratorContext::make(secret20, 8);
  ASSERT_TRUE(hotp && base);
  Lines all;
  Lines expected;
  std::mutex mutex;
  {
    std::vector<std::jthread> threads(4);
    for (auto& thread : threads) {
      thread = std::jthread([&] {
        for (int i = 0; i < 150; ++i) {
          if (auto code = hotp->create()) {
            const std::lock_guard lock(mutex);
            all.push_back(std::move(*code));
          }
        }
      });
    }
  }
  for (std::uint64_t counter = lastCounter - 399; counter != 0; ++counter) {
    expected.push_back(*base->create(counter));
  }
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
}

TEST(TotpGenerator, TimeMapsToWholePeriodsSinceTheEpoch) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto totp = TotpGeneratorContext::make(secret20);
  const auto fractional = TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 12.5);
  ASSERT_TRUE(base && totp && fractional);
  using Step = std::tuple<TotpGeneratorContext*, double, std::uint64_t>;
  for (const auto& [generator, time, counter] : std::vector<Step>{{totp.get(), 29.999, 0},
                                                                  {totp.get(), 30.0, 1},
                                                                  {totp.get(), 1.7e9, 56666666},
                                                                  {fractional.get(), 24.999, 1},
                                                                  {fractional.get(), 25.0, 2}}) {
    EXPECT_EQ(generator->create(time), base->create(counter)) << time;
  }
  for (const double time : {-0.001, nan, 18446744073709551616.0 * 30}) {
    EXPECT_EQ(totp->create(time), std::nullopt) << time;
  }
  for (const double period : {9.99, 300.01, nan}) {
    EXPECT_FALSE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, period)) << period;
  }
  EXPECT_TRUE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 300.0));
  const double step = 30.0 * 56666666;
  using Left = std::tuple<double, double, std::optional<std::int64_t>>;
  for (const auto& [period, now, left] : std::vector<Left>{{30.0, step + 12.9, 18},
                                                           {30.0, step, 30},
                                                           {30.0, 29.999, 1},
                                                           {30.5, 30.4, 0},
                                                           {0.5, step, std::nullopt},
                                                           {30.0, -1.0, std::nullopt}}) {
    EXPECT_EQ(TotpGeneratorContext::remainingTime(period, now), left) << period << " at " << now;
  }
}

// Each operation writes its class's line on entry, then the base's; refusals write theirs too.
TEST(OtpDebugLines, EachOperationWritesItsLinesInOrder) {
  test::LineCapture capture;
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 0);
  EXPECT_FALSE(TotpGeneratorContext::make("AAA"));
  ASSERT_TRUE(hotp);
  (void)hotp->create();
  (void)TotpGeneratorContext::remainingTime(30.0, 1.0);
  const std::string otpInit = "Tervala.OtpGeneratorContext init(secret:digits:algorithm:)";
  EXPECT_EQ(capture.take(),
            (Lines{"Tervala.HotpGeneratorContext init(secret:digits:algorithm:counter:)", otpInit,
                   "Tervala.TotpGeneratorContext init(secret:digits:algorithm:period:)", otpInit,
                   "String length is invalid.", "Tervala.HotpGeneratorContext create()",
                   "Tervala.OtpGeneratorContext create", "Tervala.TotpGeneratorContext remainingTime"}));
}

}  // namespace
}  // namespace tervala
