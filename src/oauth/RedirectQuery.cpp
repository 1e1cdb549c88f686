#include "oauth/RedirectQuery.hpp"

namespace tervala {
namespace {

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<platform::SecretText> formDecode(std::string_view text) {
  platform::SecretText out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '+') {
      out.push_back(' ');
    } else if (text[at] != '%') {
      out.push_back(text[at]);
    } else if (at + 2 < text.size() && hexValue(text[at + 1]) >= 0 && hexValue(text[at + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[at + 1]) * 16 + hexValue(text[at + 2])));
      at += 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace

std::optional<RedirectQuery> RedirectQuery::parse(std::string_view redirect) {
  const std::size_t question = redirect.find('?');
  if (question == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view query = redirect.substr(question + 1);
  query = query.substr(0, query.find('#'));
  RedirectQuery parsed;
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(pair.size() < query.size() ? pair.size() + 1 : pair.size());
    if (pair.empty()) {
      continue;
    }
    const std::size_t equals = pair.find('=');
    auto name = formDecode(pair.substr(0, equals));
    auto value = formDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
    if (!name || !value) {
      return std::nullopt;
    }
    parsed.fields_.emplace_back(std::string(platform::view(*name)), std::move(*value));
  }
  return parsed;
}

std::size_t RedirectQuery::count(std::string_view name) const noexcept {
  std::size_t found = 0;
  for (const auto& field : fields_) {
    found += field.first == name ? 1 : 0;
  }
  return found;
}

const platform::SecretText* RedirectQuery::find(std::string_view name) const noexcept {
  for (const auto& field : fields_) {
    if (field.first == name) {
      return &field.second;
    }
  }
  return nullptr;
}

}  // namespace tervala
