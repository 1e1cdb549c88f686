#include "TokenRequestForm.hpp"

#include <array>
#include <charconv>

#include <openssl/crypto.h>

#include "platform/FormEncoding.hpp"

namespace tervala {
namespace {

// Appends like std::string::append, but a buffer outgrown on the way is wiped before it is freed,
// so no stale copy of the body's secrets stays in freed memory.
void appendWiping(std::string& target, std::string_view piece) {
  if (target.size() + piece.size() > target.capacity()) {
    std::string larger;
    larger.reserve(2 * (target.size() + piece.size()) + 64);
    larger.append(target);
    OPENSSL_cleanse(target.data(), target.size());
    target.swap(larger);
  }
  target.append(piece);
}

}  // namespace

TokenRequestForm::~TokenRequestForm() {
  OPENSSL_cleanse(text_.data(), text_.size());
}

void TokenRequestForm::add(std::string_view name, std::string_view value) {
  if (!text_.empty() || !debugText_.empty()) {
    appendWiping(text_, "&");
    debugText_.push_back('&');
  }
  const std::string encodedName = platform::formUrlEncode(name);
  std::string encodedValue = platform::formUrlEncode(value);
  appendWiping(text_, encodedName);
  appendWiping(text_, "=");
  appendWiping(text_, encodedValue);
  debugText_.append(encodedName).append("=").append(isSecretField(name) ? "***" : encodedValue);
  OPENSSL_cleanse(encodedValue.data(), encodedValue.size());
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
  // Shown only what is known to be harmless; any other field (code_verifier, client_assertion,
  // a host's own extra field...) may carry a secret.
  return name != "grant_type" && name != "client_id" && name != "scope" && name != "username" &&
         name != "redirect_uri";
}

}  // namespace tervala
