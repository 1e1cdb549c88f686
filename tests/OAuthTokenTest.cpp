#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <tervala/Coder.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;

const Date expiry = Date(std::chrono::seconds(1'800'000'000));

OAuthToken sampleToken(std::string_view scope = "read,write") {
  return OAuthToken("access-1", "Bearer", "refresh-1", expiry, scope, {{"id_token", "eyJ.x.y"}});
}

TEST(OAuthTokenScope, IsSplitAtEveryCommaKeepingEmptyItems) {
  const std::vector<std::pair<std::string, OAuthToken::Scope>> cases = {
      {"read,write", {"read", "write"}},
      {"read write", {"read write"}},
      {"a,,b", {"a", "", "b"}},
      {"read, write", {"read", " write"}},
      {"", {""}},
      {",", {"", ""}},
      {",a,", {"", "a", ""}},
      {"openid", {"openid"}},
  };
  for (const auto& [text, items] : cases) {
    EXPECT_EQ(sampleToken(text).scope(), items) << '"' << text << '"';
  }
  EXPECT_TRUE(OAuthToken("a", "b", "c", expiry, "s").additionalData().empty());
}

TEST(OAuthTokenExpiry, ExpiresOnlyWhenNowIsStrictlyLater) {
  OAuthToken token = sampleToken();
  EXPECT_FALSE(token.hasTokenExpired(expiry - 1h));
  EXPECT_FALSE(token.hasTokenExpired(expiry));
  EXPECT_TRUE(token.hasTokenExpired(expiry + 1ns));
  EXPECT_TRUE(token.hasTokenExpired(expiry + 1h));

  token.setExpiresOn(std::chrono::system_clock::now() + 1h);
  EXPECT_FALSE(token.hasTokenExpired());
  token.setExpiresOn(std::chrono::system_clock::now() - 1s);
  EXPECT_TRUE(token.hasTokenExpired());
  token.setExpiresOn(std::nullopt);  // unknown expiry counts as past
  EXPECT_TRUE(token.hasTokenExpired(Date::min()));
  EXPECT_TRUE(token.hasTokenExpired());
}

TEST(OAuthTokenHeader, IsTypeBlankAccessTokenUnchangedOrAbsentWhenUnsafe) {
  const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> cases = {
      {"Bearer", "abc", "Bearer abc"},
      {"bearer", "abc", "bearer abc"},
      {" mac ", "x y", " mac  x y"},
      {"", "", " "},
      {"Bearer", "abc\r\nX-Other: 1", std::nullopt},
      {"Bearer\n", "abc", std::nullopt},
      {"Bearer", "a\x7F", std::nullopt},
      {"B\xC3\xA9"
       "arer",
       "abc", std::nullopt},
      {"Bearer", "\xFF", std::nullopt}};
  for (const auto& [type, access, header] : cases) {
    OAuthToken token = sampleToken();
    token.setTokenType(type);
    token.setAccessToken(access);
    EXPECT_EQ(token.createAuthorizationHeader(), header);
  }
  for (char c = 0; c < 0x20; ++c) {
    OAuthToken token = sampleToken();
    token.setAccessToken(std::string("a") + c);
    EXPECT_FALSE(token.createAuthorizationHeader()) << int(c);
    token = sampleToken();
    token.setTokenType(std::string("a") + c);
    EXPECT_FALSE(token.createAuthorizationHeader()) << int(c);
  }
}

// A host's token that reports other values through its accessors.
class HostToken : public OAuthToken {
 public:
  using OAuthToken::hasTokenExpired;
  using OAuthToken::OAuthToken;
  [[nodiscard]] std::string tokenType() const override { return "DPoP"; }
  [[nodiscard]] std::optional<Scope> scope() const override { return Scope{"host", "scope"}; }
  [[nodiscard]] bool hasTokenExpired(Date) const override { return false; }
};

TEST(OAuthTokenOverrides, OperationsReadFieldsThroughTheAccessors) {
  const HostToken token("access-1", "Bearer", "refresh-1", expiry, "read");
  const OAuthToken& base = token;
  EXPECT_EQ(base.createAuthorizationHeader(), "DPoP access-1");
  EXPECT_FALSE(base.hasTokenExpired());  // the no-argument form reaches the override
  Coder coder;
  base.encodeWithCoder(coder);
  EXPECT_EQ(coder.decodeObject("tokenType"), CodedValue{std::string("DPoP")});
  EXPECT_EQ(coder.decodeObject("scope"), CodedValue{std::string("host,scope")});
}

TEST(OAuthTokenArchive, WritesSixEntriesInOrderWithNullForAbsentFields) {
  OAuthToken token = sampleToken();
  Coder full;
  token.encodeWithCoder(full);
  const std::vector<Coder::Entry> expected = {
      {"accessToken", std::string("access-1")},
      {"tokenType", std::string("Bearer")},
      {"refreshToken", std::string("refresh-1")},
      {"expiresOn", expiry},
      {"scope", std::string("read,write")},
      {"additionalData", CodedDictionary{{"id_token", "eyJ.x.y"}}},
  };
  EXPECT_EQ(full.entries(), expected);

  token.setRefreshToken(std::nullopt);
  token.setExpiresOn(std::nullopt);
  token.setScope(std::nullopt);
  Coder sparse;
  token.encodeWithCoder(sparse);
  ASSERT_EQ(sparse.entries().size(), 6U);
  for (const char* key : {"refreshToken", "expiresOn", "scope"}) {
    EXPECT_TRUE(sparse.containsValueForKey(key)) << key;
    EXPECT_EQ(sparse.decodeObject(key), CodedValue{}) << key;
  }

  token.setScope(OAuthToken::Scope{});
  Coder empty;
  token.encodeWithCoder(empty);
  EXPECT_EQ(empty.decodeObject("scope"), CodedValue{std::string()});
}

TEST(OAuthTokenArchive, ArchiveConstructorRebuildsTheToken) {
  Coder coder;
  sampleToken("a,,b").encodeWithCoder(coder);
  const auto token = OAuthToken::make(coder);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->accessToken(), "access-1");
  EXPECT_EQ(token->tokenType(), "Bearer");
  EXPECT_EQ(token->refreshToken(), "refresh-1");
  EXPECT_EQ(token->expiresOn(), expiry);
  EXPECT_EQ(token->scope(), (OAuthToken::Scope{"a", "", "b"}));
  EXPECT_EQ(token->additionalData(), (OAuthToken::AdditionalData{{"id_token", "eyJ.x.y"}}));
}

TEST(OAuthTokenArchive, ArchiveConstructorRefusesAnyMissingNullOrWrongKindEntry) {
  const std::vector<std::pair<std::string, std::vector<CodedValue>>> wrong = {
      {"accessToken", {CodedValue{}, expiry, CodedDictionary{}}},
      {"tokenType", {CodedValue{}, CodedDictionary{{"a", "b"}}}},
      {"refreshToken", {CodedValue{}, expiry}},
      {"expiresOn", {CodedValue{}, std::string("2027-01-01T00:00:00Z")}},
      {"scope", {CodedValue{}, CodedDictionary{}}},
      {"additionalData", {CodedValue{}, std::string("{}")}},
  };
  for (const auto& [key, values] : wrong) {
    Coder good;
    sampleToken().encodeWithCoder(good);
    std::vector<Coder::Entry> without;
    for (const auto& entry : good.entries()) {
      if (entry.first != key) {
        without.push_back(entry);
      }
    }
    EXPECT_EQ(OAuthToken::make(Coder(without)), nullptr) << "without " << key;
    for (const CodedValue& value : values) {
      Coder coder = good;
      coder.encodeObject(value, key);
      EXPECT_EQ(OAuthToken::make(coder), nullptr) << key << " of kind " << value.index();
    }
  }
}

class OAuthTokenStore : public ::testing::Test {
 protected:
  test::TemporaryFolder folder;
  SettingsStore settings{folder / "settings.sqlite3"};
};

TEST_F(OAuthTokenStore, RetrieveGivesTheLastStoredToken) {
  EXPECT_EQ(OAuthToken::retrieve(settings), nullptr);
  ASSERT_TRUE(sampleToken().store(settings));
  OAuthToken second("access-2", "Mac", "refresh-2", expiry + 123456789ns, "", {{"k", "v"}});
  second.setScope(OAuthToken::Scope{});
  ASSERT_TRUE(second.store(settings));

  const auto read = OAuthToken::retrieve(settings);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->accessToken(), "access-2");
  EXPECT_EQ(read->tokenType(), "Mac");
  EXPECT_EQ(read->refreshToken(), "refresh-2");
  EXPECT_EQ(read->expiresOn(), expiry + 123456us);  // kept to the microsecond
  EXPECT_EQ(read->scope(), OAuthToken::Scope{""});  // an empty list comes back as one empty item
  EXPECT_EQ(read->additionalData(), (OAuthToken::AdditionalData{{"k", "v"}}));
  EXPECT_NE(OAuthToken::retrieve(settings), read);  // a new object each time
  EXPECT_TRUE(settings.data("token"));              // and the entry stays
}

