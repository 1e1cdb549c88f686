#include "oauth/TokenRequestForm.hpp"

#include <array>
#include <charconv>

#include "platform/FormEncoding.hpp"

namespace tervala {

void TokenRequestForm::add(std::string_view name, std::string_view value) {
  if (!text_.empty() || !debugText_.empty()) {
    text_.push_back('&');
    debugText_.push_back('&');
  }
  const platform::SecretText encodedName = platform::formUrlEncode(name);
  const platform::SecretText encodedValue = platform::formUrlEncode(value);
  text_.insert(text_.end(), encodedName.begin(), encodedName.end());
  text_.push_back('=');
  text_.insert(text_.end(), encodedValue.begin(), encodedValue.end());
  debugText_.append(platform::view(encodedName))
      .append("=")
      .append(isSecretField(name) ? "***" : platform::view(encodedValue));
}

void TokenRequestForm::addParam(std::string_view name, const OAuthContext::ParamValue& value) {
  add(name, platform::view(valueText(value)));
}

platform::SecretText TokenRequestForm::valueText(const OAuthContext::ParamValue& value) {
  struct Visitor {
    platform::SecretText operator()(const std::string& text) const { return platform::secretText(text); }
    platform::SecretText operator()(std::int64_t number) const {
      std::array<char, 24> buffer{};
      const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number).ptr;
      return {buffer.data(), end};
    }
    platform::SecretText operator()(double number) const {
      std::array<char, 64> buffer{};
      const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
      if (error != std::errc{}) {
        return {};  // cannot happen: 64 characters hold every double
      }
      return {buffer.data(), end};
    }
    platform::SecretText operator()(bool flag) const { return platform::secretText(flag ? "true" : "false"); }
  };
  return std::visit(Visitor{}, value);
}

bool TokenRequestForm::isSecretField(std::string_view name) noexcept {
  // Shown only what is known to be harmless; any other field (code_verifier, client_assertion,
  // a host's own extra field...) may carry a secret.
  return name != "grant_type" && name != "client_id" && name != "scope" && name != "username" &&
         name != "redirect_uri" && name != "client_assertion_type";
}

}  // namespace tervala
