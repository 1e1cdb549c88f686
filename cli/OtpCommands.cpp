#include <signal.h>

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <istream>
#include <limits>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "Commands.hpp"
#include "Input.hpp"

namespace tervala::cli {
namespace {

// A refused input: the one line the tool prints before exiting with status 2.
struct Refusal {
  std::string message;
};

int refuse(const Io& io, std::string_view message) {
  io.err << "tervala: " << message << '\n';
  return usage;
}

// Options shared by totp and hotp, and the ones only one of them takes.
struct OtpOptions {
  std::int64_t digits = 6;
  HmacAlgorithm algorithm = HmacAlgorithm::SHA1;
  double period = 30.0;
  std::optional<double> time;
  bool watch = false;
  std::optional<std::uint64_t> counter;
  std::uint64_t count = 1;
  std::optional<std::string> secret;
};

enum class Command { totp, hotp };

// Reads the options of `command`; a Refusal says what was wrong.
std::variant<OtpOptions, Refusal> parseOptions(Command command, std::span<const std::string> args) {
  OtpOptions options;
  const bool totp = command == Command::totp;
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string& arg = args[at];
    const auto value = [&]() -> std::optional<std::string_view> {
      if (at + 1 >= args.size()) {
        return std::nullopt;
      }
      return std::string_view(args[++at]);
    };
    if (arg == "-d" || arg == "-a" || (totp && (arg == "-p" || arg == "-t")) ||
        (!totp && (arg == "-c" || arg == "-n"))) {
      const auto text = value();
      if (!text) {
        return Refusal{"option " + arg + " needs a value"};
      }
      if (arg == "-d") {
        const auto digits = parseNumber<std::int64_t>(*text);
        if (!digits || (*digits != 6 && *digits != 8)) {
          return Refusal{"digits must be 6 or 8, not '" + std::string(*text) + "'"};
        }
        options.digits = *digits;
      } else if (arg == "-a") {
        const auto algorithm = hmacAlgorithmFromName(*text);
        if (!algorithm) {
          return Refusal{"algorithm must be SHA1, SHA256 or SHA512, not '" + std::string(*text) + "'"};
        }
        options.algorithm = *algorithm;
      } else if (arg == "-p") {
        const auto period = parseNumber<double>(*text);
        if (!period || *period < 10.0 || *period > 300.0) {
          return Refusal{"period must be from 10 to 300 seconds, not '" + std::string(*text) + "'"};
        }
        options.period = *period;
      } else if (arg == "-t") {
        const auto time = parseNumber<double>(*text);
        if (!time || *time < 0.0) {
          return Refusal{"time must be a number of seconds since 1970, not '" + std::string(*text) + "'"};
        }
        options.time = *time;
      } else if (arg == "-c") {
        options.counter = parseNumber<std::uint64_t>(*text);
        if (!options.counter) {
          return Refusal{"counter must be a whole number from 0 to 18446744073709551615, not '" +
                         std::string(*text) + "'"};
        }
      } else {
        const auto count = parseNumber<std::uint64_t>(*text);
        if (!count || *count == 0) {
          return Refusal{"count must be a whole number of at least 1, not '" + std::string(*text) + "'"};
        }
        options.count = *count;
      }
    } else if (totp && arg == "-w") {
      options.watch = true;
    } else if (arg == "-" || !arg.starts_with('-')) {
      if (options.secret) {
        return Refusal{"only one secret may be given"};
      }
      options.secret = arg;
    } else {
      return Refusal{"unknown option '" + arg + "'"};
    }
  }
  if (!options.secret) {
    return Refusal{"a Base32 secret (or - to read it from standard input) is needed"};
  }
  if (totp && options.watch && options.time) {
    return Refusal{"-w shows the codes of now and cannot be combined with -t"};
  }
  if (!totp) {
    if (!options.counter) {
      return Refusal{"hotp needs a starting counter: -c COUNTER"};
    }
    if (options.count - 1 > std::numeric_limits<std::uint64_t>::max() - *options.counter) {
      return Refusal{"the counter would pass 18446744073709551615"};
    }
  }
  return options;
}

// The secret as given, or read from standard input without one trailing line break.
std::variant<std::string, Refusal> secretText(const std::string& given, std::istream& in) {
  if (given != "-") {
    return given;
  }
  auto text = readStandardInput(in);
  if (!text) {
    return Refusal{"the secret on standard input is longer than 64 KiB"};
  }
  return std::move(*text);
}

// The options and the secret text of one command, or why they are refused.
struct OtpInput {
  OtpOptions options;
  std::string secret;
};

std::variant<OtpInput, Refusal> readInput(Command command, std::span<const std::string> args, const Io& io) {
  auto parsed = parseOptions(command, args);
  if (auto* refusal = std::get_if<Refusal>(&parsed)) {
    return std::move(*refusal);
  }
  auto& options = std::get<OtpOptions>(parsed);
  auto secret = secretText(*options.secret, io.in);
  if (auto* refusal = std::get_if<Refusal>(&secret)) {
    return std::move(*refusal);
  }
  return OtpInput{std::move(options), std::move(std::get<std::string>(secret))};
}

volatile sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int /*signal*/) {
  interrupted = 1;
}

