#include "ReplyBodyText.hpp"

#include <array>
#include <optional>

namespace tervala {
namespace {

constexpr std::array<std::string_view, 3> secretKeys{"access_token", "refresh_token", "id_token"};

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

// The ASCII content of a key literal with its escapes resolved, so "access\u005ftoken" is caught
// too; absent when the key holds anything else (it cannot be a secret key then).
std::optional<std::string> asciiKey(std::string_view literal) {
  if (literal.size() < 2 || literal.back() != '"' || literal.size() > 64) {
    return std::nullopt;
  }
  const std::string_view inner = literal.substr(1, literal.size() - 2);
  std::string key;
  for (std::size_t at = 0; at < inner.size(); ++at) {
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

bool isSecretKey(std::string_view literal) {
  const auto key = asciiKey(literal);
  if (!key) {
    return false;
  }
  for (const auto secret : secretKeys) {
    if (*key == secret) {
      return true;
    }
  }
  return false;
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
    const std::size_t keyEnd = literalEnd(body, at);
    const std::string_view key = body.substr(at, keyEnd - at);
    std::size_t next = keyEnd;
    while (next < body.size() && isBlank(body[next])) ++next;
    if (next < body.size() && body[next] == ':') {
      ++next;
      while (next < body.size() && isBlank(body[next])) ++next;
      if (next < body.size() && body[next] == '"' && isSecretKey(key)) {
        out.append(body.substr(at, next - at)).append("\"***\"");
        at = literalEnd(body, next);
        continue;
      }
    }
    out.append(key);
    at = keyEnd;
  }
  return out;
}

}  // namespace tervala
