// Text helpers: Base32 (RFC 4648) with its refusals, hex, UTF-8 in and out, localisation, and
// the debug sink the library writes its lines to.
#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/Text.hpp>

#include "support/LineCapture.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::LineCapture;
using Lines = std::vector<std::string>;

const std::string invalidCharacters = "String contains invalid characters.";
const std::string invalidLength = "String length is invalid.";

Data bytes(std::string_view text) {
  return Data(text.begin(), text.end());
}

std::string lowerCase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string withoutPadding(std::string text) {
  while (text.ends_with('=')) {
    text.pop_back();
  }
  return text;
}

// RFC 4648 section 10, padded, unpadded and lower case; none of them writes a line.
TEST(Base32, Rfc4648VectorsInEverySpelling) {
  LineCapture capture;
  for (const auto& [encoded, decoded] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {"MY======", "f"}, {"MZXW6YQ=", "foob"}, {"MZXW6YTBOI======", "foobar"}}) {
    for (const auto& spelling : {encoded, withoutPadding(encoded), lowerCase(encoded)}) {
      EXPECT_EQ(fromBase32(spelling), bytes(decoded)) << spelling;
    }
  }
  // The low bits of the last character are dropped unchecked; the whole alphabet decodes.
  EXPECT_EQ(fromBase32("M7"), Data{0x67});
  const auto alphabet = fromBase32("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
  ASSERT_TRUE(alphabet.has_value());
  EXPECT_EQ(alphabet->front(), 0x00);
  EXPECT_EQ(alphabet->back(), 0xDF);
  EXPECT_EQ(fromBase32("77777777"), Data(5, 0xFF));
  // A padding run of 1, 3, 4 or 6 is accepted whatever the data length before it.
  EXPECT_EQ(fromBase32("MZXW6YTB="), bytes("fooba"));
  EXPECT_EQ(fromBase32("MZXW6YTBOI==="), bytes("foobar"));
  EXPECT_EQ(fromBase32("===="), Data{});
  EXPECT_EQ(capture.take(), Lines{});
}

// Each refusal is absent and writes exactly its one line; characters are judged first.
TEST(Base32, RefusalsWriteTheirOneLine) {
  for (const auto& [text, line] :
       std::vector<std::pair<std::string, std::string>>{{"A", invalidLength},
                                                        {"AAA", invalidLength},
                                                        {"AAAAAA", invalidLength},
                                                        {"AAA====", invalidLength},
                                                        {"==", invalidCharacters},
                                                        {"MZXW6YTBOI=====", invalidCharacters},
                                                        {"MZXW6YTBOI=======", invalidCharacters},
                                                        {"MZ=XW6YTB", invalidCharacters},
                                                        {"MZXW1YTB", invalidCharacters},
                                                        {"\xC5\xBFZXW6YTB", invalidCharacters},
                                                        {std::string("MZXW\0YTB", 8), invalidCharacters}}) {
    LineCapture capture;
    EXPECT_EQ(fromBase32(text), std::nullopt) << ::testing::PrintToString(text);
    EXPECT_EQ(capture.take(), Lines{line}) << ::testing::PrintToString(text);
  }
}

TEST(Hex, TwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(fromHex({}), "");
  EXPECT_EQ(fromHex({0x00, 0x0A, 0xFF}), "000aff");
}

TEST(Utf8, BytesAreDecodedLenientlyAndTextEncodedStrictly) {
  EXPECT_EQ(fromNSData(std::nullopt), "");
  EXPECT_EQ(fromNSData(bytes(std::string("a\0b", 3))), std::string("a\0b", 3));
  EXPECT_EQ(fromNSData(bytes("caf\xC3\xA9 \xF0\x9F\x94\x91")), "caf\xC3\xA9 \xF0\x9F\x94\x91");
  // Every stray byte becomes U+FFFD, so the result is always UTF-8.
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(fromNSData(Data{'a', 0xFF, 'b'}), "a" + replacement + "b");
  EXPECT_EQ(fromNSData(Data{0xC3}), replacement);
  EXPECT_EQ(fromNSData(Data{0xC0, 0xAF}), replacement + replacement);
  EXPECT_EQ(fromNSData(Data{0xED, 0xA0, 0x80}), replacement + replacement + replacement);

  EXPECT_EQ(toNSData(""), Data{});
  EXPECT_EQ(toNSData("\xF4\x8F\xBF\xBF"), (Data{0xF4, 0x8F, 0xBF, 0xBF}));  // U+10FFFF
  for (const std::string bad :
       {"\xFF", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(toNSData(bad), std::nullopt) << fromHex(bytes(bad));
  }
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

TEST(Localize, ReadsTheHostsDefaultTextDomainAndMissingKeysStandForThemselves) {
  const test::TemporaryFolder folder;
  std::filesystem::create_directories(folder / "xx/LC_MESSAGES");
  writeCatalogue(folder / "xx/LC_MESSAGES/tervalahost.mo",
                 {{"", "Content-Type: text/plain; charset=UTF-8\n"}, {"Cancel", "Peruuta"}});
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

TEST(DebugSink, DefaultIsStandardOutputEmptySilencesResetRestores) {
  ::testing::internal::CaptureStdout();
  resetDebugSink();
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  EXPECT_EQ(fromBase32("A-"), std::nullopt);
  setDebugSink(nullptr);
  EXPECT_EQ(fromBase32("AAA"), std::nullopt);
  resetDebugSink();
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  setDebugSink(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            invalidLength + "\n" + invalidCharacters + "\n" + invalidLength + "\n");
}

// A sink that throws loses only its line; one that calls back into the library, or replaces
// itself, neither deadlocks nor loses lines.
TEST(DebugSink, SinkMayThrowCallBackIntoTheLibraryAndReplaceItself) {
  setDebugSink([](std::string_view) { throw std::runtime_error("sink failed"); });
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  EXPECT_EQ(fromBase32("MY"), Data{0x66});
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

}  // namespace
}  // namespace tervala
