// The token from the endpoint's reply to the Authorization header: reading the reply, the JSON
// text of a result, the token's keyed archive and storing it in a settings store. The token source
// that refreshes it is in TokenRefreshLockTest.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A fixed "now" on a whole second, so lifetimes are easy to read.
constexpr Date grantedAt = Date(std::chrono::seconds(1'800'000'000));
constexpr Date expiry = grantedAt + 654321us;

json typicalReply() {
  return json::parse(R"({"access_token":"2YotnFZFEjr1zCsicMWpAA","token_type":"bearer",)"
                     R"("refresh_token":"tGzv3JOkF0XG5Qx2TlKWIA","expires_in":3600,"scope":"read,write"})");
}

constexpr const char* invalidData = "Invalid or missing OAuth token data received.";

// The typical reply with `key` set to `value`, or without `key`.
json replyWith(const std::string& key, const std::optional<json>& value) {
  json reply = typicalReply();
  value ? void(reply[key] = *value) : void(reply.erase(key));
  return reply;
}

std::shared_ptr<const OAuthResult> parseWith(const std::string& key, const json& value) {
  return OAuthResult::parse(replyWith(key, value), grantedAt);
}

OAuthToken sampleToken(std::string_view scope = "read,write") {
  return OAuthToken("access \"1\" [{", "Bearer", "refresh-1", expiry, scope,
                    {{"id_token", "eyJ.x.y"}, {"name", "J\xC3\xBCrgen \xF0\x9F\x94\x91"}});
}

// A token-data problem names the field. (The lenient-reply suite has the strict profile's missing
// fields.)
TEST(OAuthResultParse, RefusedRepliesBecomeOAuthErrorsWrittenInTheErrorForm) {
  json besideToken = typicalReply();
  besideToken.update({{"error", "server_error"}, {"error_description", "Try later"}});
  // reply, description, failure reason, a piece of the token-data problem ("-": none)
  using Case = std::tuple<json, std::string, std::string, std::string>;
  for (const auto& [reply, description, reason, problem] : std::vector<Case>{
           {{{"error", "invalid_grant"}}, "invalid_grant", "invalid_grant", "-"},
           {{{"error", 42}}, "The token endpoint refused the request.", "42", "-"},
           {{{"error", {{"code", 7}}}, {"error_description", json::array({"a", true})}},
            R"(["a",true])",
            R"({"code":7})",
            "-"},
           {besideToken, "Try later", "server_error", "-"},
           {json::array({typicalReply()}), invalidData, invalidData, ""},
           {replyWith("access_token", 12), invalidData, invalidData, "access_token"},
           {replyWith("token_type", json::object()), invalidData, invalidData, "token_type"},
           {replyWith("expires_in", true), invalidData, invalidData, "expires_in"},
           {replyWith("scope", std::nullopt), invalidData, invalidData, "scope"},
           {replyWith("scope", json::array({"read", "write"})), invalidData, invalidData, "scope"}}) {
    SCOPED_TRACE(reply.dump());
    const auto result = OAuthResult::parse(reply, grantedAt);
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, "NSOAuthErrorDomain");
    EXPECT_EQ(result->error()->code, -1);
    EXPECT_EQ(result->errorDescription(), description);
    EXPECT_EQ(result->error()->localizedFailureReason(), reason);
    EXPECT_NE(result->tokenDataProblem().value_or("-").find(problem), std::string::npos);
    EXPECT_EQ(result->serializeToToken(), nullptr);
    EXPECT_EQ(json::parse(result->serializeToJson(grantedAt)),
              (json{{"error_description", description}, {"error_reason", reason}}));
  }
  const OAuthResult transport(Error::make(Error::urlErrorDomain, -1001, "The request \"timed\" out."));
  EXPECT_EQ(transport.serializeToJson(),
            R"({ "error_reason":"nil","error_description":"The request \"timed\" out." })");
}

