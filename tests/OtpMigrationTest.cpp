// Authenticator export payloads, built and read with the tests' own protobuf encoder: import of
// each kind of account, export in batches that import back, and the refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include <tervala/OtpMigration.hpp>

#include "MigrationPayloadEncoder.pb.h"
#include "support/LineCapture.hpp"

namespace tervala {
namespace {

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

std::string migrationUri(const std::string& payload) {
  std::string text(4 * ((payload.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                       reinterpret_cast<const unsigned char*>(payload.data()),
                                                       static_cast<int>(payload.size()))));
  std::string uri = "otpauth-migration://offline?data=";
  for (const char c : text) {
    uri += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
  }
  return uri;
}

std::string migrationUri(const std::vector<Export::Account>& accounts) {
  Export payload;
  for (const auto& a : accounts) {
    *payload.add_otp_parameters() = a;
  }
  return migrationUri(payload.SerializeAsString());
}

// The payload of a migration URI, read back with the tests' own decoder.
Export payloadOf(const std::string& uri) {
  std::string data;
  for (std::size_t i = uri.find("data=") + 5; i < uri.size(); ++i) {
    const std::string escape = uri.substr(i, 3);
    data += escape == "%2B" ? '+' : escape == "%2F" ? '/' : escape == "%3D" ? '=' : uri[i];
    i += escape.starts_with('%') ? 2 : 0;
  }
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
      migrationUri({account("Example: alice", "Example"), hotp, account("carol", "Steam"),
                    account("dave", "", Export::ALGORITHM_UNSPECIFIED, Export::DIGIT_COUNT_UNSPECIFIED,
                            Export::OTP_TYPE_UNSPECIFIED)}));
  ASSERT_TRUE(keys) << keys.reason();
  ASSERT_EQ(keys->size(), 4U);
  EXPECT_EQ((*keys)[0].toString(),
            "otpauth://totp/Example:alice?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&issuer=Example");
  EXPECT_EQ((*keys)[0].makeTotp()->create(59.0), "287082");  // RFC 6238's 94287082, 6 digits
  const OtpAuthParameters bob{.type = OtpType::hotp,
                              .issuer = "",
                              .account = "bob",
                              .algorithm = HmacAlgorithm::SHA256,
                              .digits = 8,
                              .counter = 7};
  EXPECT_EQ((*keys)[1].parameters(), bob);
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
  const std::string valid = [] {
    Export payload;
    *payload.add_otp_parameters() = account("alice", "Example");
    return payload.SerializeAsString();
  }();
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
           {migrationUri({account("a", "", Export::MD5)}), "account 1: unsupported algorithm"},
           {migrationUri({account("ok", ""), digits}), "account 2: unknown digit count"},
           {migrationUri({empty}), "not Base32"},
           {migrationUri({negative}), "negative counter"},
           {migrationUri({account("", "")}), "no account name"},
           {migrationUri({account("X:a", "Y")}), "differs"},
           {migrationUri({account("a\x1b[2J", "")}), "printable"}}) {
    const auto keys = OtpMigration::importUri(uri);
    ASSERT_FALSE(keys) << reason;
    EXPECT_NE(keys.reason().find(reason), std::string::npos) << keys.reason();
    EXPECT_EQ(keys.reason().find("GEZDGNBV"), std::string::npos);
  }
}

}  // namespace
}  // namespace tervala
