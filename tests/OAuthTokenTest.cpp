// The token: its scope, expiry and Authorization header, its keyed archive (what is written and
// what is refused on reading), and storing it in a settings store.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <tervala/Coder.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const Date expiry = Date(std::chrono::seconds(1'800'000'000)) + 654321us;

OAuthToken sampleToken(std::string_view scope = "read,write") {
  return OAuthToken("access \"1\" [{", "Bearer", "refresh-1", expiry, scope,
                    {{"id_token", "eyJ.x.y"}, {"name", "J\xC3\xBCrgen \xF0\x9F\x94\x91"}});
}

Data bytesOf(const std::string& text) {
  return Data(text.begin(), text.end());
}

json sampleDocument() {
  const Data data = *KeyedArchiver::archivedDataWithRootObject(sampleToken());
  return json::parse(data.begin(), data.end());
}

TEST(OAuthToken, ScopeIsSplitAtEveryCommaKeepingEmptyItems) {
  for (const auto& [text, items] :
       std::vector<std::pair<std::string, OAuthToken::Scope>>{{"read,write", {"read", "write"}},
                                                              {"read write", {"read write"}},
                                                              {"", {""}},
                                                              {",a,", {"", "a", ""}}}) {
    EXPECT_EQ(sampleToken(text).scope(), items) << '"' << text << '"';
  }
}

TEST(OAuthToken, ExpiresOnlyWhenNowIsStrictlyLater) {
  OAuthToken token = sampleToken();
  EXPECT_FALSE(token.hasTokenExpired(expiry));
  EXPECT_TRUE(token.hasTokenExpired(expiry + 1ns));
  token.setExpiresOn(std::chrono::system_clock::now() + 1h);
  EXPECT_FALSE(token.hasTokenExpired());
  token.setExpiresOn(std::nullopt);  // unknown expiry counts as past
  EXPECT_TRUE(token.hasTokenExpired(Date::min()));
}

TEST(OAuthToken, HeaderIsTypeBlankAccessTokenOrAbsentWhenUnsafe) {
  for (const auto& [type, access, header] :
       std::vector<std::tuple<std::string, std::string, std::optional<std::string>>>{
           {" mac ", "x y", " mac  x y"},
           {"Bearer", "abc\r\nX-Other: 1", std::nullopt},
           {"Bearer", "a\t", std::nullopt},
           {"B\xC3\xA9", "abc", std::nullopt}}) {
    OAuthToken token = sampleToken();
    token.setTokenType(type);
    token.setAccessToken(access);
    EXPECT_EQ(token.createAuthorizationHeader(), header) << ::testing::PrintToString(type + access);
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

TEST(OAuthToken, OperationsReadFieldsThroughTheAccessors) {
  const HostToken token("access-1", "Bearer", "refresh-1", expiry, "read");
  const OAuthToken& base = token;
  EXPECT_EQ(base.createAuthorizationHeader(), "DPoP access-1");
  EXPECT_FALSE(base.hasTokenExpired());  // the no-argument form reaches the override
  Coder coder;
  base.encodeWithCoder(coder);
  EXPECT_EQ(coder.decodeObject("tokenType"), CodedValue{std::string("DPoP")});
  EXPECT_EQ(coder.decodeObject("scope"), CodedValue{std::string("host,scope")});
}

TEST(OAuthTokenArchive, WritesSixTypedEntriesInOrderWithNullForAbsentFields) {
  const json document = sampleDocument();
  EXPECT_EQ(document["format"], "Tervala.KeyedArchive");
  EXPECT_EQ(document["version"], 1);
  EXPECT_EQ(document["class"], "Tervala.OAuthToken");
  std::vector<std::string> entries;
  for (const json& entry : document["entries"]) {
    entries.push_back(entry["key"].get<std::string>() + ":" + entry["kind"].get<std::string>());
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"accessToken:text", "tokenType:text", "refreshToken:text",
                                               "expiresOn:date", "scope:text", "additionalData:dictionary"}));
  EXPECT_EQ(document["entries"][3]["value"], 1'800'000'000'654'321LL);  // microseconds since 1970

  OAuthToken token = sampleToken();
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
  token.setAdditionalData({{"k", "\xC0\x80"}});  // not UTF-8: cannot be archived
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(token));
}

TEST(OAuthTokenArchive, RoundTripKeepsEveryFieldAndDatesToTheMicrosecond) {
  for (const auto& [written, read] : std::vector<std::pair<Date, Date>>{
           {expiry + 999ns, expiry},     // below a microsecond is dropped
           {Date(-1500ns), Date(-2us)},  // before 1970: rounded down too
           {Date::max(),
            Date(std::chrono::floor<std::chrono::microseconds>(Date::max().time_since_epoch()))}}) {
    OAuthToken token = sampleToken("a,,b");
    token.setExpiresOn(written);
    const auto data = KeyedArchiver::archivedDataWithRootObject(token);
    ASSERT_TRUE(data);
    const auto back = KeyedUnarchiver::unarchiveObjectWithData(*data);
    ASSERT_TRUE(back) << written.time_since_epoch().count();
    EXPECT_EQ(back->expiresOn(), read) << written.time_since_epoch().count();
    EXPECT_EQ(back->accessToken(), token.accessToken());
    EXPECT_EQ(back->tokenType(), token.tokenType());
    EXPECT_EQ(back->refreshToken(), token.refreshToken());
    EXPECT_EQ(back->scope(), token.scope());
    EXPECT_EQ(back->additionalData(), token.additionalData());
  }
}

