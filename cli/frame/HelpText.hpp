#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "frame/Command.hpp"

namespace tervala::cli {

/// The one-line synopsis of `command`: "tervala totp [-d DIGITS] ... SECRET|-".
std::string synopsis(const Command& command);

/// How an option is written in help: "-d, --digits DIGITS".
std::string optionForm(const Option& option);

/// What an option's help adds about the ways a secret may be given.
std::string secretWays(const Option& option);

/// Words as a sentence lists them: "CODE and SECRET", "a, b and c".
std::string listed(const std::vector<std::string_view>& names);

/// The global options that may also follow the command word: "--debug and --settings".
std::string sharedOptionList();

/// `tervala --help`: the commands, the global options, where to read more.
void writeToolHelp(std::ostream& out);

/// `tervala COMMAND --help`: the synopsis, the summary and every option.
void writeCommandHelp(const Command& command, std::ostream& out);

/// `tervala help help`: the help command's own usage.
void writeHelpCommandHelp(std::ostream& out);

/// `tervala GROUP --help`: the commands that start with `group`.
void writeGroupHelp(std::string_view group, std::ostream& out);

}  // namespace tervala::cli
