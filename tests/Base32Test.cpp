#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tervala/Text.hpp>

#include "support/LineCapture.hpp"

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

std::string alternateCase(std::string text) {
  for (std::size_t i = 0; i < text.size(); i += 2) {
    text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
  }
  return text;
}

std::string withoutPadding(std::string text) {
  while (text.ends_with('=')) {
    text.pop_back();
  }
  return text;
}

struct Rfc4648Vector {
  std::string encoded;
  std::string decoded;
};

void PrintTo(const Rfc4648Vector& vector, std::ostream* out) {
  *out << ::testing::PrintToString(vector.encoded) << " -> " << ::testing::PrintToString(vector.decoded);
}

class Rfc4648Vectors : public ::testing::TestWithParam<Rfc4648Vector> {};

// RFC 4648 section 10, in every spelling the decoder accepts; none of them writes a line.
TEST_P(Rfc4648Vectors, DecodePaddedUnpaddedLowerAndMixedCase) {
  const auto& [encoded, decoded] = GetParam();
  LineCapture capture;
  for (const auto& spelling : {encoded, withoutPadding(encoded), lowerCase(encoded), alternateCase(encoded),
                               lowerCase(withoutPadding(encoded))}) {
    const auto result = fromBase32(spelling);
    ASSERT_TRUE(result.has_value()) << spelling;
    EXPECT_EQ(*result, bytes(decoded)) << spelling;
  }
  EXPECT_EQ(capture.take(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(
    Base32, Rfc4648Vectors,
    ::testing::Values(Rfc4648Vector{"", ""}, Rfc4648Vector{"MY======", "f"}, Rfc4648Vector{"MZXQ====", "fo"},
                      Rfc4648Vector{"MZXW6===", "foo"}, Rfc4648Vector{"MZXW6YQ=", "foob"},
                      Rfc4648Vector{"MZXW6YTB", "fooba"}, Rfc4648Vector{"MZXW6YTBOI======", "foobar"}),
    [](const auto& info) { return info.param.decoded.empty() ? "empty" : info.param.decoded; });

struct Refusal {
  std::string text;
  std::string line;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << ::testing::PrintToString(refusal.text);
}

class Refusals : public ::testing::TestWithParam<Refusal> {};

// Each refusal is absent and writes exactly its one line.
TEST_P(Refusals, AreAbsentWithTheirLine) {
  LineCapture capture;
  EXPECT_EQ(fromBase32(GetParam().text), std::nullopt) << GetParam().text;
  EXPECT_EQ(capture.take(), Lines{GetParam().line}) << GetParam().text;
}

std::vector<Refusal> lengthRefusals() {
  std::vector<Refusal> refusals;
  for (const std::size_t dataLength : {1, 3, 6, 9, 11, 14}) {
    for (const std::size_t padding : {0, 1, 3, 4, 6}) {
      refusals.push_back({std::string(dataLength, 'A') + std::string(padding, '='), invalidLength});
    }
  }
  return refusals;
}

std::vector<Refusal> characterRefusals() {
  std::vector<Refusal> refusals;
  // Padding runs of a length that never counts as padding, alone or after ten data characters.
  for (const std::size_t run : {2, 5, 7, 8, 12}) {
    refusals.push_back({std::string(run, '='), invalidCharacters});
    refusals.push_back({"MZXW6YTBOI" + std::string(run, '='), invalidCharacters});
  }
  for (const std::string& bad :
       std::vector<std::string>{"MZ=XW6YTB", "=MZXW6YTB", "MZXW 6YTB", "MZXW6YTB\n", "MZXW-6YTB", "MZXW0YTB",
                                "MZXW1YTB", "MZXW8YTB", "MZXW9YTB", "MZXW6YT\xC3\xA9", "\xC5\xBFZXW6YTB",
                                "MZXW6YTB\xFF", std::string("MZXW\0YTB", 8), "MZXW6YTB=\xC3\xA9"}) {
    refusals.push_back({bad, invalidCharacters});
  }
  // A text that fails both tests names only the characters.
  refusals.push_back({"A-A", invalidCharacters});
  refusals.push_back({"AAAAA==", invalidCharacters});
  return refusals;
}

INSTANTIATE_TEST_SUITE_P(Length, Refusals, ::testing::ValuesIn(lengthRefusals()),
                         [](const auto& info) { return std::to_string(info.index); });
INSTANTIATE_TEST_SUITE_P(Characters, Refusals, ::testing::ValuesIn(characterRefusals()),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(Base32, PaddingIsNeverComparedWithTheDataLength) {
  LineCapture capture;
  const auto ten = fromBase32("MZXW6YTBOI");
  ASSERT_TRUE(ten.has_value());
  EXPECT_EQ(ten->size(), 6U);
  for (const std::size_t run : {1, 3, 4, 6}) {
    EXPECT_EQ(fromBase32("MZXW6YTBOI" + std::string(run, '=')), ten) << run;
  }
  EXPECT_EQ(fromBase32("MZXW6YTB="), bytes("fooba"));
  for (const std::size_t run : {1, 3, 4, 6}) {
    EXPECT_EQ(fromBase32(std::string(run, '=')), Data{}) << run;
  }
  EXPECT_EQ(capture.take(), Lines{});
}

TEST(Base32, OutputLengthFollowsTheDataLength) {
  for (const auto& [dataLength, outputLength] : std::vector<std::pair<std::size_t, std::size_t>>{
           {2, 1}, {4, 2}, {5, 3}, {7, 4}, {8, 5}, {10, 6}, {16, 10}}) {
    const auto result = fromBase32(std::string(dataLength, '7'));
    ASSERT_TRUE(result.has_value()) << dataLength;
    EXPECT_EQ(result->size(), outputLength) << dataLength;
  }
}

TEST(Base32, BitsBelowTheLastByteAreDroppedUnchecked) {
  // "M7": 01100 11111 -> one byte 01100111; the two low bits of "7" are dropped.
  EXPECT_EQ(fromBase32("M7"), Data{0x67});
  EXPECT_EQ(fromBase32("MY"), Data{0x66});
  // The full alphabet, both cases, decodes to the same 20 bytes.
  const auto upper = fromBase32("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
  ASSERT_TRUE(upper.has_value());
  EXPECT_EQ(fromBase32("abcdefghijklmnopqrstuvwxyz234567"), upper);
  EXPECT_EQ(upper->front(), 0x00);
  EXPECT_EQ(upper->back(), 0xDF);
  EXPECT_EQ(fromBase32("77777777"), Data(5, 0xFF));
}

}  // namespace
}  // namespace tervala