// Redraws "code [bar] Ns" once a second, with a new code at each new period, until SIGINT or
// SIGTERM; then ends the line and returns success.
int watch(const TotpGeneratorContext& generator, Io io) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
    io.err << "tervala: cannot watch for interruption\n";
    return failure;
  }
  constexpr int barWidth = 30;
  const auto wholePeriod = static_cast<std::int64_t>(generator.period());
  while (interrupted == 0) {
    const double now = TotpGeneratorContext::currentUnixTime();
    const auto code = generator.create(now);
    const auto left = TotpGeneratorContext::remainingTime(generator.period(), now);
    if (!code || !left) {
      io.err << "\ntervala: the clock is before 1970\n";
      return failure;
    }
    const auto filled = static_cast<int>(*left * barWidth / std::max<std::int64_t>(wholePeriod, 1));
    io.out << '\r' << *code << " ["
           << std::string(static_cast<std::size_t>(std::clamp(filled, 0, barWidth)), '#')
           << std::string(static_cast<std::size_t>(barWidth - std::clamp(filled, 0, barWidth)), '.') << "] ";
    io.out.width(3);
    io.out << *left << "s " << std::flush;
    // Sleep to the next whole second; a signal cuts the sleep short.
    const double fraction = now - std::floor(now);
    const auto nanos = static_cast<long>((1.0 - fraction) * 1e9);
    struct timespec pause {
      0, std::clamp(nanos, 1L, 999'999'999L)
    };
    nanosleep(&pause, nullptr);
  }
  io.out << '\n' << std::flush;
  return success;
}

}  // namespace

int runTotp(const GlobalOptions& /*options*/, std::span<const std::string> args, Io io) {
  auto input = readInput(Command::totp, args, io);
  if (auto* refusal = std::get_if<Refusal>(&input)) {
    return refuse(io, refusal->message);
  }
  const auto& [options, secret] = std::get<OtpInput>(input);
  const auto generator =
      TotpGeneratorContext::make(secret, options.digits, options.algorithm, options.period);
  if (!generator) {
    return refuse(io, "the secret is not valid Base32");
  }
  if (options.watch) {
    return watch(*generator, io);
  }
  const auto code = options.time ? generator->create(*options.time) : generator->create();
  if (!code) {
    return refuse(io, "the time has no code: its period count passes 2^64");
  }
  io.out << *code << '\n' << std::flush;
  return io.out ? success : failure;
}

int runHotp(const GlobalOptions& /*options*/, std::span<const std::string> args, Io io) {
  auto input = readInput(Command::hotp, args, io);
  if (auto* refusal = std::get_if<Refusal>(&input)) {
    return refuse(io, refusal->message);
  }
  const auto& [options, secret] = std::get<OtpInput>(input);
  const auto generator =
      HotpGeneratorContext::make(secret, options.digits, options.algorithm, *options.counter);
  if (!generator) {
    return refuse(io, "the secret is not valid Base32");
  }
  // Codes go out in large blocks: a million of them is one job, not a million writes.
  constexpr std::size_t blockSize = std::size_t{64} * 1024;
  std::string block;
  block.reserve(blockSize + 16);
  for (std::uint64_t i = 0; i < options.count; ++i) {
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
