#include "TokenRequestForm.hpp"

#include <array>
#include <charconv>

#include "platform/FormEncoding.hpp"

namespace tervala {

void TokenRequestForm::add(std::string_view name, std::string_view value) {
  if (!text_.empty() || !debugText_.empty()) {
    text_.push_back('&');
    debugText_.push_back('&');
  }
  const std::string encodedName = platform::formUrlEncode(name);
  const std::string encodedValue = platform::formUrlEncode(value);
  text_.append(encodedName).append("=").append(encodedValue);
  debugText_.append(encodedName).append("=").append(isSecretField(name) ? "***" : encodedValue);
}

void TokenRequestForm::addParam(std::string_view name, const OAuthContext::ParamValue& value) {
  add(name, valueText(value));
}

std::string TokenRequestForm::valueText(const OAuthContext::ParamValue& value) {
  struct Visitor {
    std::string operator()(const std::string& text) const { return text; }
    std::string operator()(std::int64_t number) const { return std::to_string(number); }
    std::string operator()(double number) const {
      std::array<char, 64> buffer{};
      const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
      if (error != std::errc{}) {
        return {};  // cannot happen: 64 characters hold every double
      }
      return {buffer.data(), end};
    }
    std::string operator()(bool flag) const { return flag ? "true" : "false"; }
  };
  return std::visit(Visitor{}, value);
}

bool TokenRequestForm::isSecretField(std::string_view name) noexcept {
  return name == "password" || name == "client_secret" || name == "refresh_token" || name == "code";
}

}  // namespace tervala
