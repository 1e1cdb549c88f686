#include <tervala/OtpVerification.hpp>

#include <openssl/crypto.h>

#include <limits>

#include "otp/OtpCodeText.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {
namespace {

constexpr std::uint64_t lastCounter = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view steamAlphabet = "23456789BCDFGHJKMNPQRTVWXY";

// All ones when `condition` holds, else zero; computed without a branch.
constexpr std::uint64_t maskOf(bool condition) noexcept {
  return std::uint64_t{0} - static_cast<std::uint64_t>(condition);
}

// The typed code in a fixed buffer, and whether it has the shape of a code of this kind. The
// shape is only looked at once every candidate has been compared.
struct TypedCode {
  CodeText text{};
  std::uint64_t shapeMask = 0;
};

TypedCode readTyped(std::string_view code, std::size_t length, OtpCodeForm form) noexcept {
  TypedCode typed;
  std::uint64_t bad = maskOf(code.size() != length);
  for (std::size_t i = 0; i < typed.text.size(); ++i) {
    const char c = i < code.size() ? code[i] : '\0';
    typed.text[i] = i < length ? c : '\0';
    if (i < length) {
      bool allowed = false;
      if (form == OtpCodeForm::steam) {
        for (const char letter : steamAlphabet) {
          allowed |= (letter == c);
        }
      } else {
        allowed = (c >= '0') & (c <= '9');
      }
      bad |= maskOf(!allowed);
    }
  }
  typed.shapeMask = ~bad;
  return typed;
}

// One candidate's comparison: all ones when the generator's code for `counter` equals `typed`.
std::uint64_t compare(const OtpGeneratorContext& generator, std::uint64_t counter, const TypedCode& typed,
                      OtpCodeForm form) noexcept {
  const auto truncated = OtpCodeAccess::truncated(generator, counter);
  CodeText candidate{};
  if (form == OtpCodeForm::steam) {
    (void)writeSteamCode(truncated.value_or(0), candidate);
  } else {
    (void)writeDecimalCode(truncated.value_or(0), generator.digits(), candidate);
  }
  const bool equal = CRYPTO_memcmp(candidate.data(), typed.text.data(), candidate.size()) == 0;
  platform::cleanse(candidate.data(), candidate.size());
  return maskOf(equal && truncated.has_value());
}

// Keeps the first match in preference order, with no branch on the comparisons.
struct Selection {
  std::uint64_t found = 0;
  std::uint64_t counter = 0;
  std::uint64_t offset = 0;

  void offer(std::uint64_t equalMask, std::uint64_t candidate, std::int64_t candidateOffset) noexcept {
    const std::uint64_t take = equalMask & ~found;
    counter |= candidate & take;
    offset |= static_cast<std::uint64_t>(candidateOffset) & take;
    found |= equalMask;
  }
  [[nodiscard]] std::optional<OtpMatch> result(std::uint64_t shapeMask) const noexcept {
    if ((found & shapeMask) == 0) {
      return std::nullopt;
    }
    return OtpMatch{counter, static_cast<std::int64_t>(offset)};
  }
};

std::size_t codeLength(const OtpGeneratorContext& generator, OtpCodeForm form) noexcept {
  return form == OtpCodeForm::steam ? 5 : static_cast<std::size_t>(generator.digits());
}

}  // namespace

std::optional<OtpMatch> OtpVerifier::verifyTotp(const TotpGeneratorContext& generator, std::string_view code,
                                                double unixTime, std::uint64_t window,
                                                OtpCodeForm form) noexcept {
  const auto counter = generator.counterAt(unixTime);
  if (window > maxWindow || !counter) {
    return std::nullopt;
  }
  const std::uint64_t now = *counter;
  const TypedCode typed = readTyped(code, codeLength(generator, form), form);
  Selection selection;
  selection.offer(compare(generator, now, typed, form), now, 0);
  // Nearest first: 0, -1, +1, -2, +2, ... Which steps exist depends on the time only.
  for (std::uint64_t distance = 1; distance <= window; ++distance) {
    if (now >= distance) {
      selection.offer(compare(generator, now - distance, typed, form), now - distance,
                      -static_cast<std::int64_t>(distance));
    }
    if (now <= lastCounter - distance) {
      selection.offer(compare(generator, now + distance, typed, form), now + distance,
                      static_cast<std::int64_t>(distance));
    }
  }
  return selection.result(typed.shapeMask);
}

std::optional<OtpMatch> OtpVerifier::verifyHotp(const OtpGeneratorContext& generator, std::string_view code,
                                                std::uint64_t nextCounter, std::uint64_t lookAhead) noexcept {
  if (lookAhead > maxWindow) {
    return std::nullopt;
  }
  const TypedCode typed = readTyped(code, codeLength(generator, OtpCodeForm::decimal), OtpCodeForm::decimal);
  Selection selection;
  for (std::uint64_t distance = 0; distance <= lookAhead && nextCounter <= lastCounter - distance;
       ++distance) {
    selection.offer(compare(generator, nextCounter + distance, typed, OtpCodeForm::decimal),
                    nextCounter + distance, static_cast<std::int64_t>(distance));
  }
  return selection.result(typed.shapeMask);
}

std::optional<std::uint64_t> OtpVerifier::resynchronize(const OtpGeneratorContext& generator,
                                                        std::string_view first, std::string_view second,
                                                        std::uint64_t nextCounter,
                                                        std::uint64_t lookAhead) noexcept {
  if (lookAhead > maxWindow) {
    return std::nullopt;
  }
  const std::size_t length = codeLength(generator, OtpCodeForm::decimal);
  const TypedCode typedFirst = readTyped(first, length, OtpCodeForm::decimal);
  const TypedCode typedSecond = readTyped(second, length, OtpCodeForm::decimal);
  Selection selection;
  // Each counter's code is made once and compared with both: as the second code of the pair
  // that starts one counter earlier, and as the first code of its own pair.
  std::uint64_t previousFirst = 0;
  for (std::uint64_t distance = 0; distance <= lookAhead + 1 && nextCounter <= lastCounter - distance;
       ++distance) {
    const std::uint64_t counter = nextCounter + distance;
    const std::uint64_t asSecond = compare(generator, counter, typedSecond, OtpCodeForm::decimal);
    const std::uint64_t asFirst = compare(generator, counter, typedFirst, OtpCodeForm::decimal);
    if (distance > 0 && counter < lastCounter) {
      selection.offer(previousFirst & asSecond, counter + 1, static_cast<std::int64_t>(distance + 1));
    }
    previousFirst = asFirst;
  }
  const auto match = selection.result(typedFirst.shapeMask & typedSecond.shapeMask);
  return match ? std::optional(match->counter) : std::nullopt;
}

}  // namespace tervala
