// Key URIs: every decision of the reading table, the written short and full forms, the generator a
// key makes, the grouped Base32 secrets with their strength, and authenticator export payloads
// (built and read with the tests' own protobuf encoder) that carry keys in batches.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <regex>
#include <string>
#include <vector>

#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpMigration.hpp>
#include <tervala/OtpSecret.hpp>

#include "MigrationPayloadEncoder.pb.h"
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
          {at + "alice" + s + "&period=300", "", {.issuer = "", .account = "alice", .period = 300}},
          {at + "alice" + s + "&period=301", "period", {}},
          {at + "alice" + s + "&digits=8&digits=6", "digits is given twice", {}},
          {at + "alice" + s + "&algorithm=MD5", "unknown algorithm", {}},
          {at + "alice" + s + "&secret=GEZDGNBV", "secret is given twice", {}},
          {at + "alice?secret=JBSWY3",
           "not Base32: no Base32 text is 6 characters long",
           {}},  // 6 characters leave stray bits
          {at + "alice?secret=JBSWY3DP=====", "not Base32: it ends in 5 '='", {}},  // no length pads with 5
          {at + "alice?secret=JBSW0Y3DP", "not Base32: character 5 is none of A-Z and 2-7", {}},
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

using tervala_test::Export;

Export::Account account(std::string name, std::string issuer, Export::Algorithm algorithm = Export::SHA1,
                        Export::DigitCount digits = Export::SIX, Export::OtpType type = Export::TOTP) {
  Export::Account a;
  a.set_secret("12345678901234567890");
  a.set_name(std::move(name));
  a.set_issuer(std::move(issuer));
  a.set_algorithm(algorithm);
  a.set_digits(digits);
  a.set_type(type);
  return a;
}

// Base64 in a URI query: the three characters it escapes, both ways.
std::string escaped(std::string text, bool escape) {
  for (const auto& [plain, code] : {std::pair{'+', "%2B"}, {'/', "%2F"}, {'=', "%3D"}}) {
    text = escape ? std::regex_replace(text, std::regex(std::string("[") + plain + "]"), code)
                  : std::regex_replace(text, std::regex(code), std::string(1, plain));
  }
  return text;
}

std::string payload(const std::vector<Export::Account>& accounts) {
  Export payload;
  for (const auto& a : accounts) {
    *payload.add_otp_parameters() = a;
  }
  return payload.SerializeAsString();
}

std::string migrationUri(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                                       static_cast<int>(bytes.size()))));
  return "otpauth-migration://offline?data=" + escaped(text, true);
}

// The payload of a migration URI, read back with the tests' own decoder.
Export payloadOf(const std::string& uri) {
  const std::string data = escaped(uri.substr(uri.find("data=") + 5), false);
  std::string bytes(data.size(), '\0');
  const int n =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  Export payload;
  payload.ParseFromArray(bytes.data(), n - static_cast<int>(std::count(data.begin(), data.end(), '=')));
  return payload;
}

TEST(OtpMigration, ImportsEachKindOfAccount) {
  const test::LineCapture quiet;
  auto hotp = account("bob", "", Export::SHA256, Export::EIGHT, Export::HOTP);
  hotp.set_counter(7);
  const auto keys = OtpMigration::importUri(
      migrationUri(payload({account("Example: alice", "Example"), hotp, account("carol", "Steam"),
                            account("dave", "", Export::ALGORITHM_UNSPECIFIED,
                                    Export::DIGIT_COUNT_UNSPECIFIED, Export::OTP_TYPE_UNSPECIFIED)})));
  ASSERT_TRUE(keys) << keys.reason();
  ASSERT_EQ(keys->size(), 4U);
  EXPECT_EQ((*keys)[0].toString(),
            "otpauth://totp/Example:alice?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&issuer=Example");
  EXPECT_EQ((*keys)[0].makeTotp()->create(59.0), "287082");  // RFC 6238's 94287082, 6 digits
  EXPECT_EQ((*keys)[1].toString(true),
            "otpauth://hotp/bob?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&algorithm=SHA256&digits=8&counter=7");
  EXPECT_EQ((*keys)[2].parameters().form, OtpCodeForm::steam);
  EXPECT_EQ((*keys)[3].parameters(), (OtpAuthParameters{.issuer = "", .account = "dave"}));
}

