// Text helpers: Base32 (RFC 4648) with its refusals, hex, UTF-8 in and out, localisation, and
// the debug sink the library writes its lines to.
#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/Text.hpp>

#include "platform/VisibleText.hpp"
#include "support/LineCapture.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using Lines = std::vector<std::string>;

const std::string invalidCharacters = "String contains invalid characters.";
const std::string invalidLength = "String length is invalid.";

Data bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

// RFC 4648 section 10 and the edges of the padding rules: the text, and the bytes or the one line
// a refusal writes (characters are judged before the length).
TEST(Base32, DecodesOrRefusesWithItsOneLine) {
  struct Case {
    std::string text;
    std::optional<Data> decoded;
    std::string line;
  };
  for (const auto& [text, decoded, line] : std::vector<Case>{
           {"", Data{}, ""},
           {"MY======", bytes("f"), ""},
           {"mzxw6yq", bytes("foob"), ""},
           {"MZXW6YTB=", bytes("fooba"), ""},  // a run of 1, 3, 4 or 6 whatever the length before it
           {"MZXW6YTBOI===", bytes("foobar"), ""},
           {"M7", Data{0x67}, ""},  // the low bits of the last character are dropped unchecked
           {"AAA", std::nullopt, invalidLength},
           {"AAAAAA", std::nullopt, invalidLength},
           {"AAA====", std::nullopt, invalidLength},
           {"==", std::nullopt, invalidCharacters},
           {"MZXW6YTBOI=====", std::nullopt, invalidCharacters},
           {"MZ=XW6YTB", std::nullopt, invalidCharacters},
           {"MZXW1YTB", std::nullopt, invalidCharacters},
           {"\xC5\xBFZXW6YTB", std::nullopt, invalidCharacters},
           {std::string("MZXW\0YTB", 8), std::nullopt, invalidCharacters}}) {
    test::LineCapture capture;
    EXPECT_EQ(fromBase32(text), decoded) << ::testing::PrintToString(text);
    EXPECT_EQ(capture.take(), line.empty() ? Lines{} : Lines{line}) << ::testing::PrintToString(text);
  }
}

TEST(TextUtf8, BytesAreDecodedLenientlyAndTextEncodedStrictly) {
  EXPECT_EQ(fromHex({0x00, 0x0A, 0xFF}), "000aff");
  EXPECT_EQ(fromNSData(bytes(std::string("a\0b", 3))), std::string("a\0b", 3));
  // Every stray byte becomes U+FFFD, so the result is always UTF-8.
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(fromNSData(Data{'a', 0xFF, 'b'}), "a" + replacement + "b");
  EXPECT_EQ(fromNSData(Data{0xED, 0xA0, 0x80}), replacement + replacement + replacement);
  EXPECT_EQ(toNSData("\xF4\x8F\xBF\xBF"), (Data{0xF4, 0x8F, 0xBF, 0xBF}));  // U+10FFFF
  for (const std::string bad : {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(toNSData(bad), std::nullopt) << fromHex(bytes(bad));
  }
}

// A GNU .mo catalogue of one entry besides the header, written by hand so the test needs no tools:
// the head, the tables of (length, offset) of the originals and of the translations, the strings.
void writeCatalogue(const std::filesystem::path& path, const std::string& key, const std::string& value) {
  std::vector<std::uint32_t> words{0x950412de, 0, 2, 28, 28 + 16, 0, 0};  // no hash table
  std::string strings;
  for (const std::string& text :
       {std::string(), key, std::string("Content-Type: text/plain; charset=UTF-8\n"), value}) {
    words.insert(words.end(), {static_cast<std::uint32_t>(text.size()),
                               static_cast<std::uint32_t>(28 + 32 + strings.size())});
    strings += text + '\0';
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(words.size() * 4));
  out << strings;
}

TEST(TextLocalize, ReadsTheHostsDefaultTextDomainAndMissingKeysStandForThemselves) {
  const test::TemporaryFolder folder;
  std::filesystem::create_directories(folder / "xx/LC_MESSAGES");
  writeCatalogue(folder / "xx/LC_MESSAGES/tervalahost.mo", "Cancel", "Peruuta");
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  ASSERT_EQ(::setenv("LANGUAGE", "xx", 1), 0);
  ASSERT_NE(::bindtextdomain("tervalahost", folder.path().c_str()), nullptr);
  ASSERT_NE(::textdomain("tervalahost"), nullptr);
  EXPECT_EQ(localize("Cancel", "button title"), "Peruuta");
  EXPECT_EQ(localize("Missing"), "Missing");
  EXPECT_EQ(localize(""), "");  // not the catalogue's header
  EXPECT_EQ(localize(std::string_view("a\0b", 3)), std::string("a\0b", 3));
  ::textdomain("messages");
  ::unsetenv("LANGUAGE");
  std::setlocale(LC_ALL, "C");
}

// A sink that throws loses only its line; one that calls back into the library, or replaces
// itself, neither deadlocks nor loses lines.
TEST(TextDebugSink, ThrowingAndReentrantSinks) {
  setDebugSink([](std::string_view) { throw std::runtime_error("sink failed"); });
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  Lines seen;
  setDebugSink([&seen](std::string_view line) {
    seen.emplace_back(line);
    if (line == invalidLength) {
      EXPECT_EQ(fromBase32("A-"), std::nullopt);  // writes a line from inside the sink
      setDebugSink([&seen](std::string_view later) { seen.emplace_back("replaced: " + std::string(later)); });
    }
  });
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  setDebugSink(nullptr);
  EXPECT_EQ(seen, (Lines{invalidLength, invalidCharacters, "replaced: " + invalidLength}));
}

// The one escaping of the tool and of the debug lines: printable text of any script stays, every
// control, format and separator character and every byte that is not UTF-8 shows as an escape.
// Rows: the text, as shown with backslashes kept, and the JSON writing of the same characters.
TEST(TextVisible, EscapesEveryHiddenCharacterAndNothingElse) {
  using platform::Backslash;
  for (const auto& [text, shown, json] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"a\\b \xc3\xa9\xe6\xbc\xa2\xf0\x9f\x99\x82~", "a\\b \xc3\xa9\xe6\xbc\xa2\xf0\x9f\x99\x82~", ""},
           {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J", "\\u001b]0;title\\u0007\\u001b[2J"},
           {"\r\n\t\x7f", "\\r\\n\\t\\x7f", "\\u000d\\u000a\\u0009\\u007f"},
           {"\xc2\x9b[31m", "\\u009b[31m", "\\u009b[31m"},   // C1: a CSI
           {"a\xe2\x80\xae!b", "a\\u202e!b", "a\\u202e!b"},  // right-to-left override
           {"\xe2\x80\xa8\xe2\x80\xa9\xef\xbb\xbf\xc2\xad", "\\u2028\\u2029\\ufeff\\u00ad",
            "\\u2028\\u2029\\ufeff\\u00ad"},
           {"\xf3\xa0\x80\x81", "\\U000e0001", "\\udb40\\udc01"},  // a tag character
           {"\xff\xc0\xaf\xed\xa0\x80(", "\\xff\\xc0\\xaf\\xed\\xa0\\x80(",
            "\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd("},
       }) {
    SCOPED_TRACE(::testing::PrintToString(text));
    EXPECT_EQ(platform::visibleText(text, Backslash::kept), shown);
    EXPECT_EQ(platform::visibleJson(text), json.empty() ? text : json);
  }
  EXPECT_EQ(platform::visibleText("a\\x1b\x1b"), "a\\\\x1b\\x1b");  // doubled: reads back unambiguously
}

}  // namespace
}  // namespace tervala
