#include <tervala/OtpMigration.hpp>

#include <limits>

#include "otp/OtpAuthUriSecret.hpp"
#include "otp/UriText.hpp"
#include "platform/Base64.hpp"
#include "platform/MigrationCodec.hpp"
#include "platform/SecureMemory.hpp"
#include "text/Base32Secret.hpp"

namespace tervala {
namespace {

constexpr std::string_view scheme = "otpauth-migration://";
constexpr std::string_view host = "offline";
constexpr std::int32_t wireSha1 = 1, wireSha256 = 2, wireSha512 = 3;
constexpr std::int32_t wireSix = 1, wireEight = 2;
constexpr std::int32_t wireHotp = 1, wireTotp = 2;

using Keys = Checked<std::vector<OtpAuthUri>>;
using Uris = Checked<std::vector<std::string>>;

std::string place(std::size_t index) {
  return "account " + std::to_string(index + 1) + ": ";
}

// The payload's `data` parameter, Base64 decoded; the reason when it is missing or malformed.
Checked<platform::SecretBytes> readData(std::string_view uri) {
  using Result = Checked<platform::SecretBytes>;
  if (uri.size() > OtpMigration::maxLength) {
    return Result::refuse("the migration URI is longer than 1 MiB");
  }
  if (uri.size() < scheme.size() || !equalsIgnoringCase(uri.substr(0, scheme.size()), scheme)) {
    return Result::refuse("not an otpauth-migration:// URI");
  }
  uri.remove_prefix(scheme.size());
  const std::size_t queryStart = uri.find('?');
  if (!equalsIgnoringCase(uri.substr(0, queryStart), host)) {
    return Result::refuse("the migration URI is not of the offline kind");
  }
  std::optional<std::string_view> data;
  const std::string_view query = queryStart == std::string_view::npos ? "" : uri.substr(queryStart + 1);
  for (const auto& [name, value] : splitQuery(query)) {
    if (name == "data") {
      if (data) {
        return Result::refuse("parameter data is given twice");
      }
      data = value;
    }
  }
  if (!data || data->empty()) {
    return Result::refuse("the migration URI has no data");
  }
  // Base64 has no blanks, so a "+" is a "+" here.
  auto unescaped = percentDecode(*data, false);
  if (!unescaped) {
    return Result::refuse("the data has a bad percent-escape");
  }
  std::string& text = *unescaped;
  auto bytes = platform::decodeBase64(text);
  platform::cleanse(text.data(), text.size());
  if (!bytes) {
    return Result::refuse("the data is not Base64");
  }
  return Result::accept(std::move(*bytes));
}

// One account of a payload as a key, or the reason it cannot be one.
Checked<OtpAuthUri> keyOf(const platform::MigrationEntry& entry, std::size_t index) {
  OtpAuthParameters p;
  switch (entry.algorithm) {
    case 0:
    case wireSha1:
      p.algorithm = HmacAlgorithm::SHA1;
      break;
    case wireSha256:
      p.algorithm = HmacAlgorithm::SHA256;
      break;
    case wireSha512:
      p.algorithm = HmacAlgorithm::SHA512;
      break;
    default:
      return Checked<OtpAuthUri>::refuse(place(index) + "unsupported algorithm (MD5 or unknown)");
  }
  if (entry.digits == 0 || entry.digits == wireSix) {
    p.digits = 6;
  } else if (entry.digits == wireEight) {
    p.digits = 8;
  } else {
    return Checked<OtpAuthUri>::refuse(place(index) + "unknown digit count");
  }
  if (entry.type == wireHotp) {
    if (entry.counter < 0) {
      return Checked<OtpAuthUri>::refuse(place(index) + "negative counter");
    }
    p.type = OtpType::hotp;
    p.counter = static_cast<std::uint64_t>(entry.counter);
  } else if (entry.type == 0 || entry.type == wireTotp) {
    p.type = OtpType::totp;
  } else {
    return Checked<OtpAuthUri>::refuse(place(index) + "unknown type");
  }
  // The name is "issuer:account" or the account alone, as in a Key URI's label.
  const std::size_t colon = entry.name.find(':');
  p.account = entry.name;
  if (colon != std::string::npos) {
    const std::string prefix = entry.name.substr(0, colon);
    const std::size_t account = entry.name.find_first_not_of(' ', colon + 1);
    p.account = account == std::string::npos ? std::string() : entry.name.substr(account);
    if (!entry.issuer.empty() && prefix != entry.issuer) {
      return Checked<OtpAuthUri>::refuse(place(index) + "the issuer differs from the name's issuer");
    }
    p.issuer = prefix;
  }
  if (!entry.issuer.empty()) {
    p.issuer = entry.issuer;
  }
  const platform::SecretText secret = encodeBase32(entry.secret);
  auto key = OtpAuthUri::make(std::move(p), platform::view(secret));
  if (!key) {
    return Checked<OtpAuthUri>::refuse(place(index) + key.reason());
  }
  return key;
}

std::int32_t wireAlgorithm(HmacAlgorithm algorithm) noexcept {
  switch (algorithm) {
    case HmacAlgorithm::SHA256:
      return wireSha256;
    case HmacAlgorithm::SHA512:
      return wireSha512;
    case HmacAlgorithm::SHA1:
      break;
  }
  return wireSha1;
}

}  // namespace

Keys OtpMigration::importUri(std::string_view migrationUri) {
  try {
    auto data = readData(migrationUri);
    if (!data) {
      return Keys::refuse(data.reason());
    }
    const auto batch = platform::decodeMigrationPayload(*data);
    if (!batch) {
      return Keys::refuse("the data is not a migration payload");
    }
    if (batch->entries.empty()) {
      return Keys::refuse("the payload holds no account");
    }
    std::vector<OtpAuthUri> keys;
    keys.reserve(batch->entries.size());
    for (std::size_t i = 0; i < batch->entries.size(); ++i) {
      auto key = keyOf(batch->entries[i], i);
      if (!key) {
        return Keys::refuse(key.reason());
      }
      keys.push_back(std::move(key).value());
    }
    return Keys::accept(std::move(keys));
  } catch (...) {
    return Keys::refuse("out of memory");
  }
}

Uris OtpMigration::exportUris(const std::vector<OtpAuthUri>& keys, std::size_t batchSize) {
  try {
    if (keys.empty()) {
      return Uris::refuse("no key to export");
    }
    if (batchSize == 0 || batchSize > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      return Uris::refuse("the batch size must be at least 1");
    }
    const std::size_t batches = (keys.size() + batchSize - 1) / batchSize;
    if (batches > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      return Uris::refuse("too many batches");
    }
    const std::int32_t batchId = platform::randomBatchId();
    std::vector<std::string> uris;
    for (std::size_t b = 0; b < batches; ++b) {
      platform::MigrationBatch batch;
      batch.batchSize = static_cast<std::int32_t>(batches);
      batch.batchIndex = static_cast<std::int32_t>(b);
      batch.batchId = batchId;
      for (std::size_t i = b * batchSize; i < keys.size() && i < (b + 1) * batchSize; ++i) {
        const OtpAuthParameters& p = keys[i].parameters();
        if (p.form == OtpCodeForm::steam || (p.type == OtpType::totp && p.period != 30)) {
          return Uris::refuse(place(i) + "the export carries neither Steam keys nor periods other than 30");
        }
        if (p.counter > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return Uris::refuse(place(i) + "the export carries counters up to 2^63-1");
        }
        platform::MigrationEntry entry;
        const platform::SecretBytes secret = decodeCanonicalBase32(OtpAuthUriSecret::base32(keys[i]));
        entry.secret.assign(secret.begin(), secret.end());
        // Blanks after a name's colon are not part of the account: an account that starts with
        // one goes alone, its issuer in the issuer field, so that it reads back the same.
        const bool prefixed = !p.issuer.empty() && !p.account.starts_with(' ');
        entry.name = prefixed ? p.issuer + ":" + p.account : p.account;
        entry.issuer = p.issuer;
        entry.algorithm = wireAlgorithm(p.algorithm);
        entry.digits = p.digits == 8 ? wireEight : wireSix;
        entry.type = p.type == OtpType::hotp ? wireHotp : wireTotp;
        entry.counter = static_cast<std::int64_t>(p.counter);
        batch.entries.push_back(std::move(entry));
      }
      const auto payload = platform::encodeMigrationPayload(batch);
      if (!payload) {
        return Uris::refuse("the payload could not be written");
      }
      const platform::SecretText base64 = platform::encodeBase64(*payload);
      uris.push_back(std::string(scheme) + std::string(host) +
                     "?data=" + percentEncode(platform::view(base64)));
    }
    return Uris::accept(std::move(uris));
  } catch (...) {
    return Uris::refuse("out of memory");
  }
}

}  // namespace tervala
