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

/// The command named `name` ("totp", "token show"), or null.
const Command* findCommand(std::string_view name) noexcept;

/// The words that start several commands ("token"), in table order.
std::vector<std::string_view> commandGroups();

/// The first word of every command, each once, in table order.
std::vector<std::string_view> firstWords();

}  // namespace tervala::cli
