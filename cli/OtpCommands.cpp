#include <signal.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <sstream>
#include <string>
#include <variant>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "Arguments.hpp"
#include "Commands.hpp"
#include "Input.hpp"
#include "VisibleText.hpp"

namespace tervala::cli {
namespace {

// What totp and hotp share: the code's shape.
struct CodeShape {
  std::int64_t digits = 6;
  HmacAlgorithm algorithm = HmacAlgorithm::SHA1;
};

std::variant<CodeShape, UsageError> readShape(const Arguments& arguments) {
  CodeShape shape;
  if (const auto text = arguments.value("digits")) {
    const auto digits = parseNumber<std::int64_t>(*text);
    if (!digits || (*digits != 6 && *digits != 8)) {
      return UsageError{"digits must be 6 or 8, not '" + visible(*text) + "'"};
    }
    shape.digits = *digits;
  }
  if (const auto text = arguments.value("algorithm")) {
    const auto algorithm = hmacAlgorithmFromName(*text);
    if (!algorithm) {
      return UsageError{"algorithm must be SHA1, SHA256 or SHA512, not '" + visible(*text) + "'"};
    }
    shape.algorithm = *algorithm;
  }
  return shape;
}

std::string secondsText(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

volatile sig_atomic_t interruption = 0;

extern "C" void onInterrupt(int signal) {
  interruption = signal;
}

// Shows the code of now until SIGINT or SIGTERM, then ends with 128 + the signal. On a terminal
// one line is redrawn once a second with a countdown bar; elsewhere each new code is one line.
int watch(const TotpGeneratorContext& generator, const Io& io) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
    io.err << "tervala: cannot watch for interruption\n";
    return failure;
  }
  constexpr int barWidth = 30;
  const auto wholePeriod = static_cast<std::int64_t>(generator.period());
  std::string shown;
  while (interruption == 0) {
    const double now = TotpGeneratorContext::currentUnixTime();
    const auto code = generator.create(now);
    const auto left = TotpGeneratorContext::remainingTime(generator.period(), now);
    if (!code || !left) {
      io.err << "\ntervala: the clock is before 1970\n";
      return failure;
    }
    if (io.outIsTerminal) {
      const int filled = std::clamp(
          static_cast<int>(*left * barWidth / std::max<std::int64_t>(wholePeriod, 1)), 0, barWidth);
      io.out << '\r' << *code << " [" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(barWidth - filled), '.') << "] ";
      io.out.width(3);
      io.out << *left << "s " << std::flush;
    } else if (*code != shown) {
      io.out << *code << '\n' << std::flush;
      shown = *code;
    }
    if (!io.out) {
      return failure;
    }
    // Sleep to the next whole second; a signal cuts the sleep short.
    const double fraction = now - std::floor(now);
    const auto nanos = static_cast<long>((1.0 - fraction) * 1e9);
    struct timespec pause {
      0, std::clamp(nanos, 1L, 999'999'999L)
    };
    nanosleep(&pause, nullptr);
  }
  if (io.outIsTerminal) {
    io.out << '\n' << std::flush;
  }
  return 128 + interruption;
}

}  // namespace

int runTotp(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  const auto shape = readShape(arguments);
  if (const auto* error = std::get_if<UsageError>(&shape)) {
    return refuse(io, *error);
  }
  double period = 30.0;
  if (const auto text = arguments.value("period")) {
    const auto value = parseNumber<double>(*text);
    if (!value || *value < TotpGeneratorContext::minimumPeriod ||
        *value > TotpGeneratorContext::maximumPeriod) {
      return refuse(io, UsageError{"period must be from " + secondsText(TotpGeneratorContext::minimumPeriod) +
                                   " to " + secondsText(TotpGeneratorContext::maximumPeriod) +
                                   " seconds, not '" + visible(*text) + "'"});
    }
    period = *value;
  }
  std::optional<double> time;
  if (const auto text = arguments.value("time")) {
    time = parseNumber<double>(*text);
    if (!time || *time < 0.0) {
      return refuse(io,
                    UsageError{"time must be a number of seconds since 1970, not '" + visible(*text) + "'"});
    }
  }
  if (time && arguments.has("watch")) {
    return refuse(io, UsageError{"--watch shows the codes of now and cannot be combined with --time"});
  }
  const auto& [digits, algorithm] = std::get<CodeShape>(shape);
  const auto generator =
      TotpGeneratorContext::make(platform::view(*arguments.operand()), digits, algorithm, period);
  if (!generator) {
    return refuse(io, UsageError{"the secret is not valid Base32"});
  }
  if (arguments.has("watch")) {
    return watch(*generator, io);
  }
  const auto code = time ? generator->create(*time) : generator->create();
  if (!code) {
    return refuse(io, UsageError{"the time has no code: its period count passes 2^64"});
  }
  io.out << *code << '\n' << std::flush;
  return io.out ? success : failure;
}

int runHotp(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  const auto shape = readShape(arguments);
  if (const auto* error = std::get_if<UsageError>(&shape)) {
    return refuse(io, *error);
  }
  const auto counterText = arguments.value("counter").value_or("");
  const auto counter = parseNumber<std::uint64_t>(counterText);
  if (!counter) {
    return refuse(io, UsageError{"counter must be a whole number from 0 to 18446744073709551615, not '" +
                                 visible(counterText) + "'"});
  }
  std::uint64_t count = 1;
  if (const auto text = arguments.value("count")) {
    const auto value = parseNumber<std::uint64_t>(*text);
    if (!value || *value == 0) {
      return refuse(io,
                    UsageError{"count must be a whole number of at least 1, not '" + visible(*text) + "'"});
    }
    count = *value;
  }
  if (count - 1 > std::numeric_limits<std::uint64_t>::max() - *counter) {
    return refuse(io, UsageError{"the counter would pass 18446744073709551615"});
  }
  const auto& [digits, algorithm] = std::get<CodeShape>(shape);
  const auto generator =
      HotpGeneratorContext::make(platform::view(*arguments.operand()), digits, algorithm, *counter);
  if (!generator) {
    return refuse(io, UsageError{"the secret is not valid Base32"});
  }
  // Codes go out in large blocks: a million of them is one job, not a million writes.
  constexpr std::size_t blockSize = std::size_t{64} * 1024;
  std::string block;
  block.reserve(blockSize + 16);
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto code = generator->create();
    if (!code) {
      break;  // cannot happen: the count was checked against the counter range
    }
    block.append(*code).push_back('\n');
    if (block.size() >= blockSize) {
      io.out.write(block.data(), static_cast<std::streamsize>(block.size()));
      block.clear();
      if (!io.out) {
        return failure;
      }
    }
  }
  io.out.write(block.data(), static_cast<std::streamsize>(block.size()));
  io.out.flush();
  return io.out ? success : failure;
}

}  // namespace tervala::cli
