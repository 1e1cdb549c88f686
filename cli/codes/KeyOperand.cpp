#include "codes/KeyOperand.hpp"

#include <cctype>
#include <string>

#include "codes/HexSecret.hpp"

namespace tervala::cli {
namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
      return false;
    }
  }
  return true;
}

// The secret as the library writes it into a Key URI: canonical, whatever form was given.
platform::SecretText canonicalSecret(const OtpAuthUri& key) {
  std::string uri = key.toString();
  const std::string_view whole(uri);
  const std::string_view query = whole.substr(whole.find('?') + 1);
  std::string_view secret;
  for (std::size_t at = 0; at < query.size();) {
    const auto end = std::min(query.find('&', at), query.size());
    const auto parameter = query.substr(at, end - at);
    if (parameter.starts_with("secret=")) {
      secret = parameter.substr(7);
    }
    at = end + 1;
  }
  auto text = platform::secretText(secret);
  platform::cleanse(uri.data(), uri.size());
  return text;
}

std::string_view typeName(OtpType type) {
  return type == OtpType::totp ? "totp" : "hotp";
}

}  // namespace

std::variant<KeyOperand, UsageError> KeyOperand::read(std::string_view text, bool hex) {
  if (startsWithIgnoringCase(text, "otpauth-migration:")) {
    return UsageError{"a migration URI holds a set of keys; 'tervala import' writes them as Key URIs"};
  }
  if (startsWithIgnoringCase(text, "otpauth:")) {
    if (hex) {
      return UsageError{"--hex is for a bare hex key, not a Key URI"};
    }
    const auto key = OtpAuthUri::parse(text);
    if (!key) {
      return UsageError{"the Key URI is refused: " + key.reason()};
    }
    return KeyOperand{key->parameters(), true, canonicalSecret(*key)};
  }
  std::optional<platform::SecretText> fromHex;
  if (hex) {
    fromHex = base32OfHex(text);
    if (!fromHex) {
      return UsageError{"the secret is not an even number of hex digits"};
    }
  }
  // Made as a key only to have the library read the secret; the account is a stand-in.
  OtpAuthParameters parameters;
  parameters.account = "-";
  const auto key = OtpAuthUri::make(parameters, fromHex ? platform::view(*fromHex) : text);
  if (!key) {
    return UsageError{key.reason()};
  }
  parameters.account.clear();
  return KeyOperand{parameters, false, canonicalSecret(*key)};
}

std::optional<UsageError> KeyOperand::typeMismatch(OtpType wanted) const {
  if (!fromUri || parameters.type == wanted) {
    return std::nullopt;
  }
  return UsageError{"the Key URI is of a " + std::string(typeName(parameters.type)) + " key, not " +
                    std::string(typeName(wanted))};
}

}  // namespace tervala::cli
