#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpSecret.hpp>

#include "support/LineCapture.hpp"

namespace tervala {
namespace {

constexpr std::string_view secret = "JBSWY3DPEHPK3PXP";

OtpAuthParameters totp(std::string issuer, std::string account) {
  OtpAuthParameters p;
  p.issuer = std::move(issuer);
  p.account = std::move(account);
  return p;
}

template <class Change>
OtpAuthParameters with(OtpAuthParameters p, Change change) {
  change(p);
  return p;
}

// One row per decision of the README's table: the URI, and either the refusal (a piece of its
// reason) or the parameters read.
struct Row {
  std::string uri;
  std::string refusal;
  OtpAuthParameters expected;
};

const std::vector<Row>& rows() {
  const OtpAuthParameters alice = totp("Example", "alice");
  const std::string uriOf = "otpauth://totp/";
  const std::string s = "?secret=" + std::string(secret);
  static const std::vector<Row> table = {
      {uriOf + "Example:alice" + s + "&issuer=Example", "", alice},
      {"OTPAUTH://TOTP/Example:alice" + s, "", alice},
      {uriOf + "Example%3A%20%20alice" + s, "", alice},
      {uriOf + "Ex+Co:alice+1" + s, "", totp("Ex+Co", "alice+1")},
      {uriOf + "alice" + s + "&issuer=Ex+Co", "", totp("Ex Co", "alice")},
      {uriOf + "alice" + s, "", totp("", "alice")},
      {uriOf + "A:alice" + s + "&issuer=B", "differs", {}},
      {"otpauth://totp" + s, "no account", {}},
      {uriOf + "a:b:c" + s, "more than one colon", {}},
      {uriOf + "alice" + s + "&digits=7", "6 or 8", {}},
      {uriOf + "alice" + s + "&digits=8", "", with(totp("", "alice"), [](auto& p) { p.digits = 8; })},
      {uriOf + "alice" + s + "&period=0", "period", {}},
      {uriOf + "alice" + s + "&period=60", "", with(totp("", "alice"), [](auto& p) { p.period = 60; })},
      {uriOf + "alice" + s + "&algorithm=sha256", "",
       with(totp("", "alice"), [](auto& p) { p.algorithm = HmacAlgorithm::SHA256; })},
      {uriOf + "alice" + s + "&algorithm=MD5", "unknown algorithm", {}},
      {uriOf + "alice" + s + "&secret=GEZDGNBV", "secret is given twice", {}},
      {uriOf + "alice?issuer=Example", "no secret", {}},
      {uriOf + "alice?secret=JBSW1", "not Base32", {}},
      {uriOf + "alice?secret=JBSWY3", "not Base32", {}},         // 6 characters leave stray bits
      {uriOf + "alice?secret=JBSWY3DP=====", "not Base32", {}},  // no length pads with 5
      {uriOf + "alice?secret=jbsw%20y3dp+ehpk%203pxp====", "", totp("", "alice")},
      {"otpauth://hotp/alice" + s, "needs a counter", {}},
      {"otpauth://hotp/alice" + s + "&counter=5&period=7", "",
       with(totp("", "alice"),
            [](auto& p) {
              p.type = OtpType::hotp;
              p.counter = 5;
            })},
      {"https://totp/alice" + s, "not an otpauth", {}},
      {uriOf + "alice" + s + "&encoder=steam&digits=5", "",
       with(totp("", "alice"),
            [](auto& p) {
              p.form = OtpCodeForm::steam;
              p.digits = 5;
            })},
      {uriOf + "Steam:alice" + s, "",
       with(totp("Steam", "alice"),
            [](auto& p) {
              p.form = OtpCodeForm::steam;
              p.digits = 5;
            })},
      {uriOf + "alice" + s + "&encoder=steam&algorithm=SHA256", "Steam codes", {}},
      {uriOf + "al%G0ice" + s, "percent-escape", {}},
      {uriOf + std::string(OtpAuthUri::maxLength, 'a') + s, "longer than", {}},
  };
  return table;
}

TEST(OtpAuthUri, EveryDecisionOfTheTable) {
  for (const Row& row : rows()) {
    const auto parsed = OtpAuthUri::parse(row.uri);
    if (row.refusal.empty()) {
      ASSERT_TRUE(parsed) << row.uri << ": " << parsed.reason();
      EXPECT_EQ(parsed->parameters(), row.expected) << row.uri;
    } else {
      ASSERT_FALSE(parsed) << row.uri;
      EXPECT_NE(parsed.reason().find(row.refusal), std::string::npos) << row.uri << ": " << parsed.reason();
      EXPECT_EQ(parsed.reason().find('\n'), std::string::npos);
      EXPECT_EQ(parsed.reason().find("JBSW"), std::string::npos) << "the reason repeats the secret";
    }
  }
}

TEST(OtpAuthUri, BuildsTheShortFormAndParsesBackToTheSameKey) {
  const std::vector<OtpAuthParameters> keys = {
      totp("Example Co", "alice smith@example.com"),
      totp("", "bob"),
      with(totp("Ünï", "a/b&c=d?"),
           [](auto& p) {
             p.algorithm = HmacAlgorithm::SHA512;
             p.digits = 8;
             p.period = 60;
           }),
      with(totp("Example", "carol"),
           [](auto& p) {
             p.type = OtpType::hotp;
             p.counter = 18446744073709551615U;
           }),
      with(totp("Steam", "dave"), [](auto& p) { p.form = OtpCodeForm::steam; }),
  };
  for (const auto& parameters : keys) {
    const auto made = OtpAuthUri::make(parameters, "jbsw y3dp ehpk 3pxp=");
    ASSERT_TRUE(made) << made.reason();
    for (const bool all : {false, true}) {
      const auto again = OtpAuthUri::parse(made->toString(all));
      ASSERT_TRUE(again) << made->toString(all) << ": " << again.reason();
      EXPECT_EQ(again->parameters(), made->parameters());
      EXPECT_EQ(again->toString(all), made->toString(all));
    }
  }
  EXPECT_EQ(
      OtpAuthUri::make(keys[0], secret)->toString(),
      "otpauth://totp/Example%20Co:alice%20smith%40example.com?secret=JBSWY3DPEHPK3PXP&issuer=Example%20Co");
  EXPECT_EQ(
      OtpAuthUri::make(keys[1], "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====")->toString(true),
      "otpauth://totp/bob?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA&algorithm=SHA1&digits=6&period=30");
}

TEST(OtpAuthUri, MakesTheGeneratorItDescribes) {
  const test::LineCapture quiet;
  const std::string rfc = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
  const auto timed = OtpAuthUri::parse("otpauth://totp/a?digits=8&secret=" + rfc);
  ASSERT_TRUE(timed);
  EXPECT_EQ(timed->makeTotp()->create(59.0), "94287082");  // RFC 6238 Appendix B
  EXPECT_EQ(timed->makeHotp(), nullptr);
  const auto counted = OtpAuthUri::parse("otpauth://hotp/a?counter=1&secret=" + rfc);
  ASSERT_TRUE(counted);
  EXPECT_EQ(counted->makeHotp()->create(), "287082");  // RFC 4226 Appendix D, counter 1
  EXPECT_EQ(counted->makeTotp(), nullptr);
}

TEST(OtpSecret, GroupedBase32AndStrength) {
  EXPECT_EQ(base32WithoutBlanks(" JBSW Y3DP  EHPK 3PXP "), std::string(secret));
  EXPECT_EQ(base32WithoutBlanks("   "), std::nullopt);
  struct Case {
    std::string text;
    std::optional<std::size_t> bits;
  };
  for (const auto& [text, bits] : std::vector<Case>{{std::string(secret), 80},
                                                    {"GEZD GNBV GY3T QOJQ GEZD GNBV GY3T QOJQ", 160},
                                                    {"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOI=", 152},
                                                    {"JBSW-Y3DP", std::nullopt},
                                                    {"A", std::nullopt}}) {
    const auto strength = secretStrength(text);
    ASSERT_EQ(strength.has_value(), bits.has_value()) << text;
    if (bits) {
      EXPECT_EQ(strength->bits, *bits) << text;
      EXPECT_EQ(strength->belowMinimum(), *bits < 128);
      EXPECT_EQ(strength->belowRecommended(), *bits < 160);
    }
  }
}

}  // namespace
}  // namespace tervala
