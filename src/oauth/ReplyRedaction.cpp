#include "oauth/ReplyRedaction.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "platform/VisibleText.hpp"

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

bool isStructural(char c) noexcept {
  return c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':';
}

// Index just past a bare value (number, true, false, null or anything else unquoted) at `at`.
std::size_t bareValueEnd(std::string_view text, std::size_t at) noexcept {
  while (at < text.size() && !isBlank(text[at]) && !isStructural(text[at]) && text[at] != '"') {
    ++at;
  }
  return at;
}

// A form field's name as servers write them; anything else in a name's place is no name.
bool isFieldName(std::string_view name) noexcept {
  constexpr std::size_t longestName = 64;
  if (name.empty() || name.size() > longestName) {
    return false;
  }
  for (const char c : name) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!word && std::string_view("_-.~%+").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The name with its percent-escapes resolved, so "sc%6Fpe" is recognised as a JSON key written
// with escapes is.
std::string formDecoded(std::string_view name) {
  std::string decoded;
  for (std::size_t at = 0; at < name.size(); ++at) {
    if (name[at] == '%' && at + 2 < name.size() && hexValue(name[at + 1]) >= 0 &&
        hexValue(name[at + 2]) >= 0) {
      decoded.push_back(static_cast<char>(hexValue(name[at + 1]) * 16 + hexValue(name[at + 2])));
      at += 2;
    } else {
      decoded.push_back(name[at] == '+' ? ' ' : name[at]);
    }
  }
  return decoded;
}

bool isShownName(std::string_view name) {
  for (const auto shown : shownKeys) {
    if (name == shown) {
      return true;
    }
  }
  return false;
}

// A byte order mark, which JSON readers skip before the text.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

bool looksLikeJson(std::string_view body) noexcept {
  std::size_t at = body.starts_with(byteOrderMark) ? byteOrderMark.size() : 0;
  while (at < body.size() && isBlank(body[at])) ++at;
  return at < body.size() && (body[at] == '{' || body[at] == '[');
}

// A piece of the body as it is shown: hidden characters as JSON escapes, so the line stays the
// JSON it was and no character in it acts on a terminal.
void appendShown(std::string& out, std::string_view piece) {
  out.append(platform::visibleJson(piece));
}

// A reply that is no JSON, read as a form (name=value&...), the way some servers answer: names
// stay, values only under a shown name; a piece that is no name=value is masked whole.
std::string redactForm(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  std::size_t at = 0;
  while (true) {
    const std::size_t end = std::min(body.find('&', at), body.size());
    const std::string_view piece = body.substr(at, end - at);
    const std::size_t equals = piece.find('=');
    if (equals != std::string_view::npos && isFieldName(piece.substr(0, equals))) {
      out.append(piece.substr(0, equals + 1));
      out.append(isShownName(formDecoded(piece.substr(0, equals))) ? piece.substr(equals + 1) : "***");
    } else if (!piece.empty()) {
      out.append("***");
    }
    if (end >= body.size()) {
      return out;
    }
    out.push_back('&');
    at = end + 1;
  }
}

}  // namespace

std::string redactReplyBody(std::string_view body) {
  if (!looksLikeJson(body)) {
    return redactForm(body);
  }
  std::string out;
  out.reserve(body.size());
  std::size_t at = body.starts_with(byteOrderMark) ? byteOrderMark.size() : 0;
  while (at < body.size()) {
    if (isBlank(body[at])) {
      out.push_back(' ');  // one line, whatever the server's layout
      ++at;
      continue;
    }
    if (isStructural(body[at])) {
      out.push_back(body[at++]);
      continue;
    }
    if (body[at] != '"') {
      // Unquoted text where no value of a key stands: an array's number or stray text, which
      // may be a token written without quotes.
      out.append("\"***\"");
      at = bareValueEnd(body, at);
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
    const auto key = asciiKey(body.substr(at, literalStop - at));
    const bool shown = key && isShownName(*key);
    appendShown(out, body.substr(at, literalStop - at));
    for (std::size_t blank = literalStop; blank < next; ++blank) {
      out.push_back(isBlank(body[blank]) ? ' ' : body[blank]);
    }
    at = next;
    if (at >= body.size() || body[at] == '{' || body[at] == '[') {
      continue;  // the members of a nested container are judged by their own keys
    }
    const std::size_t valueStop = body[at] == '"' ? literalEnd(body, at) : bareValueEnd(body, at);
    if (shown) {
      appendShown(out, body.substr(at, valueStop - at));
    } else {
      out.append("\"***\"");  // a text in place of a bare value too, so JSON stays JSON
    }
    at = valueStop;
  }
  return out;
}

}  // namespace tervala