TEST_F(OAuthTokenStore, TokensThatCannotBeReadBackAreStoredButRetrieveAsAbsent) {
  for (const int absent : {0, 1, 2}) {
    OAuthToken token = sampleToken();
    if (absent == 0) {
      token.setRefreshToken(std::nullopt);
    } else if (absent == 1) {
      token.setExpiresOn(std::nullopt);
    } else {
      token.setScope(std::nullopt);
    }
    ASSERT_TRUE(token.store(settings));
    EXPECT_EQ(OAuthToken::retrieve(settings), nullptr) << absent;
  }
}

TEST_F(OAuthTokenStore, UnreadableBytesRetrieveAsAbsentAndStayInPlace) {
  const Data garbage = {'n', 'o', 't', 0x00, 0xFF, '{'};
  ASSERT_TRUE(settings.setData("token", garbage));
  EXPECT_EQ(OAuthToken::retrieve(settings), nullptr);
  EXPECT_EQ(settings.data("token"), garbage);
}

TEST_F(OAuthTokenStore, PlantedArchiveWithALineBreakGivesNoHeader) {
  const std::string planted =
      R"({"format":"Tervala.KeyedArchive","version":1,"class":"Tervala.OAuthToken","entries":[)"
      R"({"key":"accessToken","kind":"text","value":"a\r\nX-Other: 1"},{"key":"tokenType","kind":"text",)"
      R"("value":"Bearer"},{"key":"refreshToken","kind":"text","value":""},{"key":"expiresOn","kind":"date",)"
      R"("value":5},{"key":"scope","kind":"text","value":""},{"key":"additionalData","kind":"dictionary",)"
      R"("value":{}}]})";
  ASSERT_TRUE(settings.setData("token", Data(planted.begin(), planted.end())));
  const auto read = OAuthToken::retrieve(settings);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->accessToken(), "a\r\nX-Other: 1");
  EXPECT_FALSE(read->createAuthorizationHeader());
}

