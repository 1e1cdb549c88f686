#include "book/BookIndex.hpp"

#include "platform/VisibleText.hpp"
#include "text/HexText.hpp"

#include <openssl/rand.h>

#include <array>
#include <cstdint>

namespace tervala::book {
namespace {

constexpr std::string_view header = "tervala otp book 1\n";
constexpr std::string_view hexDigits = "0123456789ABCDEF";

void appendField(std::string& line, std::string_view text) {
  for (const char c : text) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      const auto byte = static_cast<unsigned char>(c);
      line.push_back('%');
      line.push_back(hexDigits[byte >> 4U]);
      line.push_back(hexDigits[byte & 0xFU]);
    } else {
      line.push_back(c);
    }
  }
}

std::optional<std::string> readField(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      text.push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) {
      return std::nullopt;
    }
    const auto high = hexDigits.find(field[i + 1]);
    const auto low = hexDigits.find(field[i + 2]);
    if (high == std::string_view::npos || low == std::string_view::npos) {
      return std::nullopt;
    }
    text.push_back(static_cast<char>((high << 4U) | low));
    i += 2;
  }
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) {
      return parts;
    }
    text.remove_prefix(at + 1);
  }
}

}  // namespace

Data encodeIndex(const std::vector<OtpAccount>& accounts) {
  std::string text(header);
  for (const auto& account : accounts) {
    text += account.id;
    text += account.inKeyring ? "\tk\t" : "\tf\t";
    text += account.type == OtpType::hotp ? "h\t" : "t\t";
    appendField(text, account.issuer);
    text.push_back('\t');
    appendField(text, account.name);
    text.push_back('\n');
  }
  return {text.begin(), text.end()};
}

std::optional<std::vector<OtpAccount>> decodeIndex(const Data& data) {
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (!text.starts_with(header)) {
    return std::nullopt;
  }
  text.remove_prefix(header.size());
  std::vector<OtpAccount> accounts;
  for (const auto line : split(text, '\n')) {
    if (line.empty()) {
      continue;
    }
    const auto fields = split(line, '\t');
    if (fields.size() != 5 || fields[0].empty() || (fields[1] != "k" && fields[1] != "f") ||
        (fields[2] != "t" && fields[2] != "h")) {
      return std::nullopt;
    }
    auto issuer = readField(fields[3]);
    auto name = readField(fields[4]);
    if (!issuer || !name || name->empty()) {
      return std::nullopt;
    }
    accounts.push_back(OtpAccount{std::move(*issuer), std::move(*name),
                                  fields[2] == "h" ? OtpType::hotp : OtpType::totp, fields[1] == "k",
                                  std::string(fields[0])});
  }
  return accounts;
}

std::string escaped(std::string_view text) {
  return platform::visibleText(text);
}

std::string quotedLabel(const OtpAccount& account) {
  std::string quoted(1, '\'');
  quoted += escaped(account.label());
  quoted.push_back('\'');
  return quoted;
}

std::optional<std::string> freshId() {
  std::array<unsigned char, 8> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    return std::nullopt;
  }
  std::string id;
  appendHex(id, bytes);
  return id;
}

}  // namespace tervala::book