// The type is capitalised, lifetimes may be fractional, other entries are kept as text.
TEST(OAuthResultParse, SuccessCarriesTheGrantedFieldsAndOtherEntriesIntoTheToken) {
  json reply = typicalReply();
  reply.update({{"token_type", "n_a-B2"},
                {"expires_in", 0.5},
                {"id_token", "eyJhbGciOi.payload.sig"},
                {"error_description", "not an error"},
                {"verified", true},
                {"claims", {{"b", 1}, {"a", json::array({"x", nullptr})}}},
                {"nothing", nullptr}});
  const auto result = OAuthResult::parse(reply, grantedAt);
  ASSERT_TRUE(result && !result->hasError());
  const auto token = result->serializeToToken();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->accessToken(), "2YotnFZFEjr1zCsicMWpAA");
  EXPECT_EQ(token->tokenType(), "N_a-b2");
  EXPECT_EQ(token->refreshToken(), "tGzv3JOkF0XG5Qx2TlKWIA");
  EXPECT_EQ(token->expiresOn(), grantedAt + 500ms);
  EXPECT_EQ(token->scope(), (OAuthToken::Scope{"read", "write"}));
  EXPECT_EQ(token->additionalData(), (OAuthToken::AdditionalData{{"id_token", "eyJhbGciOi.payload.sig"},
                                                                 {"error_description", "not an error"},
                                                                 {"verified", "true"},
                                                                 {"claims", R"({"a":["x",null],"b":1})"}}));
  EXPECT_EQ(result->serializeToJson(grantedAt).find("id_token"), std::string::npos);
}

// The type and the access token make the host's Authorization header: what could break the line is
// refused when the reply is read, and a token that holds it anyway gives no header.
TEST(OAuthTokenHeader, IsTypeBlankAccessTokenAndNothingThatCouldBreakTheLine) {
  EXPECT_EQ(OAuthToken("x y", " mac ", "r", expiry, "s").createAuthorizationHeader(), " mac  x y");
  std::vector<std::string> hostile = {"a\r\nX-Other: 1\r\n\r\nGET /evil HTTP/1.1", "a\x7F", "\xC3\xA9",
                                      "\xFF"};
  for (char c = 0; c < 0x20; ++c) {
    hostile.push_back(std::string("a") + c + "b");
  }
  for (const std::string& bad : hostile) {
    SCOPED_TRACE(json(bad).dump(-1, ' ', true, json::error_handler_t::replace));
    EXPECT_EQ(parseWith("access_token", bad)->errorDescription(), invalidData);
    EXPECT_TRUE(parseWith("token_type", bad)->hasError());
    EXPECT_EQ(OAuthToken(bad, "Bearer", "r", expiry, "s").createAuthorizationHeader(), std::nullopt);
    EXPECT_EQ(OAuthToken("abc", bad, "r", expiry, "s").createAuthorizationHeader(), std::nullopt);
  }
  for (const char* type : {"mac token", "", "a:b"}) {
    EXPECT_TRUE(parseWith("token_type", type)->hasError()) << type;
  }
  EXPECT_FALSE(parseWith("access_token", " !\"~ a+b/c= ")->hasError());  // blanks and visible characters
}

// The text gives the lifetime left at each call; a lifetime past the date range (about 292 years
// either side of 1970) is held as the range's end.
TEST(OAuthResultJson, RemainingLifetimeIsRecomputedAtEachCallAndSaturates) {
  EXPECT_EQ(OAuthResult::parse(typicalReply(), grantedAt)->serializeToJson(grantedAt + 500ms),
            R"({ "access_token":"2YotnFZFEjr1zCsicMWpAA","expires_in":"3599","token_type":"Bearer",)"
            R"("refresh_token":"tGzv3JOkF0XG5Qx2TlKWIA","scope":"read,write" })");
  // Seconds from grantedAt to the range's ends, in 2262 and 1677.
  for (const auto& [expiresIn, now, end, left] : std::vector<std::tuple<json, Date, Date, std::string>>{
           {3600, grantedAt + 3601500ms, grantedAt + 3600s, "-1"},
           {3600, grantedAt - 1s, grantedAt + 3600s, "3601"},
           {json(std::numeric_limits<std::uint64_t>::max()), grantedAt, Date::max(), "7423372036"},
           {9e9, grantedAt, Date::max(), "7423372036"},  // in the 64-bit range of seconds only
           {-1e300, grantedAt, Date::min(), "-11023372036"}}) {
    SCOPED_TRACE(expiresIn.dump() + " seconds, " + left + " left");
    const auto result = parseWith("expires_in", expiresIn);
    ASSERT_TRUE(result->serializeToToken());
    EXPECT_EQ(result->serializeToToken()->expiresOn(), end);
    EXPECT_EQ(json::parse(result->serializeToJson(now))["expires_in"], left);
  }
  const OAuthResult notANumber("a", "Bearer", "r", std::nan(""), "", {}, grantedAt);
  EXPECT_TRUE(notANumber.serializeToToken()->hasTokenExpired(grantedAt));
}

