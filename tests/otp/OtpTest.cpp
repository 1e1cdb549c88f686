// One-time passwords: the hash names, the RFC vectors, a cross-check against OpenSSL's one-shot
// HMAC, the counters of HOTP, the clock of TOTP, the debug lines, and the verification of typed
// codes with the replay guard that accepts each counter once.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/OtpReplayGuard.hpp>
#include <tervala/OtpVerification.hpp>
#include <tervala/SteamGuard.hpp>
#include <tervala/Text.hpp>

#include "support/LineCapture.hpp"
#include "support/ReplayRace.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using Lines = std::vector<std::string>;

constexpr std::uint64_t lastCounter = std::numeric_limits<std::uint64_t>::max();

// The RFC 4226 and RFC 6238 secrets ("1234567890" repeated to 20, 32 and 64 bytes), in Base32, and
// RFC 4226 Appendix D's codes for counters 0 to 9.
const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string secret32 = secret20 + secret20.substr(0, 19) + "A====";
const std::string secret64 = secret20 + secret20 + secret20 + secret20.substr(0, 6) + "A=";
constexpr std::array<std::string_view, 10> rfcCodes = {"755224", "287082", "359152", "969429", "338314",
                                                       "254676", "287922", "162583", "399871", "520489"};

// A TOTP integer argument must not compile; the base's counter operation stays reachable.
template <class Generator, class Argument>
concept CreatesFrom = requires(const Generator& generator, Argument argument) {
  generator.create(argument);
};
static_assert(!CreatesFrom<TotpGeneratorContext, std::uint64_t> && CreatesFrom<TotpGeneratorContext, double>);
static_assert(CreatesFrom<OtpGeneratorContext, std::uint64_t>);

// RFC 4226 section 5.3 on OpenSSL's one-shot HMAC, as a reference.
std::string referenceCode(const EVP_MD* md, const Data& key, std::uint64_t counter, int digits) {
  std::array<std::uint8_t, 8> message{};
  for (int i = 7; i >= 0; --i, counter >>= 8) {
    message[i] = static_cast<std::uint8_t>(counter);
  }
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  HMAC(md, key.empty() ? digest.data() : key.data(), static_cast<int>(key.size()), message.data(), 8,
       digest.data(), &length);
  const unsigned at = digest[length - 1] & 0x0FU;
  const std::uint32_t value =
      ((digest[at] & 0x7FU) << 24) | (digest[at + 1] << 16) | (digest[at + 2] << 8) | digest[at + 3];
  const std::string code = std::to_string(value % (digits == 8 ? 100000000U : 1000000U));
  return std::string(static_cast<std::size_t>(digits) - code.size(), '0') + code;
}

TEST(OtpHmacNames, UpperCasedInFullThenComparedExactly) {
  for (const auto& [name, algorithm] : std::vector<std::pair<std::string, std::optional<HmacAlgorithm>>>{
           {"sHa512", HmacAlgorithm::SHA512},
           {"\xC5\xBFha1", HmacAlgorithm::SHA1},  // long s upper-cases to "S"
           {"\xC3\x9Fha1", std::nullopt},         // sharp s upper-cases to "SS"
           {std::string("SHA1\0", 5), std::nullopt}}) {
    EXPECT_EQ(hmacAlgorithmFromName(name), algorithm) << ::testing::PrintToString(name);
  }
  EXPECT_EQ(hmacAlgorithmFromRawValue(2), HmacAlgorithm::SHA512);
  EXPECT_EQ(hmacAlgorithmFromRawValue(3), std::nullopt);
}

