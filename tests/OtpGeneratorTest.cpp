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

class Quiet : public ::testing::Test {
 protected:
  void SetUp() override { setDebugSink(nullptr); }
  void TearDown() override { resetDebugSink(); }
};

using Rfc4226 = Quiet;

TEST_F(Rfc4226, AppendixDAllTenCounters) {
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

struct TotpVector {
  double time;
  HmacAlgorithm algorithm;
  std::string code;
};

void PrintTo(const TotpVector& vector, std::ostream* out) {
  *out << vector.time << " -> " << vector.code;
}

class Rfc6238 : public ::testing::TestWithParam<TotpVector> {
 protected:
  void SetUp() override { setDebugSink(nullptr); }
  void TearDown() override { resetDebugSink(); }
};

TEST_P(Rfc6238, AppendixBEightDigits) {
  const auto& [time, algorithm, code] = GetParam();
  const std::string& secret = algorithm == HmacAlgorithm::SHA1     ? secret20
                              : algorithm == HmacAlgorithm::SHA256 ? secret32
                                                                   : secret64;
  const auto totp = TotpGeneratorContext::make(secret, 8, algorithm);
  ASSERT_TRUE(totp);
  EXPECT_EQ(totp->create(time), code);
  // The base's code for T = floor(time / 30) is the same one.
  const OtpGeneratorContext& base = *totp;
  EXPECT_EQ(base.create(static_cast<std::uint64_t>(time / 30)), code);
}

INSTANTIATE_TEST_SUITE_P(Totp, Rfc6238,
                         ::testing::Values(TotpVector{59, HmacAlgorithm::SHA1, "94287082"},
                                           TotpVector{59, HmacAlgorithm::SHA256, "46119246"},
                                           TotpVector{59, HmacAlgorithm::SHA512, "90693936"},
                                           TotpVector{1111111109, HmacAlgorithm::SHA1, "07081804"},
                                           TotpVector{1111111109, HmacAlgorithm::SHA256, "68084774"},
                                           TotpVector{1111111109, HmacAlgorithm::SHA512, "25091201"},
                                           TotpVector{1111111111, HmacAlgorithm::SHA1, "14050471"},
                                           TotpVector{1111111111, HmacAlgorithm::SHA256, "67062674"},
                                           TotpVector{1111111111, HmacAlgorithm::SHA512, "99943326"},
                                           TotpVector{1234567890, HmacAlgorithm::SHA1, "89005924"},
                                           TotpVector{1234567890, HmacAlgorithm::SHA256, "91819424"},
                                           TotpVector{1234567890, HmacAlgorithm::SHA512, "93441116"},
                                           TotpVector{2000000000, HmacAlgorithm::SHA1, "69279037"},
                                           TotpVector{2000000000, HmacAlgorithm::SHA256, "90698825"},
                                           TotpVector{2000000000, HmacAlgorithm::SHA512, "38618901"},
                                           TotpVector{20000000000, HmacAlgorithm::SHA1, "65353130"},
                                           TotpVector{20000000000, HmacAlgorithm::SHA256, "77737706"},
                                           TotpVector{20000000000, HmacAlgorithm::SHA512, "47863826"}),
                         [](const auto& info) {
                           return "T" + std::to_string(static_cast<std::int64_t>(info.param.time)) + "_SHA" +
                                  (info.param.algorithm == HmacAlgorithm::SHA1     ? "1"
                                   : info.param.algorithm == HmacAlgorithm::SHA256 ? "256"
                                                                                   : "512");
                         });

using OtpGenerator = Quiet;

// Keys of every length around the block sizes (64 and 128 bytes, where HMAC first hashes the
// key) and counters at both ends, against OpenSSL's one-shot HMAC.
TEST_F(OtpGenerator, MatchesOneShotHmacForKeysOfEveryLength) {
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

TEST_F(OtpGenerator, CodesKeepTheirLeadingZeros) {
  for (const int digits : {6, 8}) {
    const auto generator = OtpGeneratorContext::make(secret20, digits);
    ASSERT_TRUE(generator);
    bool sawLeadingZero = false;
    for (std::uint64_t counter = 0; counter < 200; ++counter) {
      const auto code = generator->create(counter);
      ASSERT_TRUE(code);
      ASSERT_EQ(code->size(), static_cast<std::size_t>(digits));
      ASSERT_TRUE(std::all_of(code->begin(), code->end(), [](char c) { return c >= '0' && c <= '9'; }));
      sawLeadingZero = sawLeadingZero || code->front() == '0';
    }
    EXPECT_TRUE(sawLeadingZero) << digits;
  }
}

TEST_F(OtpGenerator, RefusesDigitsOtherThanSixOrEightAndUnknownAlgorithms) {
  for (const std::int64_t digits : {0, 1, 4, 5, 7, 9, 10, -6, 1000000}) {
    EXPECT_FALSE(OtpGeneratorContext::make(secret20, digits)) << digits;
    EXPECT_FALSE(HotpGeneratorContext::make(secret20, digits, HmacAlgorithm::SHA1, 0)) << digits;
    EXPECT_FALSE(TotpGeneratorContext::make(secret20, digits)) << digits;
  }
  EXPECT_FALSE(OtpGeneratorContext::make(secret20, 6, static_cast<HmacAlgorithm>(3)));
  EXPECT_FALSE(OtpGeneratorContext::make(secret20, 6, static_cast<HmacAlgorithm>(-1)));
  EXPECT_FALSE(OtpGeneratorContext::make("not base32!", 6));
  EXPECT_TRUE(OtpGeneratorContext::make(secret20, 8, HmacAlgorithm::SHA512));
}

TEST_F(OtpGenerator, EmptySecretIsAnEmptyHmacKey) {
  const auto generator = OtpGeneratorContext::make("");
  ASSERT_TRUE(generator);
  EXPECT_EQ(generator->create(7), referenceCode(EVP_sha1(), {}, 7, 6));
}

TEST_F(OtpGenerator, CreateIsSafeFromManyThreads) {
  const auto generator = OtpGeneratorContext::make(secret64, 8, HmacAlgorithm::SHA512);
  ASSERT_TRUE(generator);
  std::vector<std::string> expected;
  for (std::uint64_t counter = 0; counter < 500; ++counter) {
    expected.push_back(*generator->create(counter));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (std::uint64_t counter = 0; counter < expected.size(); ++counter) {
        mismatches[t] += generator->create(counter) != expected[counter] ? 1 : 0;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

using HotpGenerator = Quiet;

TEST_F(HotpGenerator, UsesTheCounterThenStepsItAndLeavesItToTheBase) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 5);
  const auto twin = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 5);
  ASSERT_TRUE(base && hotp && twin);
  EXPECT_EQ(hotp->create(), base->create(5));
  EXPECT_EQ(hotp->create(100), base->create(100));  // the base's create leaves the counter alone
  EXPECT_EQ(hotp->create(), base->create(6));
  EXPECT_EQ(hotp->create(), base->create(7));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(twin->create(), base->create(5 + static_cast<std::uint64_t>(i)));
  }
  EXPECT_TRUE(HotpGeneratorContext::make(secret20, 8, HmacAlgorithm::SHA1, lastCounter));
}

TEST_F(HotpGenerator, LastCounterGivesItsCodeThenTheGeneratorIsSpent) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, lastCounter - 1);
  ASSERT_TRUE(base && hotp);
  EXPECT_EQ(hotp->create(), base->create(lastCounter - 1));
  EXPECT_EQ(hotp->create(), base->create(lastCounter));
  EXPECT_EQ(hotp->create(), std::nullopt);
  EXPECT_EQ(hotp->create(), std::nullopt);
  EXPECT_EQ(hotp->create(0), base->create(0));  // the base's create still works

  LineCapture capture;
  EXPECT_EQ(hotp->create(), std::nullopt);
  EXPECT_EQ(capture.take(), Lines{hotpCreate});
}

