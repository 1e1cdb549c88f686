// One-time passwords: the hash names, the RFC vectors, a cross-check against OpenSSL's one-shot
// HMAC, the counters of HOTP and the clock of TOTP, and the debug lines of each operation.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "support/LineCapture.hpp"

namespace tervala {
namespace {

using test::LineCapture;
using Lines = std::vector<std::string>;

constexpr std::uint64_t lastCounter = std::numeric_limits<std::uint64_t>::max();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// The secrets of RFC 4226 Appendix D and RFC 6238 Appendix B, in Base32.
const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string secret32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
const std::string secret64 =
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA"
    "=";

const std::string otpInit = "Tervala.OtpGeneratorContext init(secret:digits:algorithm:)";
const std::string otpCreate = "Tervala.OtpGeneratorContext create";
const std::string hotpInit = "Tervala.HotpGeneratorContext init(secret:digits:algorithm:counter:)";
const std::string hotpCreate = "Tervala.HotpGeneratorContext create()";
const std::string totpInit = "Tervala.TotpGeneratorContext init(secret:digits:algorithm:period:)";
const std::string totpCreate = "Tervala.TotpGeneratorContext create";
const std::string totpRemaining = "Tervala.TotpGeneratorContext remainingTime";

// An independent Base32 encoder, so the cross-check below can feed any key bytes.
std::string toBase32(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string text;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const auto byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      text.push_back(alphabet[(buffer >> (bits - 5)) & 31U]);
      bits -= 5;
    }
  }
  if (bits > 0) {
    text.push_back(alphabet[(buffer << (5 - bits)) & 31U]);
  }
  return text;
}

// RFC 4226 section 5.3 on OpenSSL's one-shot HMAC, as a reference.
std::string referenceCode(const EVP_MD* md, const std::vector<std::uint8_t>& key, std::uint64_t counter,
                          int digits) {
  std::uint8_t message[8];
  for (int i = 7; i >= 0; --i, counter >>= 8) {
    message[i] = static_cast<std::uint8_t>(counter);
  }
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  static const std::uint8_t empty = 0;
  if (HMAC(md, key.empty() ? &empty : key.data(), static_cast<int>(key.size()), message, 8, digest,
           &length) == nullptr) {
    return "HMAC failed";
  }
  const unsigned offset = digest[length - 1] & 0x0FU;
  const std::uint32_t value = ((digest[offset] & 0x7FU) << 24) | (digest[offset + 1] << 16) |
                              (digest[offset + 2] << 8) | digest[offset + 3];
  std::string code = std::to_string(value % (digits == 8 ? 100000000U : 1000000U));
  return std::string(static_cast<std::size_t>(digits) - code.size(), '0') + code;
}

// Names are upper-cased in full (Unicode) and then compared exactly.
TEST(HmacAlgorithmNames, UpperCasedThenComparedExactly) {
  using Named = std::pair<std::string, std::optional<HmacAlgorithm>>;
  for (const auto& [name, algorithm] :
       std::vector<Named>{{"sha1", HmacAlgorithm::SHA1},
                          {"sHa512", HmacAlgorithm::SHA512},
                          {"\xC5\xBFha1", HmacAlgorithm::SHA1},  // long s upper-cases to "S"
                          {"SHA-1", std::nullopt},
                          {"SHA384", std::nullopt},
                          {std::string("SHA1\0", 5), std::nullopt},
                          {"\xC3\x9Fha1", std::nullopt},  // sharp s upper-cases to "SS"
                          {"SHA1\xFF", std::nullopt}}) {  // not UTF-8
    EXPECT_EQ(hmacAlgorithmFromName(name), algorithm) << ::testing::PrintToString(name);
  }
  EXPECT_EQ(hmacAlgorithmFromRawValue(2), HmacAlgorithm::SHA512);
  for (const std::int64_t other : {std::int64_t{-1}, std::int64_t{3}, INT64_MIN}) {
    EXPECT_EQ(hmacAlgorithmFromRawValue(other), std::nullopt) << other;
  }
}

TEST(OtpGenerator, Rfc4226AppendixD) {
  const std::vector<std::string> expected{"755224", "287082", "359152", "969429", "338314",
                                          "254676", "287922", "162583", "399871", "520489"};
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 0);
  ASSERT_TRUE(base && hotp);
  for (std::uint64_t counter = 0; counter < expected.size(); ++counter) {
    EXPECT_EQ(base->create(counter), expected[counter]) << counter;
    EXPECT_EQ(hotp->create(), expected[counter]) << counter;
  }
}

