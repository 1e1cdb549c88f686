#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <tervala/Text.hpp>

namespace tervala {
namespace {

Data bytes(std::string_view text) {
  return Data(text.begin(), text.end());
}

TEST(FromHex, TwoLowerCaseDigitsPerByteWithLeadingZeros) {
  EXPECT_EQ(fromHex({}), "");
  EXPECT_EQ(fromHex({0x00, 0x0A, 0xFF}), "000aff");
  Data all(256);
  for (std::size_t i = 0; i < all.size(); ++i) {
    all[i] = static_cast<std::uint8_t>(i);
  }
  const std::string text = fromHex(all);
  ASSERT_EQ(text.size(), 512U);
  EXPECT_EQ(text.substr(0, 8), "00010203");
  EXPECT_EQ(text.substr(504), "fcfdfeff");
}

TEST(FromNSData, AsciiIsCopiedAndOtherBytesAreDecodedLeniently) {
  EXPECT_EQ(fromNSData(std::nullopt), "");
  EXPECT_EQ(fromNSData(Data{}), "");
  const std::string body = R"({"access_token":"a b","expires_in":3600})";
  EXPECT_EQ(fromNSData(bytes(body)), body);
  EXPECT_EQ(fromNSData(bytes(std::string("a\0b", 3))), std::string("a\0b", 3));
  // Well-formed UTF-8 passes; every stray byte becomes U+FFFD; the result is always UTF-8.
  EXPECT_EQ(fromNSData(bytes("caf\xC3\xA9 \xF0\x9F\x94\x91")), "caf\xC3\xA9 \xF0\x9F\x94\x91");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(fromNSData(Data{'a', 0xFF, 'b'}), "a" + replacement + "b");
  EXPECT_EQ(fromNSData(Data{0xC3}), replacement);                                          // cut short
  EXPECT_EQ(fromNSData(Data{0xC0, 0xAF}), replacement + replacement);                      // overlong
  EXPECT_EQ(fromNSData(Data{0xED, 0xA0, 0x80}), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(fromNSData(Data{0x80, 'x'}), replacement + "x");
  EXPECT_EQ(toNSData(fromNSData(Data{0xF5, 0x90, 0x80, 0x80, 0xFE})).has_value(), true);
}

TEST(ToNSData, GivesTheUtf8BytesOfWellFormedTextOnly) {
  EXPECT_EQ(toNSData("abc"), (Data{0x61, 0x62, 0x63}));
  EXPECT_EQ(toNSData(""), Data{});
  EXPECT_EQ(toNSData("\xC3\xA9"), (Data{0xC3, 0xA9}));
  EXPECT_EQ(toNSData("\xF4\x8F\xBF\xBF"), (Data{0xF4, 0x8F, 0xBF, 0xBF}));  // U+10FFFF
  for (const std::string bad : {"\xFF", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                                "\xF4\x90\x80\x80", "\x80", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(toNSData(bad), std::nullopt) << fromHex(bytes(bad));
  }
}

TEST(ToNSData, RoundTripsEveryAsciiText) {
  std::string ascii;
  for (int c = 0; c < 128; ++c) {
    ascii.push_back(static_cast<char>(c));
  }
  const auto data = toNSData(ascii);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->size(), 128U);
  EXPECT_EQ(fromNSData(data), ascii);
}

// A GNU .mo catalogue with the given entries, written by hand so the test needs no tools.
void writeCatalogue(const std::filesystem::path& path, const std::map<std::string, std::string>& entries) {
  const auto n = static_cast<std::uint32_t>(entries.size());
  std::vector<std::uint32_t> header{0x950412de, 0, n, 28, 28 + 8 * n, 0, 28 + 16 * n};
  std::string strings;
  std::vector<std::uint32_t> originals;
  std::vector<std::uint32_t> translations;
  const std::uint32_t stringsAt = 28 + 16 * n;
  for (const auto& [key, value] : entries) {
    originals.push_back(static_cast<std::uint32_t>(key.size()));
    originals.push_back(stringsAt + static_cast<std::uint32_t>(strings.size()));
    strings.append(key).push_back('\0');
  }
  for (const auto& [key, value] : entries) {
    translations.push_back(static_cast<std::uint32_t>(value.size()));
    translations.push_back(stringsAt + static_cast<std::uint32_t>(strings.size()));
    strings.append(value).push_back('\0');
  }
  std::ofstream out(path, std::ios::binary);
  for (const auto* table : {&header, &originals, &translations}) {
    out.write(reinterpret_cast<const char*>(table->data()), static_cast<std::streamsize>(table->size() * 4));
  }
  out.write(strings.data(), static_cast<std::streamsize>(strings.size()));
}

TEST(Localize, MissingKeysStandForThemselves) {
  EXPECT_EQ(localize("No translation for this key"), "No translation for this key");
  EXPECT_EQ(localize("No translation for this key", "a comment"), "No translation for this key");
  EXPECT_EQ(localize(""), "");
  EXPECT_EQ(localize(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Localize, ReadsTheHostsDefaultTextDomain) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("tervala-localize-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "xx" / "LC_MESSAGES");
  writeCatalogue(folder / "xx" / "LC_MESSAGES" / "tervalahost.mo",
                 {{"", "Content-Type: text/plain; charset=UTF-8\n"}, {"Cancel", "Peruuta"}});
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  ASSERT_EQ(::setenv("LANGUAGE", "xx", 1), 0);
  ASSERT_NE(::bindtextdomain("tervalahost", folder.c_str()), nullptr);
  ASSERT_NE(::textdomain("tervalahost"), nullptr);

  EXPECT_EQ(localize("Cancel"), "Peruuta");
  EXPECT_EQ(localize("Cancel", "button title"), "Peruuta");
  EXPECT_EQ(localize("Missing"), "Missing");
  // The empty key would read the catalogue's header; it stays empty.
  EXPECT_EQ(localize(""), "");

  ::textdomain("messages");
  ::unsetenv("LANGUAGE");
  std::setlocale(LC_ALL, "C");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tervala