// RFC 4226 Appendix D through both the base and the counting generator; RFC 6238 Appendix B, two
// times per hash (one with a leading zero, one past 32-bit counters).
TEST(OtpGenerator, RfcVectors) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto hotp = HotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 0);
  ASSERT_TRUE(base && hotp);
  for (std::uint64_t counter = 0; counter < rfcCodes.size(); ++counter) {
    EXPECT_EQ(hotp->create(), rfcCodes[counter]) << counter;
    EXPECT_EQ(base->create(counter), rfcCodes[counter]) << counter;
  }
  for (const auto& [time, algorithm, secret, code] :
       std::vector<std::tuple<double, HmacAlgorithm, std::string, std::string>>{
           {1111111109, HmacAlgorithm::SHA1, secret20, "07081804"},
           {59, HmacAlgorithm::SHA256, secret32, "46119246"},
           {20000000000, HmacAlgorithm::SHA256, secret32, "77737706"},
           {59, HmacAlgorithm::SHA512, secret64, "90693936"}}) {
    const auto totp = TotpGeneratorContext::make(secret, 8, algorithm);
    ASSERT_TRUE(totp);
    EXPECT_EQ(totp->create(time), code) << time;
  }
}

// Keys around the block sizes (64 and 128 bytes, where HMAC first hashes the key), the empty key,
// and counters at both ends, against OpenSSL's one-shot HMAC.
TEST(OtpGenerator, MatchesOneShotHmacForKeysOfEveryLength) {
  std::mt19937 random(2026);
  for (const std::size_t keyLength : {0, 20, 64, 65, 128, 129}) {
    std::string text((keyLength * 8 + 4) / 5, 'A');  // random Base32 of exactly that many bytes
    std::generate(text.begin(), text.end(),
                  [&] { return "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"[random() % 32]; });
    const Data key = fromBase32(text).value_or(Data{});
    ASSERT_EQ(key.size(), keyLength);
    for (const auto& [algorithm, md, info] :
         {std::tuple{HmacAlgorithm::SHA1, EVP_sha1(), HmacAlgorithmInfo{0, 20}},
          std::tuple{HmacAlgorithm::SHA256, EVP_sha256(), HmacAlgorithmInfo{2, 32}},
          std::tuple{HmacAlgorithm::SHA512, EVP_sha512(), HmacAlgorithmInfo{4, 64}}}) {
      EXPECT_EQ(getCCHmacAlgorithmInfo(algorithm), info);
      EXPECT_EQ(static_cast<std::size_t>(info.length), static_cast<std::size_t>(EVP_MD_get_size(md)));
      for (const int digits : {6, 8}) {
        const auto generator = OtpGeneratorContext::make(text, digits, algorithm);
        ASSERT_TRUE(generator) << keyLength;
        for (const std::uint64_t counter : {std::uint64_t{random()}, lastCounter}) {
          EXPECT_EQ(generator->create(counter), referenceCode(md, key, counter, digits))
              << "key length " << keyLength << " counter " << counter;
        }
      }
    }
  }
  for (const std::int64_t digits : {0, 7, -6}) {
    EXPECT_FALSE(OtpGeneratorContext::make(secret20, digits)) << digits;
  }
  EXPECT_FALSE(OtpGeneratorContext::make(secret20, 6, static_cast<HmacAlgorithm>(3)));
}

// The counter given is the first used; then threads drawing from it get each of its remaining
// values once, and nothing once it is spent. The base's create leaves the counter alone.
TEST(HotpGenerator, EachCounterValueGoesOnceAcrossThreadsUntilSpent) {
  const auto hotp = HotpGeneratorContext::make(secret20, 8, HmacAlgorithm::SHA1, lastCounter - 300);
  const auto base = OtpGeneratorContext::make(secret20, 8);
  ASSERT_TRUE(hotp && base);
  EXPECT_EQ(hotp->create(), base->create(lastCounter - 300));
  EXPECT_EQ(hotp->create(100), base->create(100));
  std::multiset<std::string> drawn;
  std::mutex mutex;
  {
    std::vector<std::jthread> threads(4);
    for (auto& thread : threads) {
      thread = std::jthread([&] {
        for (int i = 0; i < 100; ++i) {
          if (auto code = hotp->create()) {
            const std::lock_guard lock(mutex);
            drawn.insert(std::move(*code));
          }
        }
      });
    }
  }
  std::multiset<std::string> expected;
  for (std::uint64_t counter = lastCounter - 299; counter != 0; ++counter) {
    expected.insert(*base->create(counter));
  }
  EXPECT_EQ(drawn, expected);
}