TEST(OtpMigration, ExportsInBatchesThatImportBack) {
  std::vector<OtpAuthUri> keys;
  for (int i = 0; i < 23; ++i) {
    const OtpAuthParameters p{.type = i % 3 == 0 ? OtpType::hotp : OtpType::totp,
                              .issuer = i % 2 == 0 ? "Example Co" : "",
                              .account = "user" + std::to_string(i),
                              .algorithm = static_cast<HmacAlgorithm>(i % 3),
                              .digits = i % 4 == 0 ? 8 : 6,
                              .counter = i % 3 == 0 ? static_cast<std::uint64_t>(i) : 0};
    keys.push_back(
        *OtpAuthUri::make(p, i % 2 == 0 ? "JBSWY3DPEHPK3PXP" : "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"));
  }
  const auto uris = OtpMigration::exportUris(keys, 10);
  ASSERT_TRUE(uris) << uris.reason();
  ASSERT_EQ(uris->size(), 3U);
  std::vector<OtpAuthUri> back;
  const std::int32_t batchId = payloadOf(uris->front()).batch_id();
  for (std::size_t b = 0; b < uris->size(); ++b) {
    const Export payload = payloadOf((*uris)[b]);
    EXPECT_EQ(std::tuple(payload.version(), payload.batch_size(), payload.batch_index(), payload.batch_id()),
              std::tuple(1, 3, static_cast<int>(b), batchId));
    const auto imported = OtpMigration::importUri((*uris)[b]);
    ASSERT_TRUE(imported) << imported.reason();
    back.insert(back.end(), imported->begin(), imported->end());
  }
  ASSERT_EQ(back.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(back[i].toString(true), keys[i].toString(true));
  }
  // The payload has no period: a key with another one cannot go.
  EXPECT_FALSE(OtpMigration::exportUris(
      {*OtpAuthUri::make({.issuer = "", .account = "m", .period = 60}, "JBSWY3DPEHPK3PXP")}));
  EXPECT_FALSE(OtpMigration::exportUris({}));
}

TEST(OtpMigration, RefusesMalformedPayloadsWithoutRepeatingSecrets) {
  const std::string valid = payload({account("alice", "Example")});
  auto digits = account("a", "");
  digits.set_digits(static_cast<Export::DigitCount>(3));
  auto empty = account("a", "");
  empty.set_secret("");
  auto negative = account("a", "", Export::SHA1, Export::SIX, Export::HOTP);
  negative.set_counter(-1);
  for (const auto& [uri, reason] : std::vector<std::pair<std::string, std::string>>{
           {migrationUri(valid.substr(0, valid.size() - 1)), "not a migration payload"},
           {migrationUri(std::string()), "no data"},
           {migrationUri(std::string("\x10\x01", 2)), "no account"},
           {"otpauth-migration://offline?data=*notbase64*", "not Base64"},
           {"otpauth-migration://offline?data=QUJD&data=QUJD", "twice"},
           {"otpauth-migration://online?data=QUJD", "offline"},
           {migrationUri(payload({account("a", "", Export::MD5)})), "account 1: unsupported algorithm"},
           {migrationUri(payload({account("ok", ""), digits})), "account 2: unknown digit count"},
           {migrationUri(payload({empty})), "not Base32"},
           {migrationUri(payload({negative})), "negative counter"},
           {migrationUri(payload({account("", "")})), "no account name"},
           {migrationUri(payload({account("X:a", "Y")})), "differs"},
           {migrationUri(payload({account("a\x1b[2J", "")})), "printable"}}) {
    const auto keys = OtpMigration::importUri(uri);
    ASSERT_FALSE(keys) << reason;
    EXPECT_NE(keys.reason().find(reason), std::string::npos) << keys.reason();
    EXPECT_EQ(keys.reason().find("GEZDGNBV"), std::string::npos);
  }
}

}  // namespace
}  // namespace tervala
