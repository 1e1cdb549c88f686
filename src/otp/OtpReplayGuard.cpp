#include <tervala/OtpReplayGuard.hpp>

#include <openssl/rand.h>

#include "platform/HmacKey.hpp"
#include "platform/SecureMemory.hpp"
#include "text/Base32Secret.hpp"
#include "text/HexText.hpp"

namespace tervala {
namespace {

constexpr std::string_view keyPrefix = "otp.replay.";
// Not under keyPrefix, so no account of the earlier records can name one of these.
constexpr std::string_view recordPrefix = "otp.replay-v2.";
constexpr std::string_view storeKeyName = "otp.replay-v2.key";
constexpr std::size_t storeKeySize = 32;
constexpr std::size_t counterSize = 8;

Data encodeCounter(std::uint64_t counter) {
  Data bytes(counterSize);
  for (std::size_t i = 0; i < counterSize; ++i) {
    bytes[counterSize - 1 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
  }
  return bytes;
}

// A value of any other length was not written here: it counts as corrupt, not as "none".
std::optional<std::uint64_t> decodeCounter(const Data& bytes) noexcept {
  if (bytes.size() != counterSize) {
    return std::nullopt;
  }
  std::uint64_t counter = 0;
  for (const std::uint8_t byte : bytes) {
    counter = (counter << 8U) | byte;
  }
  return counter;
}

// The store's own fingerprint key, made on first use; the one transaction that may make it
// decides between processes making it at once. Absent when the store fails or holds a value
// that is not such a key.
std::optional<platform::SecretBytes> storeKey(SettingsStore& store) {
  const auto keep = [](const Data& value) {
    return value.size() == storeKeySize ? std::optional(platform::SecretBytes(value.begin(), value.end()))
                                        : std::nullopt;
  };
  if (auto found = store.data(storeKeyName)) {
    auto key = keep(*found);
    platform::cleanse(found->data(), found->size());
    return key;
  }
  std::optional<platform::SecretBytes> key;
  const auto outcome =
      store.update(storeKeyName, [&](const std::optional<Data>& current) -> std::optional<Data> {
        if (current) {
          key = keep(*current);
          return std::nullopt;
        }
        Data fresh(storeKeySize);
        if (RAND_bytes(fresh.data(), static_cast<int>(fresh.size())) != 1) {
          return std::nullopt;
        }
        key = keep(fresh);
        return fresh;
      });
  return outcome == SettingsStore::UpdateOutcome::failed ? std::nullopt : std::move(key);
}

void appendLength(platform::SecretBytes& out, std::size_t length) {
  for (int shift = 56; shift >= 0; shift -= 8) {
    out.push_back(
        static_cast<std::uint8_t>(static_cast<std::uint64_t>(length) >> static_cast<unsigned>(shift)));
  }
}

}  // namespace

std::string OtpReplayGuard::keyOf(std::string_view account) {
  return std::string(keyPrefix) + std::string(account);
}

std::optional<std::string> OtpReplayGuard::recordKey(std::string_view account, std::string_view secret) {
  const auto canonical = canonicalBase32(secret);
  if (!canonical) {
    return std::nullopt;
  }
  const platform::SecretBytes bytes = decodeCanonicalBase32({canonical->data(), canonical->size()});
  const auto key = storeKey(store_);
  if (!key) {
    return std::nullopt;
  }
  // Both parts with their lengths, so no two pairs of account and secret give the same message.
  platform::SecretBytes message;
  message.reserve(16 + account.size() + bytes.size());
  appendLength(message, account.size());
  message.insert(message.end(), account.begin(), account.end());
  appendLength(message, bytes.size());
  message.insert(message.end(), bytes.begin(), bytes.end());
  const auto hmac = platform::HmacKey::make(HmacAlgorithm::SHA256, *key);
  platform::HmacKey::Digest digest{};
  const std::size_t size = hmac ? hmac->sign(message, digest) : 0;
  if (size == 0) {
    return std::nullopt;
  }
  std::string name(recordPrefix);
  appendHex(name, std::span(digest).first(size));
  return name;
}

// The counter kept by `account` alone, by a store of an earlier version or the deprecated calls.
std::optional<std::uint64_t> OtpReplayGuard::legacyCounter(std::string_view account, bool& corrupt) {
  if (account.size() > maxAccountLength) {
    return std::nullopt;  // never kept
  }
  const auto value = store_.data(keyOf(account));
  if (!value) {
    corrupt = store_.lastProblem().has_value();
    return std::nullopt;
  }
  const auto counter = decodeCounter(*value);
  corrupt = !counter;
  return counter;
}

OtpReplayGuard::Verdict OtpReplayGuard::advance(const std::string& key, std::uint64_t counter,
                                                std::optional<std::uint64_t> floor) {
  bool corrupt = false;
  const auto outcome = store_.update(key, [&](const std::optional<Data>& current) -> std::optional<Data> {
    std::optional<std::uint64_t> last = floor;
    if (current) {
      last = decodeCounter(*current);
      if (!last) {
        corrupt = true;
        return std::nullopt;
      }
    }
    if (last && counter <= *last) {
      return std::nullopt;
    }
    return encodeCounter(counter);
  });
  switch (outcome) {
    case SettingsStore::UpdateOutcome::written:
      return Verdict::accepted;
    case SettingsStore::UpdateOutcome::unchanged:
      return corrupt ? Verdict::failed : Verdict::replayed;
    case SettingsStore::UpdateOutcome::failed:
      break;
  }
  return Verdict::failed;
}

OtpReplayGuard::Verdict OtpReplayGuard::accept(std::string_view account, std::string_view secret,
                                               std::uint64_t counter) {
  try {
    const auto key = recordKey(account, secret);
    bool corrupt = false;
    const auto floor = key ? legacyCounter(account, corrupt) : std::nullopt;
    if (!key || corrupt) {
      return Verdict::failed;
    }
    const Verdict verdict = advance(*key, counter, floor);
    if (verdict == Verdict::accepted && floor) {
      // Taken over by the record of this secret; a secret enrolled later starts afresh.
      (void)store_.removeData(keyOf(account));  // left behind, it is only a floor for a first record
    }
    return verdict;
  } catch (...) {
    return Verdict::failed;
  }
}

std::optional<std::uint64_t> OtpReplayGuard::lastAccepted(std::string_view account, std::string_view secret) {
  try {
    const auto key = recordKey(account, secret);
    if (!key) {
      return std::nullopt;
    }
    if (const auto value = store_.data(*key)) {
      return decodeCounter(*value);
    }
    bool corrupt = false;
    return store_.lastProblem() ? std::nullopt : legacyCounter(account, corrupt);
  } catch (...) {
    return std::nullopt;
  }
}

OtpReplayGuard::Verdict OtpReplayGuard::accept(std::string_view account, std::uint64_t counter) {
  if (account.size() > maxAccountLength) {
    return Verdict::failed;
  }
  try {
    return advance(keyOf(account), counter, std::nullopt);
  } catch (...) {
    return Verdict::failed;
  }
}

std::optional<std::uint64_t> OtpReplayGuard::lastAccepted(std::string_view account) {
  if (account.size() > maxAccountLength) {
    return std::nullopt;
  }
  try {
    const auto value = store_.data(keyOf(account));
    return value ? decodeCounter(*value) : std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tervala
