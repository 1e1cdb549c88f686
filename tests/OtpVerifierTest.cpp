// Verifying typed codes: the TOTP window, HOTP look-ahead and resynchronisation, Steam codes, and
// the replay guard that accepts each counter once, also against a second process.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/OtpReplayGuard.hpp>
#include <tervala/OtpVerification.hpp>
#include <tervala/SteamGuard.hpp>

#include "support/LineCapture.hpp"
#include "support/ReplayRace.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

// RFC 4226 Appendix D: the secret "12345678901234567890" and its codes for counters 0 to 9.
constexpr std::string_view rfcSecret = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
constexpr std::array<std::string_view, 10> rfcCodes = {"755224", "287082", "359152", "969429", "338314",
                                                       "254676", "287922", "162583", "399871", "520489"};

// A TOTP integer argument must not compile; the base's counter operation stays reachable.
template <class Generator, class Argument>
concept CreatesFrom = requires(const Generator& generator, Argument argument) {
  generator.create(argument);
};
static_assert(!CreatesFrom<TotpGeneratorContext, std::uint64_t> && CreatesFrom<TotpGeneratorContext, double>);
static_assert(CreatesFrom<OtpGeneratorContext, std::uint64_t>);

class OtpVerifierTest : public ::testing::Test {
 protected:
  test::LineCapture quiet_;
  std::shared_ptr<TotpGeneratorContext> totp_ = TotpGeneratorContext::make(rfcSecret);
  std::shared_ptr<HotpGeneratorContext> hotp_ = HotpGeneratorContext::make(rfcSecret, 0);  // the short make
};

TEST_F(OtpVerifierTest, TotpWindowFindsTheNearestStepAndOnlyWithinTheWindow) {
  (void)quiet_.take();            // the generators' construction lines
  const double now = 5 * 30 + 7;  // step 5
  for (const auto& [codeStep, window, expected] :
       std::vector<std::tuple<int, int, std::optional<OtpMatch>>>{{5, 1, OtpMatch{5, 0}},
                                                                  {4, 1, OtpMatch{4, -1}},
                                                                  {6, 1, OtpMatch{6, 1}},
                                                                  {3, 1, std::nullopt},
                                                                  {7, 1, std::nullopt},
                                                                  {3, 2, OtpMatch{3, -2}},
                                                                  {9, 0, std::nullopt}}) {
    EXPECT_EQ(OtpVerifier::verifyTotp(*totp_, rfcCodes[codeStep], now, window), expected) << codeStep;
  }
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp_, rfcCodes[0], 1.0, 1), (OtpMatch{0, 0}));  // no step -1
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp_, rfcCodes[5], now, OtpVerifier::maxWindow + 1), std::nullopt);
  EXPECT_TRUE(quiet_.take().empty()) << "verification writes no debug line per candidate";
}

TEST_F(OtpVerifierTest, HotpLooksAheadOnlyAndResynchronisesOnTwoCodesInARow) {
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp_, rfcCodes[3], 2), (OtpMatch{3, 1}));
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp_, rfcCodes[4], 2), std::nullopt);
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp_, rfcCodes[1], 2, 5), std::nullopt) << "no look-behind";
  EXPECT_EQ(OtpVerifier::verifyHotp(*hotp_, rfcCodes[9], 2, 7), (OtpMatch{9, 7}));
  for (const std::string& code : {std::string("75522"), std::string("7552240"), std::string(" 55224"),
                                  std::string("75522\0", 6), std::string("")}) {
    EXPECT_EQ(OtpVerifier::verifyHotp(*hotp_, code, 0, 5), std::nullopt) << code;
  }
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp_, rfcCodes[6], rfcCodes[7], 1, 10), 8U);
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp_, rfcCodes[6], rfcCodes[8], 1, 10), std::nullopt);
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp_, rfcCodes[6], rfcCodes[7], 1, 4), std::nullopt);
  EXPECT_EQ(OtpVerifier::resynchronize(*hotp_, rfcCodes[7], rfcCodes[6], 1, 10), std::nullopt);
}

// RFC 6238's SHA-1 value at 59 s through the Steam alphabet; other steps verify what they make.
TEST_F(OtpVerifierTest, SteamCodesAreTheRfcValuesThroughTheSteamAlphabet) {
  EXPECT_EQ(SteamGuard::codeAt(*totp_, 59.0), "PV9M4");
  for (const double time : {1111111109.0, 2000000000.0}) {
    const auto code = SteamGuard::codeAt(*totp_, time);
    ASSERT_TRUE(code);
    EXPECT_EQ(OtpVerifier::verifyTotp(*totp_, *code, time, 1, OtpCodeForm::steam),
              (OtpMatch{static_cast<std::uint64_t>(time / 30), 0}));
  }
  EXPECT_EQ(OtpVerifier::verifyTotp(*totp_, "22222", 59.0, 1, OtpCodeForm::steam), std::nullopt);
}

TEST(OtpReplayGuard, AcceptsEachCounterOnceAndOnlyForward) {
  const test::TemporaryFolder folder;
  SettingsStore store(folder / "settings.sqlite3");
  OtpReplayGuard guard(store);
  using Verdict = OtpReplayGuard::Verdict;
  EXPECT_EQ(guard.lastAccepted("alice"), std::nullopt);
  EXPECT_EQ(guard.accept("alice", 10), Verdict::accepted);
  EXPECT_EQ(guard.accept("alice", 10), Verdict::replayed);
  EXPECT_EQ(guard.accept("alice", 9), Verdict::replayed);
  EXPECT_EQ(guard.accept("bob", 10), Verdict::accepted);
  EXPECT_EQ(guard.accept("alice", 11), Verdict::accepted);
  EXPECT_EQ(store.data("otp.replay.alice"), (Data{0, 0, 0, 0, 0, 0, 0, 11}));
  // A value the guard did not write is not taken for "nothing accepted yet".
  ASSERT_TRUE(store.setData("otp.replay.carol", Data{1, 2, 3}));
  EXPECT_EQ(guard.accept("carol", 1), Verdict::failed);
  EXPECT_EQ(guard.accept(std::string(OtpReplayGuard::maxAccountLength + 1, 'a'), 1), Verdict::failed);
  // Two processes offering the same code at the same moment: one of them is accepted.
  EXPECT_EQ(test::raceReplayGuard(folder / "race.sqlite3", 30), std::vector<int>(30, 1));
}

}  // namespace
}  // namespace tervala
