#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tervala {

/// The value of one hex digit of either case, or -1 for any other character.
constexpr int hexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

/// Decodes "%XX" escapes (either case of hex digit); with `plusIsBlank`, "+" is a blank as in a
/// form-encoded query. Absent for a "%" not followed by two hex digits.
std::optional<std::string> percentDecode(std::string_view text, bool plusIsBlank);

/// Keeps the unreserved characters of RFC 3986 (letters, digits, "-._~") and writes every other
/// byte as "%" and two upper-case hex digits, so a blank is "%20", never "+".
std::string percentEncode(std::string_view text);

/// The name and raw value of each "&"-separated part of a query, in order; a part without "="
/// has an empty value.
std::vector<std::pair<std::string_view, std::string_view>> splitQuery(std::string_view query);

/// True for well-formed UTF-8 without control characters (C0, DEL, C1): text that may reach a
/// terminal or a log as it is.
bool isPrintableText(std::string_view text) noexcept;

/// Compares ASCII letters without regard to case.
bool equalsIgnoringCase(std::string_view left, std::string_view right) noexcept;

}  // namespace tervala