// RFC 6238 Appendix B, two times per hash (one with a leading zero, one past 32-bit counters).
TEST(OtpGenerator, Rfc6238AppendixB) {
  struct Vector {
    double time;
    HmacAlgorithm algorithm;
    const std::string& secret;
    std::string code;
  };
  for (const auto& [time, algorithm, secret, code] :
       std::vector<Vector>{{59, HmacAlgorithm::SHA1, secret20, "94287082"},
                           {1111111109, HmacAlgorithm::SHA1, secret20, "07081804"},
                           {59, HmacAlgorithm::SHA256, secret32, "46119246"},
                           {20000000000, HmacAlgorithm::SHA256, secret32, "77737706"},
                           {59, HmacAlgorithm::SHA512, secret64, "90693936"},
                           {20000000000, HmacAlgorithm::SHA512, secret64, "47863826"}}) {
    const auto totp = TotpGeneratorContext::make(secret, 8, algorithm);
    ASSERT_TRUE(totp);
    EXPECT_EQ(totp->create(time), code) << time;
    EXPECT_NE(totp->create(time + 30), code) << time;  // the next period's code differs
    const OtpGeneratorContext& base = *totp;
    EXPECT_EQ(base.create(static_cast<std::uint64_t>(time / 30)), code) << time;
  }
}

// Keys of every length around the block sizes (64 and 128 bytes, where HMAC first hashes the
// key) and counters at both ends, against OpenSSL's one-shot HMAC.
TEST(OtpGenerator, MatchesOneShotHmacForKeysOfEveryLength) {
  std::mt19937 random(2026);
  const std::vector<std::pair<HmacAlgorithm, const EVP_MD*>> hashes{{HmacAlgorithm::SHA1, EVP_sha1()},
                                                                    {HmacAlgorithm::SHA256, EVP_sha256()},
                                                                    {HmacAlgorithm::SHA512, EVP_sha512()}};
  for (std::size_t keyLength = 0; keyLength <= 200; keyLength += 5) {
    std::vector<std::uint8_t> key(keyLength);
    std::generate(key.begin(), key.end(), [&] { return static_cast<std::uint8_t>(random()); });
    for (const auto& [algorithm, md] : hashes) {
      for (const int digits : {6, 8}) {
        const auto generator = OtpGeneratorContext::make(toBase32(key), digits, algorithm);
        ASSERT_TRUE(generator) << keyLength;
        for (const std::uint64_t counter :
             {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{random()}, lastCounter}) {
          EXPECT_EQ(generator->create(counter), referenceCode(md, key, counter, digits))
              << "key length " << keyLength << " counter " << counter;
        }
      }
    }
  }
}

TEST(OtpGenerator, RefusesOtherDigitsAlgorithmsAndSecrets) {
  for (const std::int64_t digits : {0, 5, 7, 9, -6}) {
    EXPECT_FALSE(OtpGeneratorContext::make(secret20, digits)) << digits;
  }
  EXPECT_FALSE(HotpGeneratorContext::make(secret20, 7, HmacAlgorithm::SHA1, 0));
  EXPECT_FALSE(TotpGeneratorContext::make(secret20, 7));
  EXPECT_FALSE(OtpGeneratorContext::make(secret20, 6, static_cast<HmacAlgorithm>(3)));
  EXPECT_FALSE(OtpGeneratorContext::make("not base32!", 6));
  const auto empty = OtpGeneratorContext::make("");  // an empty HMAC key
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->create(7), referenceCode(EVP_sha1(), {}, 7, 6));
}

TEST(HotpGenerator, UsesTheCounterThenStepsItUntilSpent) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 5);
  const auto last = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, lastCounter - 1);
  ASSERT_TRUE(base && hotp && last);
  EXPECT_EQ(hotp->create(), base->create(5));
  EXPECT_EQ(hotp->create(100), base->create(100));  // the base's create leaves the counter alone
  EXPECT_EQ(hotp->create(), base->create(6));
  EXPECT_EQ(last->create(), base->create(lastCounter - 1));
  EXPECT_EQ(last->create(), base->create(lastCounter));
  LineCapture capture;
  EXPECT_EQ(last->create(), std::nullopt);
  EXPECT_EQ(capture.take(), Lines{hotpCreate});
  EXPECT_EQ(last->create(0), base->create(0));
}

TEST(HotpGenerator, ConcurrentCallsNeverShareACounterValue) {
  const auto hotp = HotpGeneratorContext::make(secret20, 8, HmacAlgorithm::SHA1, lastCounter - 399);
  const auto base8 = OtpGeneratorContext::make(secret20, 8);
  ASSERT_TRUE(hotp && base8);
  std::vector<std::vector<std::string>> codes(4);
  std::vector<std::string> expected;
  {
    std::vector<std::jthread> threads;
    for (auto& mine : codes) {
      threads.emplace_back([&hotp, &mine] {
        for (int i = 0; i < 150; ++i) {
          if (auto code = hotp->create()) {
            mine.push_back(std::move(*code));
          }
        }
      });
    }
  }
  std::vector<std::string> all;
  for (const auto& mine : codes) {
    all.insert(all.end(), mine.begin(), mine.end());
  }
  for (std::uint64_t counter = lastCounter - 399; counter != 0; ++counter) {  // up to the last, then wraps
    expected.push_back(*base8->create(counter));
  }
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);  // 400 values, each once, then nothing
}

