#include "codes/TimeText.hpp"

#include <cstdint>

#include "frame/Input.hpp"

namespace tervala::cli {
namespace {

// Reads exactly `count` decimal digits from the front of `text`.
std::optional<int> digitsAt(std::string_view& text, std::size_t count) {
  if (text.size() < count) {
    return std::nullopt;
  }
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return std::nullopt;
    }
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(count);
  return value;
}

bool take(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) {
    return false;
  }
  text.remove_prefix(1);
  return true;
}

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar (H. Hinnant's algorithm).
std::int64_t daysSinceEpoch(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = year / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The zone's offset east of UTC in seconds: "Z", "+HH:MM", "+HHMM" or "+HH".
std::optional<int> zoneOffset(std::string_view text) {
  if (text == "Z" || text == "z") {
    return 0;
  }
  int sign = 1;
  if (take(text, '-')) {
    sign = -1;
  } else if (!take(text, '+')) {
    return std::nullopt;
  }
  const auto hours = digitsAt(text, 2);
  std::optional<int> minutes = 0;
  if (!text.empty()) {
    take(text, ':');
    minutes = digitsAt(text, 2);
  }
  if (!hours || !minutes || !text.empty() || *hours > 23 || *minutes > 59) {
    return std::nullopt;
  }
  return sign * (*hours * 3600 + *minutes * 60);
}

std::optional<double> parseDateTime(std::string_view text) {
  const auto year = digitsAt(text, 4);
  if (!year || !take(text, '-')) {
    return std::nullopt;
  }
  const auto month = digitsAt(text, 2);
  if (!month || !take(text, '-')) {
    return std::nullopt;
  }
  const auto day = digitsAt(text, 2);
  if (!day || !(take(text, 'T') || take(text, 't') || take(text, ' '))) {
    return std::nullopt;
  }
  const auto hour = digitsAt(text, 2);
  if (!hour || !take(text, ':')) {
    return std::nullopt;
  }
  const auto minute = digitsAt(text, 2);
  if (!minute || !take(text, ':')) {
    return std::nullopt;
  }
  const auto second = digitsAt(text, 2);
  if (!second || *month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
      *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  double fraction = 0.0;
  if (take(text, '.') || take(text, ',')) {
    double scale = 0.1;
    const std::size_t before = text.size();
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
      fraction += scale * (text.front() - '0');
      scale /= 10;
      text.remove_prefix(1);
    }
    if (text.size() == before) {
      return std::nullopt;
    }
  }
  const auto offset = zoneOffset(text);
  if (!offset) {
    return std::nullopt;
  }
  const std::int64_t seconds = daysSinceEpoch(*year, *month, *day) * 86400 + std::int64_t{*hour} * 3600 +
                               std::int64_t{*minute} * 60 + *second - *offset;
  if (seconds < 0) {
    return std::nullopt;
  }
  return static_cast<double>(seconds) + fraction;
}

}  // namespace

std::optional<double> parseTime(std::string_view text) {
  if (const auto seconds = parseNumber<double>(text)) {
    return *seconds >= 0.0 ? seconds : std::nullopt;
  }
  return parseDateTime(text);
}

}  // namespace tervala::cli