TEST_F(HotpGenerator, ConcurrentCallsNeverShareACounterValue) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 8, HmacAlgorithm::SHA1, lastCounter - 399);
  const auto base8 = OtpGeneratorContext::make(secret20, 8);
  ASSERT_TRUE(base && hotp && base8);
  std::vector<std::vector<std::string>> codes(4);
  std::vector<std::thread> threads;
  for (auto& mine : codes) {
    threads.emplace_back([&hotp, &mine] {
      for (int i = 0; i < 150; ++i) {
        if (auto code = hotp->create()) {
          mine.push_back(std::move(*code));
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  std::vector<std::string> all;
  for (const auto& mine : codes) {
    all.insert(all.end(), mine.begin(), mine.end());
  }
  std::vector<std::string> expected;
  for (std::uint64_t counter = lastCounter - 399;; ++counter) {
    expected.push_back(*base8->create(counter));
    if (counter == lastCounter) {
      break;
    }
  }
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);  // 400 values, each once, then nothing
}

using TotpGenerator = Quiet;

TEST_F(TotpGenerator, PeriodBoundsAreInclusiveAndEverythingElseIsRefused) {
  EXPECT_TRUE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 10.0));
  EXPECT_TRUE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 300.0));
  const auto fractional = TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 12.5);
  ASSERT_TRUE(fractional);
  EXPECT_EQ(fractional->period(), 12.5);
  for (const double period : {9.99, 300.01, 0.0, -30.0, nan, infinity, -infinity}) {
    LineCapture capture;
    EXPECT_FALSE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, period)) << period;
    EXPECT_EQ(capture.take(), (Lines{totpInit, otpInit})) << period;
  }
}

