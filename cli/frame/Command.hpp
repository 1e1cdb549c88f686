#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "frame/Commands.hpp"
#include "frame/Option.hpp"

namespace tervala::cli {

class Arguments;

/// One row of the command table: everything the tool knows about a command.
struct Command {
  std::string_view name = {};  ///< "totp", or a group and a word: "token show"
  std::string_view summary = {};
  std::span<const Option> options = {};
  /// The operands it needs, in order, blank-separated ("SECRET|-", "CODE SECRET|URI|-"); empty
  /// for none. Any one of them may be `-`, read from standard input.
  std::string_view operand = {};
  bool secretOperand = false;  ///< the operands are secrets: blanked in argv as soon as read
  /// The operands name accounts of the book (a label or a part of one): the completions offer the
  /// labels `tervala list --labels` prints.
  bool accountOperand = false;
  /// The program beside `tervala` that runs it when `run` is not linked into this one; empty
  /// for commands that always run here.
  std::string_view program = {};
  int (*run)(const GlobalOptions& global, const Arguments& arguments, const Io& io) = nullptr;
  /// Without `run`: the common case answered here without `program`'s libraries (a stored token
  /// still good), or absent, having written nothing, to hand the command over.
  std::optional<int> (*quick)(const GlobalOptions& global, const Arguments& arguments,
                              const Io& io) = nullptr;
  /// The only options `quick` is tried with (long names, never a secret). Any other word hands
  /// over at once, before the parser blanks a secret in argv, reads standard input or a file, or
  /// takes a variable out of the environment, all of which the program handed to must still find.
  std::span<const std::string_view> quickOptions = {};
};

}  // namespace tervala::cli
