#include <tervala/OtpAuthUri.hpp>

#include <array>
#include <charconv>
#include <limits>
#include <map>

#include "otp/OtpAuthUriSecret.hpp"
#include "otp/UriText.hpp"
#include "platform/SecureMemory.hpp"
#include "text/Base32Secret.hpp"

namespace tervala {
namespace {

constexpr std::string_view scheme = "otpauth://";
constexpr std::size_t maxNameLength = 512;
constexpr std::int64_t defaultDigits = 6;
constexpr std::int64_t defaultPeriod = 30;
constexpr std::int64_t steamDigits = 5;

using Refusal = std::string;

std::optional<std::uint64_t> parseUnsigned(std::string_view text) noexcept {
  std::uint64_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;  // no sign, no blank, no fraction
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::string_view algorithmName(HmacAlgorithm algorithm) noexcept {
  switch (algorithm) {
    case HmacAlgorithm::SHA256:
      return "SHA256";
    case HmacAlgorithm::SHA512:
      return "SHA512";
    case HmacAlgorithm::SHA1:
      break;
  }
  return "SHA1";
}

// The rules both roads share, parsing and making; the first broken one, or nothing.
std::optional<Refusal> check(OtpAuthParameters& p) {
  if (p.account.empty()) {
    return "the label has no account name";
  }
  if (p.account.size() > maxNameLength || p.issuer.size() > maxNameLength) {
    return "the issuer or the account name is longer than 512 bytes";
  }
  if (!isPrintableText(p.account) || !isPrintableText(p.issuer)) {
    return "the issuer or the account name is not printable UTF-8 text";
  }
  if (p.account.find(':') != std::string::npos || p.issuer.find(':') != std::string::npos) {
    return "the issuer or the account name holds a colon";
  }
  // Authenticators take a Steam issuer's key for a Steam key; making and reading agree on it.
  if (p.type == OtpType::totp && equalsIgnoringCase(p.issuer, "steam")) {
    p.form = OtpCodeForm::steam;
  }
  if (!hmacAlgorithmFromRawValue(rawValue(p.algorithm))) {
    return "unknown algorithm";
  }
  if (p.type == OtpType::totp && (p.period < 10 || p.period > 300)) {
    return "the period must be a whole number of seconds from 10 to 300";
  }
  if (p.form == OtpCodeForm::steam) {
    if (p.type != OtpType::totp || p.algorithm != HmacAlgorithm::SHA1 || p.period != defaultPeriod) {
      return "Steam codes are time-based, SHA1, with a 30-second period";
    }
    p.digits = steamDigits;  // the only length of the Steam form
  } else if (p.digits != 6 && p.digits != 8) {
    return "the generators make 6 or 8 digits";
  }
  if (p.type == OtpType::hotp) {
    p.period = defaultPeriod;  // not a HOTP parameter
  } else {
    p.counter = 0;  // not a TOTP parameter
  }
  return std::nullopt;
}

// The decoded parameters of the query, by name; a known name given twice is refused.
struct Query {
  std::map<std::string, std::string, std::less<>> values;
  platform::SecretText secret;
  bool hasSecret = false;
};

constexpr std::array<std::string_view, 7> knownNames{"secret", "issuer",  "algorithm", "digits",
                                                     "period", "counter", "encoder"};

std::optional<Refusal> readQuery(std::string_view query, Query& out) {
  for (const auto& [name, raw] : splitQuery(query)) {
    bool known = false;
    for (const auto knownName : knownNames) {
      known = known || name == knownName;
    }
    if (!known) {
      continue;  // image, color, and whatever else authenticators add
    }
    if (name == "secret") {
      if (out.hasSecret) {
        return "parameter secret is given twice";
      }
      out.hasSecret = true;
      // Decoded straight into wiped memory: the secret never sits in a plain string.
      auto decoded = percentDecode(raw, true);
      if (!decoded) {
        return "parameter secret has a bad percent-escape";
      }
      std::string& text = *decoded;
      out.secret = platform::secretText(text);
      platform::cleanse(text.data(), text.size());
      continue;
    }
    if (out.values.contains(name)) {
      return "parameter " + std::string(name) + " is given twice";
    }
    auto decoded = percentDecode(raw, true);
    if (!decoded) {
      return "parameter " + std::string(name) + " has a bad percent-escape";
    }
    out.values.emplace(name, std::move(*decoded));
  }
  return std::nullopt;
}

// Reads the label into issuer and account; blanks after the colon belong to neither.
std::optional<Refusal> readLabel(std::string_view raw, OtpAuthParameters& p) {
  auto label = percentDecode(raw, false);
  if (!label) {
    return "the label has a bad percent-escape";
  }
  const std::size_t colon = label->find(':');
  if (colon == std::string::npos) {
    // Leading blanks go here too: a built URI writes an issuer prefix, after which they would.
    const std::size_t account = label->find_first_not_of(' ');
    p.account = account == std::string::npos ? std::string() : label->substr(account);
    return std::nullopt;
  }
  if (label->find(':', colon + 1) != std::string::npos) {
    return "the label holds more than one colon";
  }
  p.issuer = label->substr(0, colon);
  const std::size_t account = label->find_first_not_of(' ', colon + 1);
  p.account = account == std::string::npos ? std::string() : label->substr(account);
  return std::nullopt;
}

std::optional<Refusal> applyQuery(const Query& query, OtpAuthParameters& p) {
  const auto find = [&](std::string_view name) -> const std::string* {
    const auto it = query.values.find(name);
    return it == query.values.end() ? nullptr : &it->second;
  };
  if (const auto* issuer = find("issuer"); issuer != nullptr && !issuer->empty()) {
    if (!p.issuer.empty() && p.issuer != *issuer) {
      return "the issuer parameter differs from the label's issuer";
    }
    p.issuer = *issuer;
  }
  if (const auto* algorithm = find("algorithm")) {
    const auto known = hmacAlgorithmFromName(*algorithm);
    if (!known) {
      return "unknown algorithm (SHA1, SHA256 or SHA512)";
    }
    p.algorithm = *known;
  }
  if (const auto* period = find("period"); period != nullptr && p.type == OtpType::totp) {
    const auto value = parseUnsigned(*period);
    if (!value || *value < 10 || *value > 300) {
      return "the period must be a whole number of seconds from 10 to 300";
    }
    p.period = static_cast<std::int64_t>(*value);
  }
  if (p.type == OtpType::hotp) {
    const auto* counter = find("counter");
    if (counter == nullptr) {
      return "a hotp key needs a counter";
    }
    const auto value = parseUnsigned(*counter);
    if (!value) {
      return "the counter must be a whole number from 0 to 2^64-1";
    }
    p.counter = *value;
  }
  if (const auto* encoder = find("encoder")) {
    if (*encoder != "steam") {
      return "unknown encoder (only steam is known)";
    }
    p.form = OtpCodeForm::steam;
  }
  // A Steam key's length is always 5, whatever a writer put in `digits`.
  const bool steam =
      p.form == OtpCodeForm::steam || (p.type == OtpType::totp && equalsIgnoringCase(p.issuer, "steam"));
  if (const auto* digits = find("digits"); digits != nullptr && !steam) {
    const auto value = parseUnsigned(*digits);
    if (!value || (*value != 6 && *value != 8)) {
      return "the generators make 6 or 8 digits";
    }
    p.digits = static_cast<std::int64_t>(*value);
  }
  return std::nullopt;
}

}  // namespace

struct OtpAuthUri::Secret {
  platform::SecretText base32;  // canonical: upper case, no blanks, no padding
};

std::string_view OtpAuthUriSecret::base32(const OtpAuthUri& uri) noexcept {
  return platform::view(uri.secret_->base32);
}

OtpAuthUri::OtpAuthUri(OtpAuthParameters parameters, std::shared_ptr<const Secret> secret)
    : parameters_(std::move(parameters)), secret_(std::move(secret)) {}

Checked<OtpAuthUri> OtpAuthUri::make(OtpAuthParameters parameters, std::string_view secret) {
  try {
    if (auto refusal = check(parameters)) {
      return Checked<OtpAuthUri>::refuse(std::move(*refusal));
    }
    auto canonical = canonicalBase32(secret);
    if (!canonical) {
      return Checked<OtpAuthUri>::refuse("the secret is not Base32: " + base32Refusal(secret));
    }
    return Checked<OtpAuthUri>::accept(
        OtpAuthUri(std::move(parameters), std::make_shared<const Secret>(Secret{std::move(*canonical)})));
  } catch (...) {
    return Checked<OtpAuthUri>::refuse("out of memory");
  }
}

Checked<OtpAuthUri> OtpAuthUri::parse(std::string_view uri) {
  const auto refuse = [](std::string reason) { return Checked<OtpAuthUri>::refuse(std::move(reason)); };
  try {
    if (uri.size() > maxLength) {
      return refuse("the URI is longer than 4096 bytes");
    }
    if (uri.size() < scheme.size() || !equalsIgnoringCase(uri.substr(0, scheme.size()), scheme)) {
      return refuse("not an otpauth:// URI");
    }
    uri.remove_prefix(scheme.size());
    uri = uri.substr(0, uri.find('#'));  // a fragment carries nothing for a key
    const std::size_t queryStart = uri.find('?');
    const std::string_view query = queryStart == std::string_view::npos ? "" : uri.substr(queryStart + 1);
    const std::string_view beforeQuery = uri.substr(0, queryStart);
    const std::size_t slash = beforeQuery.find('/');
    const std::string_view type = beforeQuery.substr(0, slash);
    const std::string_view label = slash == std::string_view::npos ? "" : beforeQuery.substr(slash + 1);

    OtpAuthParameters p;
    if (equalsIgnoringCase(type, "totp")) {
      p.type = OtpType::totp;
    } else if (equalsIgnoringCase(type, "hotp")) {
      p.type = OtpType::hotp;
    } else {
      return refuse("unknown type (totp or hotp)");
    }
    Query values;
    if (auto refusal = readLabel(label, p)) {
      return refuse(std::move(*refusal));
    }
    if (auto refusal = readQuery(query, values)) {
      return refuse(std::move(*refusal));
    }
    if (!values.hasSecret || values.secret.empty()) {
      return refuse("the URI has no secret");
    }
    if (auto refusal = applyQuery(values, p)) {
      return refuse(std::move(*refusal));
    }
    return make(std::move(p), platform::view(values.secret));
  } catch (...) {
    return refuse("out of memory");
  }
}

std::string OtpAuthUri::toString(bool allParameters) const {
  const OtpAuthParameters& p = parameters_;
  std::string uri;
  // One block for the whole text: it holds the secret, and growing would leave copies behind.
  uri.reserve(160 + 6 * (p.issuer.size() + p.account.size()) + secret_->base32.size());
  uri += scheme;
  uri += p.type == OtpType::totp ? "totp/" : "hotp/";
  if (!p.issuer.empty()) {
    uri += percentEncode(p.issuer) + ':';
  }
  uri += percentEncode(p.account);
  uri += "?secret=";
  uri += platform::view(secret_->base32);
  if (!p.issuer.empty()) {
    uri += "&issuer=" + percentEncode(p.issuer);
  }
  if (allParameters || p.algorithm != HmacAlgorithm::SHA1) {
    uri += "&algorithm=";
    uri += algorithmName(p.algorithm);
  }
  if (p.form == OtpCodeForm::steam) {
    uri += "&encoder=steam";
  } else if (allParameters || p.digits != defaultDigits) {
    uri += "&digits=" + std::to_string(p.digits);
  }
  if (p.type == OtpType::totp && (allParameters || p.period != defaultPeriod)) {
    uri += "&period=" + std::to_string(p.period);
  }
  if (p.type == OtpType::hotp) {
    uri += "&counter=" + std::to_string(p.counter);
  }
  return uri;
}

std::shared_ptr<TotpGeneratorContext> OtpAuthUri::makeTotp() const {
  if (parameters_.type != OtpType::totp) {
    return nullptr;
  }
  // The Steam form starts from the 31-bit value, which any decimal length carries whole.
  const std::int64_t digits = parameters_.form == OtpCodeForm::steam ? defaultDigits : parameters_.digits;
  return TotpGeneratorContext::make(platform::view(secret_->base32), digits, parameters_.algorithm,
                                    static_cast<double>(parameters_.period));
}

std::shared_ptr<HotpGeneratorContext> OtpAuthUri::makeHotp() const {
  if (parameters_.type != OtpType::hotp) {
    return nullptr;
  }
  return HotpGeneratorContext::make(platform::view(secret_->base32), parameters_.digits,
                                    parameters_.algorithm, parameters_.counter);
}

}  // namespace tervala