TEST_F(TotpGenerator, TimeMapsToWholePeriodsSinceTheEpoch) {
  const auto totp = TotpGeneratorContext::make(secret20);
  const auto base = OtpGeneratorContext::make(secret20);
  ASSERT_TRUE(totp && base);
  for (const auto& [time, counter] : std::vector<std::pair<double, std::uint64_t>>{
           {0.0, 0}, {-0.0, 0}, {29.999, 0}, {30.0, 1}, {59.0, 1}, {60.0, 2}, {1.7e9, 56666666}}) {
    EXPECT_EQ(totp->create(time), base->create(counter)) << time;
  }
  const auto fractional = TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 12.5);
  ASSERT_TRUE(fractional);
  EXPECT_EQ(fractional->create(25.0), base->create(2));
  EXPECT_EQ(fractional->create(24.999), base->create(1));
}

TEST_F(TotpGenerator, TimesWithoutACounterValueHaveNoCode) {
  const auto totp = TotpGeneratorContext::make(secret20);
  const auto base = OtpGeneratorContext::make(secret20);
  ASSERT_TRUE(totp && base);
  const double twoTo64 = 18446744073709551616.0;
  for (const double time : {-0.001, -30.0, -1e300, nan, infinity, -infinity, twoTo64 * 30, 1e300}) {
    LineCapture capture;
    EXPECT_EQ(totp->create(time), std::nullopt) << time;
    EXPECT_EQ(capture.take(), Lines{totpCreate}) << time;
  }
  // The largest quotient below 2^64 still has its code.
  const double largest = std::nextafter(twoTo64, 0.0);
  EXPECT_EQ(totp->create(largest * 30), base->create(static_cast<std::uint64_t>(largest)));
}

TEST_F(TotpGenerator, CreateWithoutTimeUsesNow) {
  const auto totp = TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 10.0);
  ASSERT_TRUE(totp);
  const double before = TotpGeneratorContext::currentUnixTime();
  const auto code = totp->create();
  const double after = TotpGeneratorContext::currentUnixTime();
  ASSERT_TRUE(code);
  EXPECT_TRUE(code == totp->create(before) || code == totp->create(after));
}

TEST_F(TotpGenerator, RemainingTimeCountsDownWholeSecondsOfThePeriod) {
  const double base = 30.0 * 56666666;
  for (const auto& [period, now, left] :
       std::vector<std::tuple<double, double, std::int64_t>>{{30.0, base + 12.9, 18},
                                                             {30.0, base, 30},
                                                             {30.0, base + 0.999, 30},
                                                             {30.0, base + 29.999, 1},
                                                             {30.0, 0.0, 30},
                                                             {1.0, base + 0.5, 1},
                                                             {1.0, 12345.999, 1},
                                                             {30.5, 30.4, 0},
                                                             {30.5, 0.2, 30},
                                                             {300.0, 299.0, 1}}) {
    EXPECT_EQ(TotpGeneratorContext::remainingTime(period, now), left) << period << " at " << now;
  }
  for (const double period : {0.5, 0.0, -30.0, nan, infinity, -infinity, 1e300}) {
    EXPECT_EQ(TotpGeneratorContext::remainingTime(period, base), std::nullopt) << period;
  }
  for (const double now : {-1.0, nan, infinity}) {
    EXPECT_EQ(TotpGeneratorContext::remainingTime(30.0, now), std::nullopt) << now;
  }
  const auto now = TotpGeneratorContext::remainingTime();
  ASSERT_TRUE(now);
  EXPECT_GE(*now, 1);
  EXPECT_LE(*now, 30);
  EXPECT_EQ(TotpGeneratorContext::remainingTime(1.0), 1);
}

// Each operation writes its class's line on entry, then the base's, in that order; refusals
// write theirs too.
TEST(OtpDebugLines, EachOperationWritesItsLinesInOrder) {
  LineCapture capture;
  const auto otp = OtpGeneratorContext::make(secret20);
  EXPECT_EQ(capture.take(), Lines{otpInit});
  EXPECT_FALSE(OtpGeneratorContext::make(secret20, 7));
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
  (void)hotp->create(9);
  EXPECT_EQ(capture.take(), Lines{otpCreate});

  const auto totp = TotpGeneratorContext::make(secret20);
  EXPECT_EQ(capture.take(), (Lines{totpInit, otpInit}));
  EXPECT_FALSE(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 5.0));
  EXPECT_EQ(capture.take(), (Lines{totpInit, otpInit}));
  ASSERT_TRUE(totp);
  (void)totp->create(59.0);
  EXPECT_EQ(capture.take(), (Lines{totpCreate, otpCreate}));
  (void)totp->create();
  EXPECT_EQ(capture.take(), (Lines{totpCreate, otpCreate}));
  (void)TotpGeneratorContext::remainingTime(30.0, 1.0);
  EXPECT_EQ(capture.take(), Lines{totpRemaining});
  (void)TotpGeneratorContext::remainingTime(0.5);
  EXPECT_EQ(capture.take(), Lines{totpRemaining});
}

}  // namespace
}  // namespace tervala
