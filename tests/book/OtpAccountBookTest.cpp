// The account book over a real settings file: what it keeps, finds and refuses, and that no
// secret is ever shown.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/OtpAccountBook.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

constexpr std::string_view secret = "JBSWY3DPEHPK3PXP";

OtpAuthUri keyOf(const std::string& uri) {
  auto key = OtpAuthUri::parse(uri);
  EXPECT_TRUE(key.ok()) << key.reason();
  return *std::move(key);
}

std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct AccountBookTest : ::testing::Test {
  test::TemporaryFolder folder;
  SettingsStore settings{folder / "settings.sqlite3"};
  OtpAccountBook book{settings, nullptr, OtpAccountBook::Place::file};
};

TEST_F(AccountBookTest, AddsFindsRenamesAndRemovesRefusingASecondAccountOfTheSameName) {
  ASSERT_TRUE(book.add(keyOf("otpauth://totp/GitHub:alice?secret=JBSWY3DPEHPK3PXP&issuer=GitHub")).ok());
  ASSERT_TRUE(
      book.add(keyOf("otpauth://hotp/Bank:alice?secret=GEZDGNBVGY3TQOJQ&issuer=Bank&counter=7")).ok());
  const auto again = book.add(keyOf("otpauth://totp/GitHub:alice?secret=GEZDGNBVGY3TQOJQ&issuer=GitHub"));
  EXPECT_EQ(again.reason(), "an account 'GitHub:alice' exists already");

  for (const auto& [pattern, expected] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"", {"GitHub:alice", "Bank:alice"}},
           {"ALICE", {"GitHub:alice", "Bank:alice"}},
           {"hub:a", {"GitHub:alice"}},
           {"bank", {"Bank:alice"}},
           {"nobody", {}}}) {
    std::vector<std::string> labels;
    for (const auto& account : *book.match(pattern)) {
      labels.push_back(account.label());
    }
    EXPECT_EQ(labels, expected) << pattern;
  }
  auto github = book.find("GitHub", "alice");
  ASSERT_TRUE(github.ok());
  EXPECT_EQ(book.find("github", "alice").reason(), "no account 'github:alice'");

  // TOTP codes are the generator's; replacing takes the new secret.
  const auto generator = TotpGeneratorContext::make(secret);
  EXPECT_EQ(book.code(*github, 59)->code, generator->create(59.0));
  EXPECT_EQ(book.code(*github, 59)->remaining, 1);
  ASSERT_TRUE(
      book.add(keyOf("otpauth://totp/GitHub:alice?secret=GEZDGNBVGY3TQOJQ&issuer=GitHub"), true).ok());
  github = book.find("GitHub", "alice");
  EXPECT_EQ(book.code(*github, 59)->code, TotpGeneratorContext::make("GEZDGNBVGY3TQOJQ")->create(59.0));

  // HOTP codes step from the Key URI's counter; the export carries the next one.
  const auto bank = book.find("Bank", "alice");
  const auto hotp = HotpGeneratorContext::make("GEZDGNBVGY3TQOJQ", 7);
  for (std::uint64_t counter = 7; counter < 10; ++counter) {
    const auto code = book.code(*bank, 0);
    ASSERT_TRUE(code.ok()) << code.reason();
    EXPECT_EQ(code->counter, counter);
    EXPECT_EQ(code->code, hotp->create());
  }
  EXPECT_EQ(book.key(*bank)->parameters().counter, 10U);

  const auto renamed = book.rename(*bank, "Bank", "bob");
  ASSERT_TRUE(renamed.ok()) << renamed.reason();
  EXPECT_EQ(book.key(*renamed)->parameters().account, "bob");
  EXPECT_EQ(book.rename(*renamed, "GitHub", "alice").reason(), "an account 'GitHub:alice' exists already");
  EXPECT_EQ(book.remove(*renamed), std::nullopt);
  EXPECT_EQ(book.list()->size(), 1U);
  EXPECT_EQ(book.code(*renamed, 0).reason(), "the secret of 'Bank:bob' is missing");
}

TEST_F(AccountBookTest, ReasonsEscapeNamesAndTheIndexHoldsNoSecret) {
  ASSERT_TRUE(book.add(keyOf("otpauth://totp/Caf%C3%A9:a%5Cb?secret=JBSWY3DPEHPK3PXP")).ok());
  EXPECT_EQ(book.add(keyOf("otpauth://totp/Caf%C3%A9:a%5Cb?secret=JBSWY3DPEHPK3PXP")).reason(),
            "an account 'Café:a\\\\b' exists already");
  const auto account = book.list()->front();
  // A name no Key URI could carry is refused as the Key URI refuses it.
  EXPECT_EQ(book.rename(account, "", "\x1B[2J").reason(),
            "the issuer or the account name is not printable UTF-8 text");
  ASSERT_TRUE(book.remove(account) == std::nullopt);
  // Removed rows leave no secret in the file's free pages.
  EXPECT_EQ(fileBytes(settings.location()).find(secret), std::string::npos);
}

// The book's file is the settings store's: refused as it refuses, and left as it was.
TEST(AccountBookFile, RefusedAsTheSettingsStoreRefusesItWithNothingRead) {
  for (const bool link : {true, false}) {
    test::TemporaryFolder folder;
    const auto real = folder / "real.sqlite3";
    {
      SettingsStore store(real);
      OtpAccountBook book(store, nullptr, OtpAccountBook::Place::file);
      ASSERT_TRUE(book.add(keyOf("otpauth://totp/a?secret=JBSWY3DPEHPK3PXP")).ok());
    }
    auto path = real;
    if (link) {
      path = folder / "link.sqlite3";
      std::filesystem::create_symlink(real, path);
    } else {
      ASSERT_EQ(::chmod(real.c_str(), 0666), 0);  // others may write it
    }
    const auto before = fileBytes(real);
    SettingsStore store(path);
    OtpAccountBook book(store, nullptr, OtpAccountBook::Place::file);
    const auto listed = book.list();
    EXPECT_FALSE(listed.ok());
    EXPECT_TRUE(listed.reason().starts_with("refusing settings file")) << listed.reason();
    EXPECT_FALSE(book.add(keyOf("otpauth://totp/b?secret=JBSWY3DPEHPK3PXP")).ok());
    EXPECT_EQ(fileBytes(real), before);
  }
}

}  // namespace
}  // namespace tervala