json& entry(json& document, std::string_view key) {
  for (json& item : document["entries"]) {
    if (item["key"] == key) {
      return item;
    }
  }
  throw std::logic_error("no such entry");
}

// Each case edits a good archive into one that must be refused.
TEST(OAuthTokenArchive, ArchivesOfAnotherShapeAreRefused) {
  using Edit = std::function<std::string(json)>;
  const auto edit = [](const std::function<void(json&)>& change) -> Edit {
    return [change](json d) {
      change(d);
      return d.dump();
    };
  };
  const std::vector<std::pair<const char*, Edit>> cases = {
      {"version 2", edit([](json& d) { d["version"] = 2; })},
      {"date holding text", edit([](json& d) { entry(d, "expiresOn")["value"] = "1"; })},
      {"dictionary holding a number", edit([](json& d) { entry(d, "additionalData")["value"]["n"] = 1; })},
      {"other class", edit([](json& d) { d["class"] = "Tervala.OAuthResult"; })},
      {"extra member", edit([](json& d) { d["extra"] = true; })},
      {"date past the range",
       edit([](json& d) { entry(d, "expiresOn")["value"] = 9'223'372'036'854'776LL; })},
      {"key twice", edit([](json& d) { d["entries"].push_back(entry(d, "scope")); })},
      {"no additionalData", edit([](json& d) { d["entries"].erase(5); })},
      {"null refreshToken", edit([](json& d) {
         entry(d, "refreshToken") = {{"key", "refreshToken"}, {"kind", "null"}};
       })},
      {"empty", [](const json&) { return std::string(); }},
      {"trailing bytes", [](const json& d) { return d.dump() + "x"; }},
      {"deep nesting", [](const json&) { return std::string(200000, '[') + std::string(200000, ']'); }},
      {"not UTF-8",
       [](const json& d) {
         std::string text = d.dump();
         text[text.find("refresh-1")] = static_cast<char>(0xFF);
         return text;
       }},
      {"NUL inside",
       [](const json& d) {
         std::string text = d.dump();
         text[text.size() / 2] = '\0';
         return text;
       }},
  };
  ASSERT_TRUE(KeyedUnarchiver::unarchiveObjectWithData(bytesOf(sampleDocument().dump())));
  for (const auto& [name, change] : cases) {
    const std::string text = change(sampleDocument());
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(bytesOf(text)), nullptr) << name;
  }
  OAuthToken token = sampleToken();  // brackets inside texts are no nesting
  token.setAccessToken(std::string(1000, '[') + "\\\"" + std::string(1000, '{'));
  const auto brackets =
      KeyedUnarchiver::unarchiveObjectWithData(*KeyedArchiver::archivedDataWithRootObject(token));
  ASSERT_TRUE(brackets);
  EXPECT_EQ(brackets->accessToken(), token.accessToken());
  token.setAdditionalData({{"blob", std::string(KeyedUnarchiver::maxArchiveSize, 'x')}});
  EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(*KeyedArchiver::archivedDataWithRootObject(token)),
            nullptr);
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
}

// Neither an unreadable token nor a failed store destroys what is stored.
TEST_F(OAuthTokenStore, UnreadableTokensRetrieveAsAbsentAndFailedStoresChangeNothing) {
  OAuthToken token = sampleToken();
  token.setExpiresOn(std::nullopt);
  ASSERT_TRUE(token.store(settings));
  EXPECT_EQ(OAuthToken::retrieve(settings), nullptr);
  const Data garbage = {'n', 'o', 't', 0x00, 0xFF, '{'};
  ASSERT_TRUE(settings.setData("token", garbage));
  EXPECT_EQ(OAuthToken::retrieve(settings), nullptr);
  EXPECT_EQ(settings.data("token"), garbage);

  ASSERT_TRUE(sampleToken().store(settings));
  OAuthToken notUtf8 = sampleToken();
  notUtf8.setAccessToken("\xFF\xFE");  // cannot be archived
  EXPECT_FALSE(notUtf8.store(settings));
  OAuthToken huge = sampleToken();
  huge.setAdditionalData({{"blob", std::string(SettingsStore::maxValueSize, 'x')}});  // over the value limit
  EXPECT_FALSE(huge.store(settings));
  const auto read = OAuthToken::retrieve(settings);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->accessToken(), sampleToken().accessToken());
}

}  // namespace
}  // namespace tervala