TEST(TotpGenerator, TimeMapsToWholePeriodsSinceTheEpoch) {
  const auto base = OtpGeneratorContext::make(secret20);
  const auto totp = TotpGeneratorContext::make(secret20);
  const auto fractional = TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, 12.5);
  ASSERT_TRUE(base && totp && fractional);
  using Step = std::tuple<TotpGeneratorContext*, double, std::uint64_t>;
  for (const auto& [generator, time, counter] : std::vector<Step>{{totp.get(), 29.999, 0},
                                                                  {totp.get(), 30.0, 1},
                                                                  {fractional.get(), 24.999, 1},
                                                                  {fractional.get(), 25.0, 2}}) {
    EXPECT_EQ(generator->create(time), base->create(counter)) << time;
  }
  for (const double time : {-0.001, std::numeric_limits<double>::quiet_NaN(), 18446744073709551616.0 * 30}) {
    EXPECT_EQ(totp->create(time), std::nullopt) << time;
  }
  for (const auto& [period, made] : {std::pair{9.99, false}, {300.01, false}, {300.0, true}}) {
    EXPECT_EQ(TotpGeneratorContext::make(secret20, 6, HmacAlgorithm::SHA1, period) != nullptr, made)
        << period;
  }
  const double step = 30.0 * 56666666;
  using Left = std::tuple<double, double, std::optional<std::int64_t>>;
  for (const auto& [period, now, left] : std::vector<Left>{{30.0, step + 12.9, 18},
                                                           {30.0, step, 30},
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

TEST(OtpVerifierTest, TotpWindowFindsTheNearestStepAndOnlyWithinTheWindow) {
  test::LineCapture quiet;
  const auto totp = TotpGeneratorContext::make(secret20);
  (void)quiet.take();             // the generator's construction lines
  const double now = 5 * 30 + 7;  // step 5
  for (const auto& [codeStep, window, expected] :
       std::vector<std::tuple<int, int, std::optional<OtpMatch>>>{{4, 1, OtpMatch{4, -1}},
                                                                  {6, 1, OtpMatch{6, 1}},
                                                                  {7, 1, std::nullopt},
                                                                  {3, 2, OtpMatch{3, -2}},
                                                                  {9, 0, std::nullopt}}) {
    EXPECT_EQ(OtpVerifier::verifyTotp(*totp, rfcCodes[codeStep], now, window), expected) << codeStep;
  }
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp, rfcCodes[0], 1.0, 1), (OtpMatch{0, 0}));  // no step -1
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp, rfcCodes[5], now, OtpVerifier::maxWindow + 1), std::nullopt);
  EXPECT_TRUE(quiet.take().empty()) << "verification writes no debug line per candidate";
  // Steam codes: RFC 6238's SHA-1 value at 59 s through the Steam alphabet; others verify as made.
  EXPECT_EQ(SteamGuard::codeAt(*totp, 59.0), "PV9M4");
  const auto code = SteamGuard::codeAt(*totp, 2000000000.0);
  ASSERT_TRUE(code);
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp, *code, 2000000000.0, 1, OtpCodeForm::steam),
            (OtpMatch{66666666, 0}));
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp, "22222", 59.0, 1, OtpCodeForm::steam), std::nullopt);
}

