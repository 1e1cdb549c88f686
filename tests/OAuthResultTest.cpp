#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>

namespace tervala {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A fixed "now" on a whole second, so lifetimes are easy to read.
const Date grantedAt = Date(std::chrono::seconds(1'800'000'000));

const json typicalReply = {{"access_token", "2YotnFZFEjr1zCsicMWpAA"},
                           {"token_type", "bearer"},
                           {"refresh_token", "tGzv3JOkF0XG5Qx2TlKWIA"},
                           {"expires_in", 3600},
                           {"scope", "read,write"}};

constexpr const char* invalidData = "Invalid or missing OAuth token data received.";

TEST(OAuthResultParse, ErrorRepliesBecomeOAuthErrors) {
  json besideToken = typicalReply;
  besideToken.update({{"error", "server_error"}, {"error_description", "Try later"}});
  using Case = std::tuple<json, std::string, std::string>;  // reply, description, failure reason
  for (const auto& [reply, description, reason] :
       std::vector<Case>{{{{"error", "invalid_grant"}, {"error_description", "Bad password"}},
                          "Bad password",
                          "invalid_grant"},
                         {{{"error", "invalid_grant"}}, "invalid_grant", "invalid_grant"},
                         {{{"error", 42}}, "The token endpoint refused the request.", "42"},
                         {{{"error", {{"code", 7}}}, {"error_description", json::array({"a", true})}},
                          R"(["a",true])",
                          R"({"code":7})"},
                         {besideToken, "Try later", "server_error"}}) {
    SCOPED_TRACE(reply.dump());
    const auto result = OAuthResult::parse(reply, grantedAt);
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, "NSOAuthErrorDomain");
    EXPECT_EQ(result->error()->code, -1);
    EXPECT_EQ(result->errorDescription(), description);
    EXPECT_EQ(result->error()->localizedFailureReason(), reason);
    EXPECT_EQ(result->serializeToToken(), nullptr);
    const json written = json::parse(result->serializeToJson(grantedAt));
    EXPECT_EQ(written, (json{{"error_description", description}, {"error_reason", reason}}));
  }
}

TEST(OAuthResultParse, EachMissingOrWrongKindTokenFieldIsRefused) {
  std::vector<json> replies = {json::array({typicalReply}), json(nullptr)};
  for (const auto& [key, value] :
       std::vector<std::pair<const char*, std::optional<json>>>{{"access_token", std::nullopt},
                                                                {"access_token", nullptr},
                                                                {"access_token", 12},
                                                                {"token_type", std::nullopt},
                                                                {"token_type", json::object()},
                                                                {"refresh_token", std::nullopt},
                                                                {"refresh_token", nullptr},
                                                                {"expires_in", std::nullopt},
                                                                {"expires_in", "3600"},
                                                                {"expires_in", true},
                                                                {"scope", std::nullopt},
                                                                {"scope", json::array({"read", "write"})}}) {
    replies.push_back(typicalReply);
    value ? void(replies.back()[key] = *value) : void(replies.back().erase(key));
  }
  for (const json& reply : replies) {
    SCOPED_TRACE(reply.dump());
    const auto result = OAuthResult::parse(reply, grantedAt);
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->code, -1);
    EXPECT_EQ(result->errorDescription(), invalidData);
    EXPECT_EQ(result->serializeToToken(), nullptr);
  }
}

TEST(OAuthResultParse, SuccessCarriesTheGrantedFieldsIntoTheToken) {
  const auto result = OAuthResult::parse(typicalReply, grantedAt);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->hasError());
  const auto token = result->serializeToToken();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->accessToken(), "2YotnFZFEjr1zCsicMWpAA");
  EXPECT_EQ(token->tokenType(), "Bearer");
  EXPECT_EQ(token->refreshToken(), "tGzv3JOkF0XG5Qx2TlKWIA");
  EXPECT_EQ(token->expiresOn(), grantedAt + 3600s);
  EXPECT_EQ(token->scope(), (OAuthToken::Scope{"read", "write"}));
  EXPECT_TRUE(token->additionalData().empty());
  EXPECT_NE(result->serializeToToken(), token);  // a new token per call
  // Lifetimes may be fractional or negative; the token type is capitalised.
  for (const auto& [expiresIn, type, expiry, held] :
       std::vector<std::tuple<json, std::string, Date, std::string>>{
           {0.5, "BEARER", grantedAt + 500ms, "Bearer"}, {-10, "n_a-B2", grantedAt - 10s, "N_a-b2"}}) {
    json reply = typicalReply;
    reply["expires_in"] = expiresIn;
    reply["token_type"] = type;
    const auto heldToken = OAuthResult::parse(reply, grantedAt)->serializeToToken();
    ASSERT_TRUE(heldToken) << expiresIn;
    EXPECT_EQ(heldToken->expiresOn(), expiry) << expiresIn;
    EXPECT_EQ(heldToken->tokenType(), held) << type;
  }
}

