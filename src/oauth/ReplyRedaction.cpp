#include "oauth/ReplyRedaction.hpp"

#include <array>
#include <optional>

namespace tervala {
namespace {

// The reply fields whose values are harmless to show; every other value is masked, so a secret
// under a name nobody foresaw (device_code, mac_key, issued_token...) stays hidden too.
constexpr std::array<std::string_view, 6> shownKeys{"token_type", "expires_in",        "scope",
                                                    "error",      "error_description", "error_uri"};
// Longer than every shown key: decoding stops there, whatever the literal's escaped length.
constexpr std::size_t longestShownKey = 17;

bool isBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Index just past the string literal that opens at `open` (a quote), or the end of the text
// when the literal is not closed.
std::size_t literalEnd(std::string_view text, std::size_t open) noexcept {
  for (std::size_t at = open + 1; at < text.size(); ++at) {
    if (text[at] == '\\') {
      ++at;
    } else if (text[at] == '"') {
      return at + 1;
    }
  }
  return text.size();
}

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The ASCII content of a key literal with its escapes resolved, so "scop\u0065" is recognised
// however it is written; absent when the key holds anything else or is longer than any shown key
// (its value is masked then).
std::optional<std::string> asciiKey(std::string_view literal) {
  if (literal.size() < 2 || literal.back() != '"') {
    return std::nullopt;
  }
  const std::string_view inner = literal.substr(1, literal.size() - 2);
  std::string key;
  for (std::size_t at = 0; at < inner.size(); ++at) {
    if (key.size() > longestShownKey) {
      return std::nullopt;
    }
    if (inner[at] != '\\') {
      key.push_back(inner[at]);
      continue;
    }
    if (++at >= inner.size()) {
      return std::nullopt;
    }
    if (inner[at] == 'u' && at + 4 < inner.size()) {
      int code = 0;
      for (std::size_t digit = 1; digit <= 4; ++digit) {
        const int value = hexValue(inner[at + digit]);
        if (value < 0) {
          return std::nullopt;
        }
        code = code * 16 + value;
      }
      if (code >= 0x80) {
        return std::nullopt;
      }
      key.push_back(static_cast<char>(code));
      at += 4;
    } else {
      key.push_back(inner[at]);
    }
  }
  return key;
}

bool isShownKey(std::string_view literal) {
  const auto key = asciiKey(literal);
  if (!key) {
    return false;
  }
  for (const auto shown : shownKeys) {
    if (*key == shown) {
      return true;
    }
  }
  return false;
}

// Index just past a bare value (number, true, false, null or anything else unquoted) at `at`.
std::size_t bareValueEnd(std::string_view text, std::size_t at) noexcept {
  while (at < text.size() && !isBlank(text[at]) && text[at] != ',' && text[at] != '}' && text[at] != ']' &&
         text[at] != '{' && text[at] != '[' && text[at] != '"') {
    ++at;
  }
  return at;
}

}  // namespace

std::string redactReplyBody(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  std::size_t at = 0;
  while (at < body.size()) {
    if (body[at] != '"') {
      out.push_back(body[at++]);
      continue;
    }
    const std::size_t literalStop = literalEnd(body, at);
    std::size_t next = literalStop;
    while (next < body.size() && isBlank(body[next])) ++next;
    if (next >= body.size() || body[next] != ':') {
      // A text that is no key: an array item or stray text, never known to be harmless.
      out.append("\"***\"");
      at = literalStop;
      continue;
    }
    ++next;
    while (next < body.size() && isBlank(body[next])) ++next;
    const bool shown = isShownKey(body.substr(at, literalStop - at));
    out.append(body.substr(at, next - at));
    at = next;
    if (at >= body.size() || body[at] == '{' || body[at] == '[') {
      continue;  // the members of a nested container are judged by their own keys
    }
    const std::size_t valueStop = body[at] == '"' ? literalEnd(body, at) : bareValueEnd(body, at);
    if (shown) {
      out.append(body.substr(at, valueStop - at));
    } else {
      out.append("\"***\"");  // a text in place of a bare value too, so JSON stays JSON
    }
    at = valueStop;
  }
  return out;
}

}  // namespace tervala
