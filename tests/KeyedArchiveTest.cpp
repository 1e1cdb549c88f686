#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthToken.hpp>

namespace tervala {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const Date expiry = Date(std::chrono::seconds(1'800'000'000)) + 654321us;

OAuthToken sampleToken() {
  return OAuthToken("access \"1\" [{", "Bearer", "refresh-1", expiry, "read,write",
                    {{"id_token", "eyJ.x.y"}, {"name", "J\xC3\xBCrgen \xF0\x9F\x94\x91"}});
}

Data bytesOf(const std::string& text) {
  return Data(text.begin(), text.end());
}
Data archiveBytes(const json& document) {
  return bytesOf(document.dump());
}
json documentOf(const Data& data) {
  return json::parse(data.begin(), data.end());
}

json sampleDocument() {
  return documentOf(*KeyedArchiver::archivedDataWithRootObject(sampleToken()));
}

TEST(KeyedArchive, RecordsVersionClassAndTypedEntriesInOrder) {
  const json document = sampleDocument();
  EXPECT_EQ(document["format"], "Tervala.KeyedArchive");
  EXPECT_EQ(document["version"], 1);
  EXPECT_EQ(document["class"], "Tervala.OAuthToken");
  std::vector<std::string> keys;
  std::vector<std::string> kinds;
  for (const json& entry : document["entries"]) {
    keys.push_back(entry["key"]);
    kinds.push_back(entry["kind"]);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"accessToken", "tokenType", "refreshToken", "expiresOn", "scope",
                                            "additionalData"}));
  EXPECT_EQ(kinds, (std::vector<std::string>{"text", "text", "text", "date", "text", "dictionary"}));
  EXPECT_EQ(document["entries"][3]["value"], 1'800'000'000'654'321LL);  // microseconds since 1970

  const auto contents = KeyedUnarchiver::contents(archiveBytes(document));
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->className, "Tervala.OAuthToken");
  EXPECT_EQ(contents->coder.entries().size(), 6U);
}

TEST(KeyedArchive, RoundTripKeepsEveryFieldAndDatesToTheMicrosecond) {
  const std::vector<std::pair<Date, Date>> dates = {
      {expiry, expiry},
      {expiry + 999ns, expiry},     // below a microsecond is dropped
      {Date(-1500ns), Date(-2us)},  // before 1970: rounded down too
      {Date::max(), Date(std::chrono::floor<std::chrono::microseconds>(Date::max().time_since_epoch()))},
      {Date::min(), Date(std::chrono::ceil<std::chrono::microseconds>(Date::min().time_since_epoch()))},
  };
  for (const auto& [written, read] : dates) {
    OAuthToken token = sampleToken();
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

TEST(KeyedArchive, TextsThatAreNotUtf8CannotBeArchived) {
  OAuthToken token = sampleToken();
  token.setAdditionalData({{"k", "\xC0\x80"}});
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(token));
}

// Each case edits a good archive into one that must be refused.
struct BadArchive {
  const char* name;
  std::function<void(json&)> edit;
};

json& entry(json& document, std::string_view key) {
  for (json& item : document["entries"]) {
    if (item["key"] == key) {
      return item;
    }
  }
  throw std::logic_error("no such entry");
}

TEST(KeyedArchive, ArchivesOfAnotherShapeAreRefused) {
  const std::vector<BadArchive> cases = {
      {"version 2", [](json& d) { d["version"] = 2; }},
      {"version as text", [](json& d) { d["version"] = "1"; }},
      {"other class", [](json& d) { d["class"] = "Tervala.OAuthResult"; }},
      {"other format", [](json& d) { d["format"] = "NSKeyedArchiver"; }},
      {"extra member", [](json& d) { d["extra"] = true; }},
      {"no entries", [](json& d) { d.erase("entries"); }},
      {"entries not a list", [](json& d) { d["entries"] = json::object(); }},
      {"entry not an object", [](json& d) { d["entries"].push_back("x"); }},
      {"entry without kind", [](json& d) { entry(d, "scope").erase("kind"); }},
      {"entry without key", [](json& d) { entry(d, "scope").erase("key"); }},
      {"unknown kind", [](json& d) { entry(d, "scope")["kind"] = "number"; }},
      {"text kind holding a number", [](json& d) { entry(d, "accessToken")["value"] = 5; }},
      {"text under expiresOn",
       [](json& d) {
         entry(d, "expiresOn")["kind"] = "text";
         entry(d, "expiresOn")["value"] = "2027-01-01";
       }},
      {"date holding a fraction", [](json& d) { entry(d, "expiresOn")["value"] = 1.5; }},
      {"date holding text", [](json& d) { entry(d, "expiresOn")["value"] = "1"; }},
      {"date past the range", [](json& d) { entry(d, "expiresOn")["value"] = 9'223'372'036'854'776LL; }},
      {"date far past the range",
       [](json& d) { entry(d, "expiresOn")["value"] = 18'000'000'000'000'000'000ULL; }},
      {"dictionary holding a number", [](json& d) { entry(d, "additionalData")["value"]["n"] = 1; }},
      {"dictionary holding null", [](json& d) { entry(d, "additionalData")["value"]["n"] = nullptr; }},
      {"dictionary as a list", [](json& d) { entry(d, "additionalData")["value"] = json::array(); }},
      {"null entry with a value",
       [](json& d) {
         entry(d, "refreshToken") = {{"key", "refreshToken"}, {"kind", "null"}, {"value", "x"}};
       }},
      {"entry with an extra member", [](json& d) { entry(d, "scope")["note"] = "x"; }},
      {"key twice", [](json& d) { d["entries"].push_back(entry(d, "scope")); }},
      {"no additionalData", [](json& d) { d["entries"].erase(5); }},
      {"null refreshToken",
       [](json& d) {
         entry(d, "refreshToken") = {{"key", "refreshToken"}, {"kind", "null"}};
       }},
      {"nesting too deep",
       [](json& d) { entry(d, "additionalData")["value"]["n"] = json::array({json::array()}); }},
  };
  ASSERT_TRUE(KeyedUnarchiver::unarchiveObjectWithData(archiveBytes(sampleDocument())));
  for (const auto& c : cases) {
    json document = sampleDocument();
    c.edit(document);
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(archiveBytes(document)), nullptr) << c.name;
  }
}

TEST(KeyedArchive, BytesThatAreNoArchiveAreRefused) {
  const std::string good = sampleDocument().dump();
  const std::vector<std::pair<const char*, Data>> cases = {
      {"empty", {}},
      {"text", bytesOf("token")},
      {"a list", bytesOf("[]")},
      {"null", bytesOf("null")},
      {"trailing bytes", bytesOf(good + "x")},
      {"second document", bytesOf(good + good)},
      {"deep nesting", bytesOf(std::string(200000, '[') + std::string(200000, ']'))},
      {"unclosed nesting", bytesOf(std::string(200000, '{'))},
      {"not UTF-8",
       [&] {
         std::string text = good;
         text[text.find("refresh-1")] = static_cast<char>(0xFF);
         return bytesOf(text);
       }()},
      {"NUL inside",
       [&] {
         Data data = bytesOf(good);
         data[data.size() / 2] = 0;
         return data;
       }()},
  };
  for (const auto& [name, data] : cases) {
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(data), nullptr) << name;
    EXPECT_FALSE(KeyedUnarchiver::contents(data)) << name;
  }
}

TEST(KeyedArchive, SizeIsBoundedButBracketsInTextsDoNotCountAsNesting) {
  OAuthToken token = sampleToken();
  token.setAccessToken(std::string(1000, '[') + "\\\"" + std::string(1000, '{'));
  auto data = KeyedArchiver::archivedDataWithRootObject(token);
  ASSERT_TRUE(data);
  const auto read = KeyedUnarchiver::unarchiveObjectWithData(*data);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->accessToken(), token.accessToken());

  token.setAdditionalData({{"blob", std::string(KeyedUnarchiver::maxArchiveSize, 'x')}});
  data = KeyedArchiver::archivedDataWithRootObject(token);
  ASSERT_TRUE(data);
  EXPECT_GT(data->size(), KeyedUnarchiver::maxArchiveSize);
  EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(*data), nullptr);
}

TEST(KeyedArchive, DamagedArchivesGiveATokenOrNothingNeverACrash) {
  const Data good = *KeyedArchiver::archivedDataWithRootObject(sampleToken());
  for (std::size_t length = 0; length < good.size(); ++length) {
    const Data prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(prefix), nullptr) << length;
  }
  std::size_t readable = 0;
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const std::uint8_t flip : {0x01, 0x20, 0x80}) {
      Data damaged = good;
      damaged[at] ^= flip;
      const auto token = KeyedUnarchiver::unarchiveObjectWithData(damaged);
      readable += token ? 1 : 0;
    }
  }
  // Flips inside texts still read; flips in the structure do not. Either way nothing crashed.
  EXPECT_GT(readable, 0U);
  EXPECT_LT(readable, good.size() * 3);
}

}  // namespace
}  // namespace tervala
