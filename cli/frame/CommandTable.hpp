#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "frame/Command.hpp"

namespace tervala::cli {

/// Every command of the tool, in the order help lists them. A new command is one row here and
/// one run function.
std::span<const Command> commands() noexcept;

/// The options that stand before the command word.
std::span<const Option> globalOptions() noexcept;

/// The global options that may also follow the command word (--debug, --settings).
std::span<const Option> sharedOptions() noexcept;

/// What may follow `command`'s word: its own options, then each shared global option whose name
/// or letter none of its own takes (a command's own option wins over a global one).
std::vector<Option> optionsAfter(const Command& command);

/// The command named `name` ("totp", "token show"), or null.
const Command* findCommand(std::string_view name) noexcept;

/// The words that start several commands ("token"), in table order.
std::vector<std::string_view> commandGroups();

/// The first word of every command, each once, in table order.
std::vector<std::string_view> firstWords();

}  // namespace tervala::cli
