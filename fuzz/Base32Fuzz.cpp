// Base32 decoding against a deliberately simple reference decoder: both must agree on whether the
// text is refused, on the refusal line written, and on every decoded byte.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/Text.hpp>

#include "FuzzCheck.hpp"

namespace {

using tervala::fuzz::require;
using tervala::fuzz::startCapturingLines;

constexpr std::string_view invalidCharacters = "String contains invalid characters.";
constexpr std::string_view invalidLength = "String length is invalid.";

struct Expected {
  std::optional<tervala::Data> bytes;
  std::string_view line;  // the refusal line, empty when the text is accepted
};

int valueOf(char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a';
  }
  if (c >= '2' && c <= '7') {
    return c - '2' + 26;
  }
  return -1;
}

// The rules written the plain way: a trailing run of '=' may be 0, 1, 3, 4 or 6 long; everything
// before it must be alphabet characters (either case); the data length may not be 1, 3 or 6
// modulo 8; the bits are read five at a time, most significant first, and leftover bits dropped.
Expected referenceDecode(std::string_view text) {
  std::size_t equals = 0;
  while (equals < text.size() && text[text.size() - 1 - equals] == '=') {
    ++equals;
  }
  if (equals != 0 && equals != 1 && equals != 3 && equals != 4 && equals != 6) {
    return {std::nullopt, invalidCharacters};
  }
  const std::string_view data = text.substr(0, text.size() - equals);
  for (const char c : data) {
    if (valueOf(c) < 0) {
      return {std::nullopt, invalidCharacters};
    }
  }
  const std::size_t remainder = data.size() % 8;
  if (remainder == 1 || remainder == 3 || remainder == 6) {
    return {std::nullopt, invalidLength};
  }
  tervala::Data bytes;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char c : data) {
    buffer = (buffer << 5) | static_cast<std::uint32_t>(valueOf(c));
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(buffer >> bits));
      buffer &= (1U << bits) - 1;
    }
  }
  return {bytes, {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string>& capturedLines = startCapturingLines();

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<tervala::Data> decoded = tervala::fromBase32(text);
  const Expected expected = referenceDecode(text);

  require(decoded.has_value() == expected.bytes.has_value(), "accepted exactly when the reference accepts");
  if (decoded) {
    require(*decoded == *expected.bytes, "decoded bytes equal the reference's");
    require(capturedLines.empty(), "an accepted text writes no line");
  } else {
    require(capturedLines.size() == 1, "a refused text writes exactly one line");
    require(capturedLines.front() == expected.line, "the refusal line names the first rule broken");
  }
  return 0;
}
