#include <signal.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/SteamGuard.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "codes/CodeShape.hpp"
#include "codes/KeyOperand.hpp"
#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/Input.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

std::optional<std::string> codeAt(const TotpGeneratorContext& generator, OtpCodeForm form, double time) {
  return form == OtpCodeForm::steam ? SteamGuard::codeAt(generator, time) : generator.create(time);
}

volatile sig_atomic_t interruption = 0;

extern "C" void onInterrupt(int signal) {
  interruption = signal;
}

// Shows the code of now until SIGINT or SIGTERM, then ends with 128 + the signal. On a terminal
// one line is redrawn once a second with a countdown bar; elsewhere each new code is one line.
int watch(const TotpGeneratorContext& generator, OtpCodeForm form, const Io& io) {
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
    const auto code = codeAt(generator, form, now);
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

// The key and the code shape both generating commands start from.
struct GeneratorInput {
  KeyOperand key;
  CodeShape shape;
};

std::variant<GeneratorInput, UsageError> readGeneratorInput(const Arguments& arguments, OtpType type) {
  auto read = KeyOperand::read(platform::view(*arguments.operand()), arguments.has("hex"));
  if (auto* error = std::get_if<UsageError>(&read)) {
    return std::move(*error);
  }
  auto& key = std::get<KeyOperand>(read);
  if (auto error = key.typeMismatch(type)) {
    return std::move(*error);
  }
  auto shape = readShape(arguments, key.parameters);
  if (auto* error = std::get_if<UsageError>(&shape)) {
    return std::move(*error);
  }
  return GeneratorInput{std::move(key), std::get<CodeShape>(shape)};
}

}  // namespace

int runTotp(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  auto input = readGeneratorInput(arguments, OtpType::totp);
  if (const auto* error = std::get_if<UsageError>(&input)) {
    return refuse(io, *error);
  }
  const auto& [key, shape] = std::get<GeneratorInput>(input);
  const auto form = arguments.has("steam") ? OtpCodeForm::steam : key.parameters.form;
  if (auto error = steamShapeConflict(arguments, form)) {
    return refuse(io, *error);
  }
  const auto period = readPeriod(arguments, key.parameters);
  if (const auto* error = std::get_if<UsageError>(&period)) {
    return refuse(io, *error);
  }
  const auto time = readTime(arguments);
  if (const auto* error = std::get_if<UsageError>(&time)) {
    return refuse(io, *error);
  }
  const auto at = std::get<std::optional<double>>(time);
  if (at && arguments.has("watch")) {
    return refuse(io, UsageError{"--watch shows the codes of now and cannot be combined with --time"});
  }
  const auto& [digits, algorithm] = shape;
  const auto generator =
      TotpGeneratorContext::make(platform::view(key.secret), digits, algorithm, std::get<double>(period));
  if (!generator) {
    return refuse(io, UsageError{"the secret is not valid Base32"});
  }
  if (arguments.has("watch")) {
    return watch(*generator, form, io);
  }
  const auto code = codeAt(*generator, form, at ? *at : TotpGeneratorContext::currentUnixTime());
  if (!code) {
    return refuse(io, UsageError{"the time has no code: its period count passes 2^64"});
  }
  io.out << *code << '\n' << std::flush;
  return io.out ? success : failure;
}

int runHotp(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  auto input = readGeneratorInput(arguments, OtpType::hotp);
  if (const auto* error = std::get_if<UsageError>(&input)) {
    return refuse(io, *error);
  }
  const auto& [key, shape] = std::get<GeneratorInput>(input);
  const auto read = readCounter(arguments, key.parameters.counter);
  if (const auto* error = std::get_if<UsageError>(&read)) {
    return refuse(io, *error);
  }
  const std::uint64_t counter = std::get<std::uint64_t>(read);
  if (!arguments.value("counter") && !key.fromUri) {
    return refuse(io, UsageError{"hotp needs --counter (or a Key URI, which holds it)"});
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
  if (count - 1 > std::numeric_limits<std::uint64_t>::max() - counter) {
    return refuse(io, UsageError{"the counter would pass 18446744073709551615"});
  }
  const auto& [digits, algorithm] = shape;
  const auto generator = HotpGeneratorContext::make(platform::view(key.secret), digits, algorithm, counter);
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
