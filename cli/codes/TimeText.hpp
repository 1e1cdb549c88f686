#pragma once

#include <optional>
#include <string_view>

namespace tervala::cli {

/// A point in time as `-t` takes it: seconds since 1970 (fractions allowed), or an ISO 8601
/// date and time with its zone, `2026-12-06T12:00:00Z`, `2026-12-06T13:00:00.5+01:00`,
/// `+0100` or `+01` (a blank may stand for the `T`). Absent for anything else, for a time before
/// 1970, and for a date or time of day that does not exist. A time without a zone is refused:
/// the machine's zone would make the same text mean different codes on different machines.
std::optional<double> parseTime(std::string_view text);

}  // namespace tervala::cli