TEST(OtpVerifierTest, HotpLooksAheadOnlyAndResynchronisesOnTwoCodesInARow) {
  const test::LineCapture quiet;
  const auto hotp = HotpGeneratorContext::make(secret20, 0);  // the short make
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp, rfcCodes[3], 2), (OtpMatch{3, 1}));
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp, rfcCodes[4], 2), std::nullopt);
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp, rfcCodes[1], 2, 5), std::nullopt) << "no look-behind";
  for (const std::string& code : {std::string("75522"), std::string("7552240"), std::string("75522\0", 6)}) {
    EXPECT_EQ(OtpVerifier::verifyHotp(*hotp, code, 0, 5), std::nullopt) << code;
  }
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp, rfcCodes[6], rfcCodes[7], 1, 10), 8U);
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp, rfcCodes[6], rfcCodes[8], 1, 10), std::nullopt);
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp, rfcCodes[6], rfcCodes[7], 1, 4), std::nullopt);
}

TEST(OtpReplayGuard, AcceptsEachCounterOnceAndOnlyForward) {
  const test::TemporaryFolder folder;
  SettingsStore store(folder / "settings.sqlite3");
  OtpReplayGuard guard(store);
  using Verdict = OtpReplayGuard::Verdict;
  const std::string secret = "JBSWY3DPEHPK3PXP";
  EXPECT_EQ(guard.accept("alice", secret, 10), Verdict::accepted);
  EXPECT_EQ(guard.accept("alice", "jbsw y3dp ehpk 3pxp", 10), Verdict::replayed);  // the same key
  EXPECT_EQ(guard.accept("alice", secret, 9), Verdict::replayed);
  EXPECT_EQ(guard.accept("bob", secret, 10), Verdict::accepted);
  EXPECT_EQ(guard.accept("alice", secret, 11), Verdict::accepted);
  EXPECT_EQ(guard.lastAccepted("alice", secret), 11U);
  EXPECT_EQ(guard.accept("alice", "not base32!", 12), Verdict::failed);
  // Accounts of any length; none of them, nor the secret, is written to the file.
  const std::string longAccount(OtpReplayGuard::maxAccountLength + 1, 'a');
  EXPECT_EQ(guard.accept(longAccount, secret, 1), Verdict::accepted);
  EXPECT_EQ(guard.accept(longAccount, secret, 1), Verdict::replayed);
  std::ifstream in(folder / "settings.sqlite3", std::ios::binary);
  const std::string file{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(file.find("alice"), std::string::npos);
  EXPECT_EQ(file.find("aaaa"), std::string::npos);
  // Two processes offering the same code at the same moment: one of them is accepted.
  EXPECT_EQ(test::raceReplayGuard(folder / "race.sqlite3", 30), std::vector<int>(30, 1));
}

// A secret enrolled anew under an old account starts afresh. A record kept by the account alone
// (by an earlier version) is the floor of the account's first record and is then removed; an
// unreadable one refuses.
TEST(OtpReplayGuard, ANewSecretStartsAfreshAndTheOldRecordIsTakenOverOnce) {
  const test::TemporaryFolder folder;
  SettingsStore store(folder / "settings.sqlite3");
  OtpReplayGuard guard(store);
  using Verdict = OtpReplayGuard::Verdict;
  const std::string first = "JBSWY3DPEHPK3PXP";
  const std::string second = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
  ASSERT_TRUE(store.setData("otp.replay.alice", Data{0, 0, 0, 0, 0, 0, 0, 20}));
  EXPECT_EQ(guard.lastAccepted("alice", first), 20U);
  EXPECT_EQ(guard.accept("alice", first, 20), Verdict::replayed);
  EXPECT_EQ(guard.accept("alice", first, 21), Verdict::accepted);
  EXPECT_FALSE(store.data("otp.replay.alice"));
  EXPECT_EQ(guard.accept("alice", second, 1), Verdict::accepted);
  EXPECT_EQ(guard.accept("alice", first, 21), Verdict::replayed);
  ASSERT_TRUE(store.setData("otp.replay.carol", Data{1, 2, 3}));
  EXPECT_EQ(guard.accept("carol", first, 1), Verdict::failed);
}

}  // namespace
}  // namespace tervala
