#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/OtpAuthUri.hpp>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;

/// What the code commands read from the options over a key's own parameters: the code's
/// shape, the TOTP period, the time.
struct CodeShape {
  std::int64_t digits = 6;
  HmacAlgorithm algorithm = HmacAlgorithm::SHA1;
};

/// The shape of `key`'s codes with `--digits` and `--algorithm` over it.
std::variant<CodeShape, UsageError> readShape(const Arguments& arguments, const OtpAuthParameters& key);

/// `key`'s period with `--period` over it (fractions allowed, within the generator's bounds).
std::variant<double, UsageError> readPeriod(const Arguments& arguments, const OtpAuthParameters& key);

/// `--counter` over `fallback` (the key's own counter).
std::variant<std::uint64_t, UsageError> readCounter(const Arguments& arguments, std::uint64_t fallback);

/// The refusal of an option that would change a Steam Guard code's one shape.
std::optional<UsageError> steamShapeConflict(const Arguments& arguments, OtpCodeForm form);

/// `--time` (seconds since 1970 or ISO 8601), absent when not given.
std::variant<std::optional<double>, UsageError> readTime(const Arguments& arguments);

}  // namespace tervala::cli
