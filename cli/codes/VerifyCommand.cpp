// `tervala verify`: a typed code against a key, with the replay guard of the settings store.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/OtpReplayGuard.hpp>
#include <tervala/OtpSecret.hpp>
#include <tervala/OtpVerification.hpp>
#include <tervala/SettingsStore.hpp>

#include "codes/CodeShape.hpp"
#include "codes/KeyOperand.hpp"
#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/Input.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

// A name for text that must not be stored as it is: the first 128 bits of its SHA-256, in hex.
std::string digestName(std::string_view prefix, std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  constexpr std::string_view hex = "0123456789abcdef";
  std::string name(prefix);
  for (unsigned int i = 0; i < 16 && i < size; ++i) {
    name.push_back(hex[digest[i] >> 4U]);
    name.push_back(hex[digest[i] & 0xfU]);
  }
  return name;
}

// The account the replay guard keeps the last accepted step under: a Key URI's label, else a
// digest of the secret, which must never reach the store as it is.
std::string replayAccount(const KeyOperand& key) {
  if (!key.fromUri) {
    return digestName("secret-sha256:", platform::view(key.secret));
  }
  const auto& p = key.parameters;
  std::string label = p.issuer.empty() ? p.account : p.issuer + ':' + p.account;
  if (label.size() > OtpReplayGuard::maxAccountLength) {
    return digestName("label-sha256:", label);
  }
  return label;
}

// Where the replay guard keeps its steps; absent with --no-replay.
std::variant<std::optional<std::filesystem::path>, UsageError> replayStore(const GlobalOptions& global,
                                                                           const Arguments& arguments) {
  const auto given = arguments.value("replay-store");
  if (arguments.has("no-replay")) {
    if (given) {
      return UsageError{"--replay-store and --no-replay exclude each other"};
    }
    return std::optional<std::filesystem::path>{};
  }
  if (given) {
    return std::optional<std::filesystem::path>{std::filesystem::path(*given)};
  }
  if (global.settingsPath) {
    return std::optional<std::filesystem::path>{std::filesystem::path(*global.settingsPath)};
  }
  if (auto standard = SettingsStore::defaultLocation()) {
    return std::optional<std::filesystem::path>{std::move(*standard)};
  }
  return UsageError{"no home folder for the settings file: give --replay-store PATH or --no-replay"};
}

std::variant<std::uint64_t, UsageError> readWindow(const Arguments& arguments) {
  const auto text = arguments.value("window");
  if (!text) {
    return std::uint64_t{1};
  }
  const auto window = parseNumber<std::uint64_t>(*text);
  if (!window || *window > OtpVerifier::maxWindow) {
    return UsageError{"window must be a whole number from 0 to " + std::to_string(OtpVerifier::maxWindow) +
                      ", not '" + visible(*text) + "'"};
  }
  return *window;
}

// What a check of the code needs besides the code: the key made into a generator and where in
// its steps to look.
struct Check {
  const KeyOperand& key;
  std::uint64_t window = 1;
  CodeShape shape;
  double period = 30.0;
  double time = 0.0;
  std::uint64_t nextCounter = 0;  // HOTP
};

std::variant<std::optional<OtpMatch>, UsageError> match(const Check& check, std::string_view code) {
  const auto secret = platform::view(check.key.secret);
  if (check.key.parameters.type == OtpType::hotp) {
    const auto generator = OtpGeneratorContext::make(secret, check.shape.digits, check.shape.algorithm);
    if (!generator) {
      return UsageError{"the secret is not valid Base32"};
    }
    return OtpVerifier::verifyHotp(*generator, code, check.nextCounter, check.window);
  }
  const auto generator =
      TotpGeneratorContext::make(secret, check.shape.digits, check.shape.algorithm, check.period);
  if (!generator) {
    return UsageError{"the secret is not valid Base32"};
  }
  return OtpVerifier::verifyTotp(*generator, code, check.time, check.window, check.key.parameters.form);
}

}  // namespace