TEST(TotpGenerator, PeriodsFromTenToThreeHundredSeconds) {
  EXPECT_TRUE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 10.0));
  EXPECT_TRUE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 300.0));
  for (const double period : {9.99, 300.01, -30.0, nan, infinity}) {
    EXPECT_FALSE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, period)) << period;
  }
}

TEST(TotpGenerator, TimeMapsToWholePeriodsSinceTheEpoch) {
  const auto totp = TotpGeneratorContext::make(secret20);
  const auto fractional = TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 12.5);
  const auto base = OtpGeneratorContext::make(secret20);
  ASSERT_TRUE(totp && fractional && base);
  for (const auto& [time, counter] :
       std::vector<std::pair<double, std::uint64_t>>{{-0.0, 0}, {29.999, 0}, {30.0, 1}, {1.7e9, 56666666}}) {
    EXPECT_EQ(totp->create(time), base->create(counter)) << time;
  }
  EXPECT_EQ(fractional->create(25.0), base->create(2));
  EXPECT_EQ(fractional->create(24.999), base->create(1));
  const double twoTo64 = 18446744073709551616.0;
  for (const double time : {-0.001, nan, infinity, twoTo64 * 30}) {
    EXPECT_EQ(totp->create(time), std::nullopt) << time;
  }
  // The largest quotient below 2^64 still has its code.
  const double largest = std::nextafter(twoTo64, 0.0);
  EXPECT_EQ(totp->create(largest * 30), base->create(static_cast<std::uint64_t>(largest)));
  const double before = TotpGeneratorContext::currentUnixTime();
  const auto now = totp->create();
  EXPECT_TRUE(now == totp->create(before) || now == totp->create(TotpGeneratorContext::currentUnixTime()));
}

TEST(TotpGenerator, RemainingTimeCountsDownWholeSecondsOfThePeriod) {
  const double base = 30.0 * 56666666;
  for (const auto& [period, now, left] :
       std::vector<std::tuple<double, double, std::int64_t>>{{30.0, base + 12.9, 18},
                                                             {30.0, base, 30},
                                                             {30.0, base + 29.999, 1},
                                                             {30.5, 30.4, 0},
                                                             {30.5, 0.2, 30}}) {
    EXPECT_EQ(TotpGeneratorContext::remainingTime(period, now), left) << period << " at " << now;
  }
  for (const auto& [period, now] : std::vector<std::pair<double, double>>{
           {0.5, base}, {nan, base}, {1e300, base}, {30.0, -1.0}, {30.0, nan}}) {
    EXPECT_EQ(TotpGeneratorContext::remainingTime(period, now), std::nullopt) << period << " at " << now;
  }
  const auto now = TotpGeneratorContext::remainingTime();
  ASSERT_TRUE(now);
  EXPECT_TRUE(*now >= 1 && *now <= 30) << *now;
}

// Each operation writes its class's line on entry, then the base's, in that order; refusals
// write theirs too.
TEST(OtpDebugLines, EachOperationWritesItsLinesInOrder) {
  LineCapture capture;
  const auto otp = OtpGeneratorContext::make(secret20);
  EXPECT_EQ(capture.take(), Lines{otpInit});
  EXPECT_FALSE(OtpGeneratorContext::make("1"));
  EXPECT_EQ(capture.take(), (Lines{otpInit, "String contains invalid characters."}));
  ASSERT_TRUE(otp);
  (void)otp->create(1);
  EXPECT_EQ(capture.take(), Lines{otpCreate});

  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 0);
  EXPECT_EQ(capture.take(), (Lines{hotpInit, otpInit}));
  EXPECT_FALSE(HotpGeneratorContext::make("AAA", 6, HmacAlgorithm::SHA1, 0));
  EXPECT_EQ(capture.take(), (Lines{hotpInit, otpInit, "String length is invalid."}));
  ASSERT_TRUE(hotp);
  (void)hotp->create();
  EXPECT_EQ(capture.take(), (Lines{hotpCreate, otpCreate}));

  const auto totp = TotpGeneratorContext::make(secret20);
  EXPECT_EQ(capture.take(), (Lines{totpInit, otpInit}));
  EXPECT_FALSE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 5.0));
  EXPECT_EQ(capture.take(), (Lines{totpInit, otpInit}));
  ASSERT_TRUE(totp);
  (void)totp->create(59.0);
  EXPECT_EQ(capture.take(), (Lines{totpCreate, otpCreate}));
  (void)totp->create(-1.0);
  EXPECT_EQ(capture.take(), Lines{totpCreate});
  (void)TotpGeneratorContext::remainingTime(30.0, 1.0);
  EXPECT_EQ(capture.take(), Lines{totpRemaining});
}

}  // namespace
}  // namespace tervala