// Both fields reach the host's Authorization header, so nothing that could break the line passes.
TEST(OAuthResultParse, RefusesTokenFieldsThatCouldBreakAHeaderLine) {
  std::vector<std::string> hostile = {"\x7F", "\xC3\xA9", "\xFF",
                                      "a\r\nX-Other: 1\r\n\r\nGET /evil HTTP/1.1"};
  for (char c = 0; c < 0x20; ++c) {
    hostile.push_back(std::string("a") + c + "b");
  }
  for (const auto& bad : hostile) {
    for (const char* field : {"access_token", "token_type"}) {
      json reply = typicalReply;
      reply[field] = bad;
      const auto result = OAuthResult::parse(reply, grantedAt);
      ASSERT_TRUE(result->hasError())
          << field << " " << json(bad).dump(-1, ' ', true, json::error_handler_t::replace);
      EXPECT_EQ(result->errorDescription(), invalidData);
    }
  }
  for (const char* type : {"mac token", "", "a:b"}) {
    json reply = typicalReply;
    reply["token_type"] = type;
    EXPECT_TRUE(OAuthResult::parse(reply, grantedAt)->hasError()) << type;
  }
  json visible = typicalReply;
  visible["access_token"] = " !\"~ a+b/c= ";  // blanks and every visible character are fine
  EXPECT_FALSE(OAuthResult::parse(visible, grantedAt)->hasError());
}

TEST(OAuthResultParse, OtherEntriesAreKeptAsTextAndNullsLeftOut) {
  json reply = typicalReply;
  reply["id_token"] = "eyJhbGciOi.payload.sig";
  reply["error_description"] = "not an error";
  reply["ext_expires_in"] = 3600;
  reply["verified"] = true;
  reply["claims"] = {{"b", 1}, {"a", json::array({"x", nullptr})}};
  reply["list"] = json::array({1, 2});
  reply["nothing"] = nullptr;
  const auto result = OAuthResult::parse(reply, grantedAt);
  const auto token = result->serializeToToken();
  ASSERT_TRUE(token);
  const OAuthToken::AdditionalData expected = {
      {"id_token", "eyJhbGciOi.payload.sig"},
      {"error_description", "not an error"},
      {"ext_expires_in", "3600"},
      {"verified", "true"},
      {"claims", R"({"a":["x",null],"b":1})"},
      {"list", "[1,2]"},
  };
  EXPECT_EQ(token->additionalData(), expected);
  // additionalData never reaches the JSON text.
  EXPECT_EQ(result->serializeToJson(grantedAt).find("id_token"), std::string::npos);
}

TEST(OAuthResultJson, RemainingLifetimeIsRecomputedAtEachCall) {
  const auto result = OAuthResult::parse(typicalReply, grantedAt);
  EXPECT_EQ(result->serializeToJson(grantedAt + 500ms),
            R"({ "access_token":"2YotnFZFEjr1zCsicMWpAA","expires_in":"3599","token_type":"Bearer",)"
            R"("refresh_token":"tGzv3JOkF0XG5Qx2TlKWIA","scope":"read,write" })");
  const std::vector<std::pair<Date, std::string>> moments = {{grantedAt, "3600"},
                                                             {grantedAt + 1ns, "3599"},
                                                             {grantedAt + 3601500ms, "-1"},
                                                             {grantedAt - 1s, "3601"}};
  for (const auto& [now, seconds] : moments) {
    EXPECT_EQ(json::parse(result->serializeToJson(now))["expires_in"], seconds)
        << (now - grantedAt).count() << " ns after the grant";
  }
}

