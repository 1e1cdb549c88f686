#include <tervala/OtpReplayGuard.hpp>

namespace tervala {
namespace {

constexpr std::string_view keyPrefix = "otp.replay.";
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

}  // namespace

std::string OtpReplayGuard::keyOf(std::string_view account) {
  return std::string(keyPrefix) + std::string(account);
}

OtpReplayGuard::Verdict OtpReplayGuard::accept(std::string_view account, std::uint64_t counter) {
  if (account.size() > maxAccountLength) {
    return Verdict::failed;
  }
  try {
    bool corrupt = false;
    const auto outcome =
        store_.update(keyOf(account), [&](const std::optional<Data>& current) -> std::optional<Data> {
          if (current) {
            const auto last = decodeCounter(*current);
            if (!last) {
              corrupt = true;
              return std::nullopt;
            }
            if (counter <= *last) {
              return std::nullopt;
            }
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
