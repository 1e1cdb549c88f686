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

constexpr std::string_view rfcKey = "12345678901234567890";

Export::Account account(std::string name, std::string issuer, Export::Algorithm algorithm = Export::SHA1,
                        Export::DigitCount digits = Export::SIX, Export::OtpType type = Export::TOTP) {
  Export::Account a;
  a.set_secret(std::string(rfcKey));
  a.set_name(std::move(name));
  a.set_issuer(std::move(issuer));
  a.set_algorithm(algorithm);
  a.set_digits(digits);
  a.set_type(type);
  return a;
}

std::string base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    out += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
  }
  return out;
}

std::string migrationUri(const std::string& payloadBytes) {
  return "otpauth-migration://offline?data=" + escaped(base64(payloadBytes));
}

std::string migrationUri(const std::vector<Export::Account>& accounts) {
  Export payload;
  payload.set_version(1);
  payload.set_batch_size(1);
  for (const auto& a : accounts) {
    *payload.add_otp_parameters() = a;
  }
  return migrationUri(payload.SerializeAsString());
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
  const OtpAuthParameters& b = (*keys)[1].parameters();
  EXPECT_EQ(std::tie(b.type, b.algorithm, b.digits, b.counter, b.account),
            std::tuple(OtpType::hotp, HmacAlgorithm::SHA256, 8, 7U, "bob"));
  EXPECT_EQ((*keys)[2].parameters().form, OtpCodeForm::steam);
  OtpAuthParameters defaults;
  defaults.account = "dave";
  EXPECT_EQ((*keys)[3].parameters(), defaults);
}

TEST(OtpMigration, ExportsInBatchesThatImportBack) {
  std::vector<OtpAuthUri> keys;
  for (int i = 0; i < 23; ++i) {
    OtpAuthParameters p;
    p.issuer = i % 2 == 0 ? "Example Co" : "";
    p.account = "user" + std::to_string(i);
    p.type = i % 3 == 0 ? OtpType::hotp : OtpType::totp;
    p.counter = p.type == OtpType::hotp ? static_cast<std::uint64_t>(i) : 0;
    p.digits = i % 4 == 0 ? 8 : 6;
    p.algorithm = static_cast<HmacAlgorithm>(i % 3);
    keys.push_back(
        *OtpAuthUri::make(p, i % 2 == 0 ? "JBSWY3DPEHPK3PXP" : "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"));
  }
  const auto uris = OtpMigration::exportUris(keys, 10);
  ASSERT_TRUE(uris) << uris.reason();
  ASSERT_EQ(uris->size(), 3U);
  std::vector<OtpAuthUri> back;
  std::optional<std::int32_t> batchId;
  for (std::size_t b = 0; b < uris->size(); ++b) {
    // The batch fields, read with the tests' own decoder.
    std::string data = (*uris)[b].substr((*uris)[b].find("data=") + 5);
    for (const auto& [from, to] : {std::pair{"%2B", "+"}, {"%2F", "/"}, {"%3D", "="}}) {
      for (std::size_t at = data.find(from); at != std::string::npos; at = data.find(from)) {
        data.replace(at, 3, to);
      }
    }
    std::string bytes(data.size(), '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    Export payload;
    ASSERT_TRUE(payload.ParseFromArray(bytes.data(),
                                       n - static_cast<int>(std::count(data.begin(), data.end(), '='))));
    EXPECT_EQ(std::tuple(payload.version(), payload.batch_size(), payload.batch_index()),
              std::tuple(1, 3, static_cast<int>(b)));
    EXPECT_EQ(batchId.value_or(payload.batch_id()), payload.batch_id());
    batchId = payload.batch_id();
    const auto imported = OtpMigration::importUri((*uris)[b]);
    ASSERT_TRUE(imported) << imported.reason();
    back.insert(back.end(), imported->begin(), imported->end());
  }
  ASSERT_EQ(back.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(back[i].toString(true), keys[i].toString(true));
  }
  OtpAuthParameters minute;
  minute.account = "m";
  minute.period = 60;
  EXPECT_FALSE(OtpMigration::exportUris({*OtpAuthUri::make(minute, "JBSWY3DPEHPK3PXP")}));
  EXPECT_FALSE(OtpMigration::exportUris({}));
}

TEST(OtpMigration, RefusesMalformedPayloadsWithoutRepeatingSecrets) {
  const std::string valid = [] {
    Export payload;
    *payload.add_otp_parameters() = account("alice", "Example");
    return payload.SerializeAsString();
  }();
  auto md5 = account("a", "", Export::MD5);
  auto digits = account("a", "");
  digits.set_digits(static_cast<Export::DigitCount>(3));
  auto empty = account("a", "");
  empty.set_secret("");
  auto negative = account("a", "", Export::SHA1, Export::SIX, Export::HOTP);
  negative.set_counter(-1);
  struct Case {
    std::string uri;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {migrationUri(valid.substr(0, valid.size() - 1)), "not a migration payload"},
      {migrationUri(std::string()), "no data"},
      {migrationUri(Export().SerializeAsString() + std::string("\x10\x01", 2)), "no account"},
      {"otpauth-migration://offline?data=*notbase64*", "not Base64"},
      {"otpauth-migration://offline?data=QUJD&data=QUJD", "twice"},
      {"otpauth-migration://online?data=QUJD", "offline"},
      {migrationUri({md5}), "account 1: unsupported algorithm"},
      {migrationUri({account("ok", ""), digits}), "account 2: unknown digit count"},
      {migrationUri({empty}), "not Base32"},
      {migrationUri({negative}), "negative counter"},
      {migrationUri({account("", "")}), "no account name"},
      {migrationUri({account("X:a", "Y")}), "differs"},
      {migrationUri({account("a\x1b[2J", "")}), "printable"},
  };
  for (const auto& [uri, reason] : cases) {
    const auto keys = OtpMigration::importUri(uri);
    ASSERT_FALSE(keys) << reason;
    EXPECT_NE(keys.reason().find(reason), std::string::npos) << keys.reason();
    EXPECT_EQ(keys.reason().find("GEZDGNBV"), std::string::npos);
  }
}

}  // namespace
}  // namespace tervala
