#include "frame/ArgumentParser.hpp"

#include <algorithm>
#include <cstring>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "frame/HelpText.hpp"
#include "frame/Input.hpp"
#include "frame/Suggestion.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

// Where a secret comes from, before it is read.
struct PendingSecret {
  enum class From { given, standardInput, file };
  From from = From::given;
  platform::SecretText text;  // for `given`
  std::string path;           // for `file`
};

// Overwrites an argument in place, as curl does for its passwords: /proc/PID/cmdline reads
// these very bytes.
void blank(char* argument) noexcept {
  platform::cleanse(argument, std::strlen(argument));
}

// The operands of "CODE SECRET|URI|-" or "[URI|-]", each by its first name: "CODE", "SECRET", "URI".
std::vector<std::string_view> operandNames(std::string_view operands) {
  std::vector<std::string_view> names;
  while (!operands.empty()) {
    const auto word = operands.substr(0, operands.find(' '));
    auto name = word.substr(0, word.find('|'));
    if (name.starts_with('[')) {
      name = name.substr(1, name.find(']') - 1);
    }
    names.push_back(name);
    operands.remove_prefix(std::min(operands.size(), word.size() + 1));
  }
  return names;
}

// How many operands must be given: all but those that may be left out ("[PATTERN]").
std::size_t neededOperands(std::string_view operands) {
  std::size_t needed = 0;
  while (!operands.empty()) {
    const auto word = operands.substr(0, operands.find(' '));
    needed += word.starts_with('[') ? 0 : 1;
    operands.remove_prefix(std::min(operands.size(), word.size() + 1));
  }
  return needed;
}

std::variant<platform::SecretText, UsageError> readPending(PendingSecret& pending, const Io& io) {
  switch (pending.from) {
    case PendingSecret::From::given:
      return std::move(pending.text);
    case PendingSecret::From::standardInput: {
      auto text = readStandardInput(io.in);
      if (!text) {
        return UsageError{"standard input holds more than 64 KiB"};
      }
      return std::move(*text);
    }
    case PendingSecret::From::file:
      return readSecretFile(pending.path, io.err);
  }
  return UsageError{"no source"};
}

}  // namespace

struct ArgumentParser::Scan {
  Arguments arguments;
  std::map<std::string, PendingSecret, std::less<>> secrets;
  std::vector<PendingSecret> operands;
  std::size_t consumed = 0;
};

ArgumentParser::ArgumentParser(const Command& command) noexcept
    : options_(command.options),
      commandName_(command.name),
      operand_(command.operand),
      secretOperand_(command.secretOperand) {}

const Option* ArgumentParser::find(std::string_view name, char letter) const noexcept {
  for (const auto& option : options_) {
    if ((!name.empty() && option.name == name) || (letter != '\0' && option.letter == letter)) {
      return &option;
    }
  }
  return nullptr;
}

std::string ArgumentParser::unknownOption(std::string_view given) const {
  std::vector<std::string> names;
  for (const auto& option : options_) {
    names.push_back("--" + std::string(option.name));
  }
  const std::vector<std::string_view> known(names.begin(), names.end());
  return "unknown option '" + visible(given) + "'" + didYouMean(given, known);
}

std::variant<ArgumentParser::Scan, UsageError> ArgumentParser::scan(std::span<char* const> args,
                                                                    bool stopAtOperand) const {
  Scan scan;
  scan.consumed = args.size();
  bool optionsEnded = false;
  for (std::size_t at = 0; at < args.size(); ++at) {
    char* const raw = args[at];
    const std::string_view arg(raw);
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || arg == "-" || !arg.starts_with('-')) {
      if (stopAtOperand) {
        scan.consumed = at;
        return scan;
      }
      // The word is not repeated: a stray operand is often a secret or a Key URI.
      const auto names = operandNames(operand_);
      if (names.empty()) {
        return UsageError{std::string(commandName_) + " takes no operand"};
      }
      // A last operand named "[WORDS...]" takes every word left (a program's own arguments),
      // each as it is: "-" too.
      const bool rest = names.back().ends_with("...") && scan.operands.size() + 1 >= names.size();
      if (scan.operands.size() == names.size() && !rest) {
        return UsageError{std::string(commandName_) + " takes only " +
                          (names.size() == 1 ? "one " + std::string(names[0]) : listed(names))};
      }
      if (arg == "-" && !rest) {
        scan.operands.push_back(PendingSecret{PendingSecret::From::standardInput, {}, {}});
      } else {
        scan.operands.push_back(PendingSecret{PendingSecret::From::given, platform::secretText(arg), {}});
        if (secretOperand_) {
          blank(raw);
        }
      }
      continue;
    }

    std::string_view name;
    char letter = '\0';
    char* inlineValue = nullptr;
    if (arg.starts_with("--")) {
      name = arg.substr(2);
      if (const auto equals = name.find('='); equals != std::string_view::npos) {
        inlineValue = raw + 2 + equals + 1;
        name = name.substr(0, equals);
      }
    } else if (arg.size() == 2) {
      letter = arg[1];
    } else {
      return UsageError{unknownOption(arg)};
    }
    if (name == "help" || letter == 'h') {
      scan.arguments.helpWanted_ = true;
      continue;
    }
    const Option* option = find(name, letter);
    bool fromFile = false;
    if (option == nullptr && name.ends_with("-file")) {
      option = find(name.substr(0, name.size() - 5), '\0');
      fromFile = true;
      if (option != nullptr && option->takes != Takes::secret) {
        option = nullptr;
      }
    }
    if (option == nullptr) {
      return UsageError{unknownOption(name.empty() ? arg : "--" + std::string(name))};
    }
    const std::string flag = name.empty() ? std::string(arg) : "--" + std::string(name);

    if (option->takes == Takes::nothing || option->takes == Takes::stdinFor) {
      if (inlineValue != nullptr) {
        return UsageError{flag + " takes no value"};
      }
      if (option->takes == Takes::nothing) {
        scan.arguments.switches_.emplace(option->name);
        continue;
      }
      if (!scan.secrets
               .try_emplace(std::string(option->valueName),
                            PendingSecret{PendingSecret::From::standardInput, {}, {}})
               .second) {
        return UsageError{"--" + std::string(option->valueName) + " is given more than once"};
      }
      continue;
    }

    char* value = inlineValue;
    if (value == nullptr) {
      if (at + 1 >= args.size()) {
        return UsageError{flag + " needs a value"};
      }
      value = args[++at];
    }
    const std::string_view text(value);
    switch (option->takes) {
      case Takes::value:
        if (scan.arguments.values_.contains(option->name)) {
          return UsageError{"--" + std::string(option->name) + " is given more than once"};
        }
        [[fallthrough]];
      case Takes::values:
        scan.arguments.values_[std::string(option->name)].emplace_back(text);
        break;
      case Takes::secret: {
        PendingSecret pending;
        if (fromFile) {
          pending.from = PendingSecret::From::file;
          pending.path = text;
        } else if (text == "-") {
          pending.from = PendingSecret::From::standardInput;
        } else {
          pending.text = platform::secretText(text);
          blank(value);
        }
        if (!scan.secrets.try_emplace(std::string(option->name), std::move(pending)).second) {
          return UsageError{"--" + std::string(option->name) + " is given more than once"};
        }
        break;
      }
      default:
        break;
    }
  }
  return scan;
}