TEST(OAuthResultJson, LifetimesBeyondTheDateRangeSaturate) {
  // A granted lifetime past the date range (about 292 years either side of 1970) is held as the
  // range's end, and the seconds to that end are written.
  const auto secondsTo = [](Date end) {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(end.time_since_epoch()).count() -
        std::chrono::duration_cast<std::chrono::seconds>(grantedAt.time_since_epoch()).count());
  };
  const std::vector<std::pair<json, Date>> cases = {
      {json(std::numeric_limits<std::uint64_t>::max()), Date::max()},
      {9e9, Date::max()},  // in the 64-bit range of seconds, but not of the date
      {-1e300, Date::min()},
  };
  for (const auto& [expiresIn, end] : cases) {
    SCOPED_TRACE(expiresIn.dump());
    json reply = typicalReply;
    reply["expires_in"] = expiresIn;
    const auto result = OAuthResult::parse(reply, grantedAt);
    const auto token = result->serializeToToken();
    ASSERT_TRUE(token);
    EXPECT_EQ(token->expiresOn(), end);
    EXPECT_EQ(token->hasTokenExpired(grantedAt), end == Date::min());
    EXPECT_EQ(json::parse(result->serializeToJson(grantedAt))["expires_in"], secondsTo(end));
  }
  const OAuthResult notANumber("a", "Bearer", "r", std::nan(""), "", {}, grantedAt);
  EXPECT_TRUE(notANumber.serializeToToken()->hasTokenExpired(grantedAt));
}

TEST(OAuthResultJson, FieldTextsAreEscapedSoTheTextStaysValidJson) {
  const std::string awkward = "quote\" back\\slash \n\r\t\b\f \x01\x1f \xC3\xA9 \xF0\x9F\x94\x91 /</";
  json reply = typicalReply;
  reply["refresh_token"] = awkward;  // the one token field that may hold anything
  reply["access_token"] = "\"}";
  reply["scope"] = "a\\\",b";
  const auto result = OAuthResult::parse(reply, grantedAt);
  const std::string text = result->serializeToJson(grantedAt);
  EXPECT_NE(text.find(R"(quote\" back\\slash \n\r\t\b\f \u0001\u001f)"), std::string::npos) << text;
  const json written = json::parse(text);
  EXPECT_EQ(written["refresh_token"], awkward);
  EXPECT_EQ(written["access_token"], "\"}");
  EXPECT_EQ(written["scope"], "a\\\",b");

  // Bytes that are not UTF-8 (only a host's own result can hold them) become U+FFFD.
  const OAuthResult hostMade("bad\xFF\xC3", "Bearer", "\xED\xA0\x80", 60, "ok", {}, grantedAt);
  const json repaired = json::parse(hostMade.serializeToJson(grantedAt));
  EXPECT_EQ(repaired["access_token"], "bad\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(repaired["refresh_token"], "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(OAuthResultJson, ErrorResultsAreWrittenInTheErrorForm) {
  const OAuthResult transport(Error::make(Error::urlErrorDomain, -1001, "The request timed out."));
  EXPECT_EQ(transport.serializeToJson(),
            R"({ "error_reason":"nil","error_description":"The request timed out." })");
  EXPECT_EQ(transport.serializeToToken(), nullptr);

  const auto refused =
      OAuthResult::parse(json{{"error", "invalid_client"}, {"error_description", "Client \"x\" unknown"}});
  EXPECT_EQ(refused->serializeToJson(),
            R"({ "error_reason":"invalid_client","error_description":"Client \"x\" unknown" })");
}

}  // namespace
}  // namespace tervala