int runVerify(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto read = KeyOperand::read(platform::view(*arguments.operand()), arguments.has("hex"));
  if (const auto* error = std::get_if<UsageError>(&read)) {
    return refuse(io, *error);
  }
  auto& key = std::get<KeyOperand>(read);
  if (arguments.value("counter")) {
    if (key.fromUri && key.parameters.type == OtpType::totp) {
      return refuse(io, UsageError{"--counter is for hotp keys, and the Key URI is of a totp key"});
    }
    key.parameters.type = OtpType::hotp;  // a bare secret with a counter is a hotp key
  }
  const auto window = readWindow(arguments);
  const auto shape = readShape(arguments, key.parameters);
  const auto period = readPeriod(arguments, key.parameters);
  const auto time = readTime(arguments);
  const auto store = replayStore(global, arguments);
  for (const UsageError* error :
       {std::get_if<UsageError>(&window), std::get_if<UsageError>(&shape), std::get_if<UsageError>(&period),
        std::get_if<UsageError>(&time), std::get_if<UsageError>(&store)}) {
    if (error != nullptr) {
      return refuse(io, *error);
    }
  }
  if (auto error = steamShapeConflict(arguments, key.parameters.form)) {
    return refuse(io, *error);
  }
  const auto counter = readCounter(arguments, key.parameters.counter);
  if (const auto* error = std::get_if<UsageError>(&counter)) {
    return refuse(io, *error);
  }
  std::uint64_t nextCounter = std::get<std::uint64_t>(counter);
  if (const auto strength = secretStrength(platform::view(key.secret));
      strength && strength->belowMinimum()) {
    io.err << "tervala: warning: the secret has " << strength->bits
           << " bits; RFC 4226 asks for at least 128\n";
  }

  const auto& storePath = std::get<std::optional<std::filesystem::path>>(store);
  std::optional<SettingsStore> settings;
  std::optional<OtpReplayGuard> guard;
  const std::string account = storePath ? replayAccount(key) : std::string();
  if (storePath) {
    settings.emplace(*storePath);
    guard.emplace(*settings);
    // A hotp key's next counter moves on with each accepted code, whatever the URI still says.
    if (const auto last = guard->lastAccepted(account); last && key.parameters.type == OtpType::hotp) {
      if (*last == std::numeric_limits<std::uint64_t>::max()) {
        io.err << "tervala: the key's last counter has been used\n";
        return failure;
      }
      nextCounter = std::max(nextCounter, *last + 1);
    }
  }

  const Check check{key,
                    std::get<std::uint64_t>(window),
                    std::get<CodeShape>(shape),
                    std::get<double>(period),
                    std::get<std::optional<double>>(time).value_or(TotpGeneratorContext::currentUnixTime()),
                    nextCounter};
  const auto matched = match(check, platform::view(*arguments.firstOperand()));
  if (const auto* error = std::get_if<UsageError>(&matched)) {
    return refuse(io, *error);
  }
  const auto& found = std::get<std::optional<OtpMatch>>(matched);
  if (!found) {
    io.err << "tervala: the code does not match\n";
    return failure;
  }
  if (guard) {
    switch (guard->accept(account, found->counter)) {
      case OtpReplayGuard::Verdict::accepted:
        break;
      case OtpReplayGuard::Verdict::replayed:
        io.err << "tervala: the code matches but was already used (or a later one was)\n";
        return failure;
      case OtpReplayGuard::Verdict::failed: {
        const auto problem = settings->lastProblem();
        io.err << "tervala: "
               << shownMessage(problem ? problem->reason
                                       : "the replay store '" + visible(storePath->string()) +
                                             "' cannot be written")
               << '\n';
        return failure;
      }
    }
  }
  io.out << found->offset << '\n' << std::flush;
  return io.out ? success : failure;
}

}  // namespace tervala::cli