TEST(OAuthResultJson, FieldTextsAreEscapedSoTheTextStaysValidJson) {
  const std::string awkward = "quote\" back\\slash \n\r\t\b\f \x01\x1f \xC3\xA9 \xF0\x9F\x94\x91 /</";
  const auto result = parseWith("refresh_token", awkward);  // the one token field that may hold anything
  const std::string text = result->serializeToJson(grantedAt);
  EXPECT_NE(text.find(R"(quote\" back\\slash \n\r\t\b\f \u0001\u001f)"), std::string::npos) << text;
  EXPECT_EQ(json::parse(text)["refresh_token"], awkward);
  // Bytes that are not UTF-8 (only a host's own result can hold them) become U+FFFD.
  const OAuthResult hostMade("bad\xFF\xC3", "Bearer", "\xED\xA0\x80", 60, "ok", {}, grantedAt);
  const json repaired = json::parse(hostMade.serializeToJson(grantedAt));
  EXPECT_EQ(repaired["access_token"], "bad\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(repaired["refresh_token"], "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
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

// A host's token that reports other values through its accessors.
class HostToken : public OAuthToken {
 public:
  using OAuthToken::hasTokenExpired;
  using OAuthToken::OAuthToken;
  [[nodiscard]] std::string tokenType() const override { return "MAC"; }
  [[nodiscard]] std::optional<Scope> scope() const override { return Scope{"host", "scope"}; }
  [[nodiscard]] bool hasTokenExpired(Date) const override { return false; }
};

TEST(OAuthToken, OperationsReadFieldsThroughTheAccessors) {
  const HostToken token("access-1", "Bearer", "refresh-1", expiry, "read");
  const OAuthToken& base = token;
  EXPECT_EQ(base.createAuthorizationHeader(), "MAC access-1");
  EXPECT_FALSE(base.hasTokenExpired());  // the no-argument form reaches the override
  EXPECT_EQ(
      KeyedUnarchiver::unarchiveObjectWithData(*KeyedArchiver::archivedDataWithRootObject(base))->scope(),
      (OAuthToken::Scope{"host", "scope"}));
}

json sampleDocument() {
  const Data data = *KeyedArchiver::archivedDataWithRootObject(sampleToken());
  return json::parse(data.begin(), data.end());
}

TEST(OAuthTokenArchive, WritesSixTypedEntriesInOrderWithNullForAbsentFields) {
  const auto entries = [](const json& document) {
    std::vector<std::string> keys;
    for (const json& entry : document["entries"]) {
      keys.push_back(entry["key"].get<std::string>() + ":" + entry["kind"].get<std::string>());
    }
    return keys;
  };
  const json document = sampleDocument();
  EXPECT_EQ(document["format"], "Tervala.KeyedArchive");
  EXPECT_EQ(document["version"], 1);
  EXPECT_EQ(document["class"], "Tervala.OAuthToken");
  EXPECT_EQ(entries(document),
            (std::vector<std::string>{"accessToken:text", "tokenType:text", "refreshToken:text",
                                      "expiresOn:date", "scope:text", "additionalData:dictionary"}));
  EXPECT_EQ(document["entries"][3]["value"], 1'800'000'000'654'321LL);  // microseconds since 1970

  OAuthToken token = sampleToken();
  token.setRefreshToken(std::nullopt);
  token.setExpiresOn(std::nullopt);
  token.setScope(std::nullopt);
  const Data sparse = *KeyedArchiver::archivedDataWithRootObject(token);
  EXPECT_EQ(entries(json::parse(sparse.begin(), sparse.end())),
            (std::vector<std::string>{"accessToken:text", "tokenType:text", "refreshToken:null",
                                      "expiresOn:null", "scope:null", "additionalData:dictionary"}));

  Coder coder = KeyedUnarchiver::contents(sparse)->coder;
  coder.encodeObject(std::string("again"), "accessToken");  // keeps its first place
  using Row = std::tuple<const char*, bool, CodedValue>;    // key, present, value
  for (const auto& [key, present, value] :
       {Row{"accessToken", true, std::string("again")}, Row{"scope", true, CodedValue{}},
        Row{"none", false, CodedValue{}}}) {
    EXPECT_EQ(coder.containsValueForKey(key), present) << key;
    EXPECT_TRUE(coder.decodeObject(key) == value) << key;
  }
}

// Each case edits a good archive (entries in the order above) into one that must be refused.
TEST(OAuthTokenArchive, ArchivesOfAnotherShapeAreRefused) {
  const auto edit = [](const std::function<void(json&)>& change) {
    return [change](json d) {
      change(d);
      return d.dump();
    };
  };
  const std::vector<std::pair<const char*, std::function<std::string(json)>>> cases = {
      {"version 2", edit([](json& d) { d["version"] = 2; })},
      {"date holding text", edit([](json& d) { d["entries"][3]["value"] = "1"; })},
      {"other class", edit([](json& d) { d["class"] = "Tervala.OAuthResult"; })},
      {"extra member", edit([](json& d) { d["extra"] = true; })},
      {"date past the range", edit([](json& d) { d["entries"][3]["value"] = 9'223'372'036'854'776LL; })},
      {"key twice", edit([](json& d) { d["entries"].push_back(d["entries"][4]); })},
      {"no additionalData", edit([](json& d) { d["entries"].erase(5); })},
      {"trailing bytes", [](const json& d) { return d.dump() + "x"; }},
      {"deep nesting", [](const json&) { return std::string(200000, '[') + std::string(200000, ']'); }},
      {"not UTF-8",
       [](const json& d) {
         std::string text = d.dump();
         text[text.find("refresh-1")] = static_cast<char>(0xFF);
         return text;
       }},
  };
  for (const auto& [name, change] : cases) {
    const std::string text = change(sampleDocument());
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(Data(text.begin(), text.end())), nullptr) << name;
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

// The scope text is split at every comma, empty items kept.
TEST_F(OAuthTokenStore, RetrieveGivesTheLastStoredTokenWithItsDateToTheMicrosecond) {
  EXPECT_EQ(OAuthToken::retrieve(settings), nullptr);
  const Date end(std::chrono::floor<std::chrono::microseconds>(Date::max().time_since_epoch()));
  using Row = std::tuple<Date, Date, std::string, OAuthToken::Scope>;  // written, read, scope text, items
  for (const auto& [written, read, scope, items] : std::vector<Row>{
           {expiry + 999ns, expiry, "a,,b", {"a", "", "b"}},           // below a microsecond is dropped
           {Date(-1500ns), Date(-2us), "read write", {"read write"}},  // before 1970: rounded down too
           {Date::max(), end, ",a,", {"", "a", ""}}}) {
    OAuthToken token = sampleToken(scope);
    token.setExpiresOn(written);
    ASSERT_TRUE(token.store(settings));
    const auto back = OAuthToken::retrieve(settings);
    ASSERT_TRUE(back) << scope;
    EXPECT_EQ(back->scope(), items);
    token.setExpiresOn(read);
    EXPECT_EQ(test::archiveOf(*back), test::archiveOf(token));
  }
  OAuthToken emptyScope = sampleToken();
  emptyScope.setScope(OAuthToken::Scope{});
  ASSERT_TRUE(emptyScope.store(settings));
  EXPECT_EQ(OAuthToken::retrieve(settings)->scope(), OAuthToken::Scope{""});  // one empty item
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
  notUtf8.setAccessToken("\xFF\xFE");  // not UTF-8: cannot be archived
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
