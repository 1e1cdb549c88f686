// Key URIs: every decision of the reading table, the written short and full forms, the generator a
// key makes, and the grouped Base32 secrets with their strength.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpSecret.hpp>

#include "support/LineCapture.hpp"

namespace tervala {
namespace {

using P = OtpAuthParameters;

// The URI, and either the refusal (a piece of its reason) or the parameters read.
struct Row {
  std::string uri;
  std::string refusal;
  P expected;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.uri.substr(0, 100);
}

class OtpAuthUriRead : public ::testing::TestWithParam<Row> {};

TEST_P(OtpAuthUriRead, ReadsOrRefusesWithAReasonThatHidesTheSecret) {
  const test::LineCapture quiet;
  const Row& row = GetParam();
  const auto parsed = OtpAuthUri::parse(row.uri);
  if (row.refusal.empty()) {
    ASSERT_TRUE(parsed) << parsed.reason();
    EXPECT_EQ(parsed->parameters(), row.expected);
  } else {
    ASSERT_FALSE(parsed);
    EXPECT_NE(parsed.reason().find(row.refusal), std::string::npos) << parsed.reason();
    EXPECT_EQ(parsed.reason().find('\n'), std::string::npos);
    EXPECT_EQ(parsed.reason().find("JBSW"), std::string::npos) << "the reason repeats the secret";
  }
}

std::vector<Row> rows() {
  const std::string at = "otpauth://totp/";
  const std::string s = "?secret=JBSWY3DPEHPK3PXP";
  return {{at + "Example:alice" + s + "&issuer=Example", "", {.issuer = "Example", .account = "alice"}},
          {"OTPAUTH://TOTP/Example%3A%20%20alice" + s, "", {.issuer = "Example", .account = "alice"}},
          {at + "Ex+Co:alice+1" + s, "", {.issuer = "Ex+Co", .account = "alice+1"}},
          {at + "alice" + s + "&issuer=Ex+Co", "", {.issuer = "Ex Co", .account = "alice"}},
          {at + "A:alice" + s + "&issuer=B", "differs", {}},
          {"otpauth://totp" + s, "no account", {}},
          {at + "a:b:c" + s, "more than one colon", {}},
          {at + "alice" + s + "&digits=7", "6 or 8", {}},
          {at + "alice" + s + "&period=0", "period", {}},
          {at + "alice" + s + "&algorithm=MD5", "unknown algorithm", {}},
          {at + "alice" + s + "&secret=GEZDGNBV", "secret is given twice", {}},
          {at + "alice?secret=JBSWY3", "not Base32", {}},         // 6 characters leave stray bits
          {at + "alice?secret=JBSWY3DP=====", "not Base32", {}},  // no length pads with 5
          {at + "alice?secret=jbsw%20y3dp+ehpk%203pxp====", "", {.issuer = "", .account = "alice"}},
          {"otpauth://hotp/alice" + s, "needs a counter", {}},
          {"otpauth://hotp/alice" + s + "&counter=5&period=7",
           "",
           {.type = OtpType::hotp, .issuer = "", .account = "alice", .counter = 5}},
          {"https://totp/alice" + s, "not an otpauth", {}},
          {at + "alice" + s + "&encoder=steam",
           "",
           {.issuer = "", .account = "alice", .digits = 5, .form = OtpCodeForm::steam}},
          {at + "Steam:alice" + s,
           "",
           {.issuer = "Steam", .account = "alice", .digits = 5, .form = OtpCodeForm::steam}},
          {at + "alice" + s + "&encoder=steam&algorithm=SHA256", "Steam codes", {}},
          {at + "al%G0ice" + s, "percent-escape", {}},
          {at + std::string(OtpAuthUri::maxLength, 'a') + s, "longer than", {}}};
}

INSTANTIATE_TEST_SUITE_P(Table, OtpAuthUriRead, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(OtpAuthUri, WritesTheShortAndFullFormsThatReadBackToTheSameKey) {
  const std::vector<P> keys = {
      {.issuer = "Example Co", .account = "alice smith@example.com"},
      {.issuer = "A&B=C", .account = "a/b&c=d?"},
      {.issuer = "\xC3\x9Cn\xC3\xAF",
       .account = "bob",
       .algorithm = HmacAlgorithm::SHA512,
       .digits = 8,
       .period = 60},
      {.type = OtpType::hotp, .issuer = "Example", .account = "carol", .counter = 18446744073709551615U},
      {.issuer = "Steam", .account = "dave", .form = OtpCodeForm::steam},
  };
  for (const auto& parameters : keys) {
    const auto made = OtpAuthUri::make(parameters, "jbsw y3dp ehpk 3pxp=");
    ASSERT_TRUE(made) << made.reason();
    for (const bool all : {false, true}) {
      const auto again = OtpAuthUri::parse(made->toString(all));
      ASSERT_TRUE(again) << made->toString(all) << ": " << again.reason();
      EXPECT_EQ(again->parameters(), made->parameters()) << made->toString(all);
      EXPECT_EQ(again->toString(all), made->toString(all));
    }
  }
  EXPECT_EQ(
      OtpAuthUri::make(keys[0], "JBSWY3DPEHPK3PXP")->toString(),
      "otpauth://totp/Example%20Co:alice%20smith%40example.com?secret=JBSWY3DPEHPK3PXP&issuer=Example%20Co");
  EXPECT_EQ(
      OtpAuthUri::make({.issuer = "", .account = "bob"}, "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====")
          ->toString(true),
      "otpauth://totp/bob?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA&algorithm=SHA1&digits=6&period=30");
}

// RFC 6238 Appendix B at 59 s, with a 60 s period as well, and RFC 4226 Appendix D at counter 1.
TEST(OtpAuthUri, MakesTheGeneratorItDescribes) {
  const test::LineCapture quiet;
  const std::string rfc = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
  const auto timed = OtpAuthUri::parse("otpauth://totp/a?digits=8&secret=" + rfc);
  const auto minute = OtpAuthUri::parse("otpauth://totp/a?digits=8&period=60&secret=" + rfc);
  const auto counted = OtpAuthUri::parse("otpauth://hotp/a?counter=1&secret=" + rfc);
  ASSERT_TRUE(timed && minute && counted);
  EXPECT_EQ(timed->makeTotp()->create(59.0), "94287082");
  EXPECT_EQ(minute->makeTotp()->create(118.0), "94287082");
  EXPECT_EQ(timed->makeHotp(), nullptr);
  EXPECT_EQ(counted->makeHotp()->create(), "287082");
  EXPECT_EQ(counted->makeTotp(), nullptr);
}

TEST(OtpSecret, GroupedBase32AndStrength) {
  EXPECT_EQ(base32WithoutBlanks(" JBSW Y3DP  EHPK 3PXP "), "JBSWY3DPEHPK3PXP");
  EXPECT_EQ(base32WithoutBlanks("   "), std::nullopt);
  for (const auto& [text, bits] : std::vector<std::pair<std::string, std::optional<std::size_t>>>{
           {"JBSWY3DPEHPK3PXP", 80},
           {"GEZD GNBV GY3T QOJQ GEZD GNBV GY3T QOJQ", 160},
           {"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOI=", 152},
           {"JBSW-Y3DP", std::nullopt}}) {
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