std::variant<std::pair<Arguments, std::size_t>, UsageError> ArgumentParser::parseLeading(
    std::span<char* const> args) const {
  auto scanned = scan(args, true);
  if (auto* error = std::get_if<UsageError>(&scanned)) {
    return std::move(*error);
  }
  auto& done = std::get<Scan>(scanned);
  return std::pair{std::move(done.arguments), done.consumed};
}

std::variant<Arguments, UsageError> ArgumentParser::parse(std::span<char* const> args, const Io& io) const {
  auto scanned = scan(args, false);
  if (auto* error = std::get_if<UsageError>(&scanned)) {
    return std::move(*error);
  }
  auto& done = std::get<Scan>(scanned);
  if (done.arguments.helpWanted_) {
    return std::move(done.arguments);
  }
  for (const auto& option : options_) {
    if (option.takes != Takes::secret || option.environment.empty() || done.secrets.contains(option.name)) {
      continue;
    }
    const char* value = io.environment(std::string(option.environment).c_str());
    if (value != nullptr && *value != '\0') {
      done.arguments.fromEnvironment_.emplace(option.name);
      done.secrets.emplace(std::string(option.name),
                           PendingSecret{PendingSecret::From::given, platform::secretText(value), {}});
      io.forget(std::string(option.environment).c_str());
    }
  }
  std::size_t fromStandardInput = 0;
  for (const auto& [name, pending] : done.secrets) {
    fromStandardInput += pending.from == PendingSecret::From::standardInput ? 1 : 0;
  }
  for (const auto& pending : done.operands) {
    fromStandardInput += pending.from == PendingSecret::From::standardInput ? 1 : 0;
  }
  if (fromStandardInput > 1) {
    return UsageError{"only one value can come from standard input"};
  }
  for (auto& [name, pending] : done.secrets) {
    auto text = readPending(pending, io);
    if (auto* error = std::get_if<UsageError>(&text)) {
      return std::move(*error);
    }
    if (std::get<platform::SecretText>(text).empty()) {
      return UsageError{"the value of --" + name + " is empty"};
    }
    done.arguments.secrets_.emplace(name, std::move(std::get<platform::SecretText>(text)));
  }
  for (const auto& option : options_) {
    if (option.required && !done.arguments.values_.contains(option.name) &&
        !done.arguments.secrets_.contains(option.name) &&
        (option.unlessGiven.empty() || !done.arguments.values_.contains(option.unlessGiven))) {
      return UsageError{std::string(commandName_) + " needs --" + std::string(option.name)};
    }
  }
  const auto names = operandNames(operand_);
  const auto needed = neededOperands(operand_);
  if (done.operands.size() < needed) {
    return UsageError{std::string(commandName_) + " needs " +
                      listed({names.begin() + static_cast<std::ptrdiff_t>(done.operands.size()),
                              names.begin() + static_cast<std::ptrdiff_t>(needed)}) +
                      " (or - to read it from standard input)"};
  }
  for (std::size_t i = 0; i < done.operands.size(); ++i) {
    auto text = readPending(done.operands[i], io);
    if (auto* error = std::get_if<UsageError>(&text)) {
      return std::move(*error);
    }
    if (std::get<platform::SecretText>(text).empty()) {
      return UsageError{"the " + lowered(names[std::min(i, names.size() - 1)]) + " is empty"};
    }
    done.arguments.operands_.push_back(std::move(std::get<platform::SecretText>(text)));
  }
  return std::move(done.arguments);
}

}  // namespace tervala::cli