TEST_F(OAuthTokenStore, AFailedStoreLeavesTheEarlierTokenInPlace) {
  ASSERT_TRUE(sampleToken().store(settings));
  OAuthToken notUtf8 = sampleToken();
  notUtf8.setAccessToken("\xFF\xFE");  // cannot be archived
  EXPECT_FALSE(notUtf8.store(settings));
  OAuthToken huge = sampleToken();
  huge.setAdditionalData({{"blob", std::string(SettingsStore::maxValueSize, 'x')}});  // over the value limit
  EXPECT_FALSE(huge.store(settings));
  SettingsStore nowhere(folder / "file" / "below-a-file.sqlite3");
  ASSERT_TRUE(SettingsStore(folder / "file").setData("x", {}));  // "file" is now a regular file
  EXPECT_FALSE(sampleToken().store(nowhere));

  const auto read = OAuthToken::retrieve(settings);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->accessToken(), "access-1");
}

TEST_F(OAuthTokenStore, TheStandardStoreIsTheOneTheHostChose) {
  const auto chosen = folder / "app" / "standard.sqlite3";
  SettingsStore::setStandardLocation(chosen);
  EXPECT_EQ(SettingsStore::standard().location(), chosen);
  EXPECT_EQ(OAuthToken::retrieve(), nullptr);
  ASSERT_TRUE(sampleToken().store());
  EXPECT_EQ(OAuthToken::retrieve()->accessToken(), "access-1");
  EXPECT_EQ(OAuthToken::retrieve(*std::make_unique<SettingsStore>(chosen))->accessToken(), "access-1");
  SettingsStore::setStandardLocation(folder / "elsewhere.sqlite3");
  EXPECT_EQ(OAuthToken::retrieve(), nullptr);
}

}  // namespace
}  // namespace tervala
