#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <variant>

#include "frame/Arguments.hpp"
#include "frame/Command.hpp"

namespace tervala::cli {

/// Reads a command line against one option table, the way every command of the tool reads it:
/// `--name VALUE`, `--name=VALUE`, `-x VALUE`, switches, `--` ending the options, `-h`/`--help`.
/// A secret given on the command line is copied into cleansing memory and its bytes in `args`
/// are overwritten at once, so the process list no longer shows it.
class ArgumentParser {
 public:
  /// A parser for `command`'s options and operand.
  explicit ArgumentParser(const Command& command) noexcept;
  /// A parser for options that stand before a command word.
  explicit ArgumentParser(std::span<const Option> options) noexcept : options_(options) {}

  /// The whole command line of the command, its secrets read from their sources (standard
  /// input, a file, the environment); nothing is read when help was asked for.
  [[nodiscard]] std::variant<Arguments, UsageError> parse(std::span<char* const> args, const Io& io) const;

  /// The options before the first operand, and how many words of `args` they took.
  [[nodiscard]] std::variant<std::pair<Arguments, std::size_t>, UsageError> parseLeading(
      std::span<char* const> args) const;

 private:
  struct Scan;
  [[nodiscard]] std::variant<Scan, UsageError> scan(std::span<char* const> args, bool stopAtOperand) const;
  [[nodiscard]] const Option* find(std::string_view name, char letter) const noexcept;
  [[nodiscard]] std::string unknownOption(std::string_view given) const;

  std::span<const Option> options_;
  std::string_view commandName_;
  std::string_view operand_;
  bool secretOperand_ = false;
};

}  // namespace tervala::cli
