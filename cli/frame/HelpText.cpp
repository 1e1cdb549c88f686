#include "frame/HelpText.hpp"

#include <iomanip>
#include <ostream>
#include <vector>

#include "frame/CommandTable.hpp"

namespace tervala::cli {
namespace {

constexpr int helpColumn = 30;
constexpr std::string_view helpUsage = "help [COMMAND]";
constexpr std::string_view helpSummary = "show the help of the tool or of COMMAND";

void writeOptionLines(std::span<const Option> options, std::ostream& out) {
  for (const auto& option : options) {
    const std::string form = optionForm(option);
    out << "  " << std::left << std::setw(helpColumn - 2) << form;
    if (form.size() >= helpColumn - 2) {
      out << '\n' << std::string(helpColumn, ' ');
    }
    out << option.help << secretWays(option) << '\n';
  }
  out << "  " << std::left << std::setw(helpColumn - 2) << "-h, --help"
      << "show this help\n";
}

void writeCommandList(std::string_view group, std::ostream& out) {
  for (const auto& command : commands()) {
    if (group.empty() || command.name.starts_with(std::string(group) + ' ')) {
      out << "  " << std::left << std::setw(helpColumn - 2) << command.name << command.summary << '\n';
    }
  }
}

}  // namespace

std::string optionForm(const Option& option) {
  std::string form = option.letter != '\0' ? std::string{'-', option.letter, ',', ' '} : std::string("    ");
  form += "--";
  form += option.name;
  if (option.takes != Takes::nothing && option.takes != Takes::stdinFor) {
    form += ' ';
    form += option.valueName;
  }
  return form;
}

std::string secretWays(const Option& option) {
  if (option.takes != Takes::secret) {
    return {};
  }
  return "; - reads it from standard input, --" + std::string(option.name) + "-file PATH from a file" +
         (option.environment.empty() ? std::string() : ", else $" + std::string(option.environment));
}

std::string listed(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    list += i == 0 ? "" : (i + 1 == names.size() ? " and " : ", ");
    list += names[i];
  }
  return list;
}

std::string sharedOptionList() {
  std::vector<std::string> flags;
  for (const auto& option : sharedOptions()) {
    flags.push_back("--" + std::string(option.name));
  }
  return listed({flags.begin(), flags.end()});
}

std::string synopsis(const Command& command) {
  std::string text = "tervala " + std::string(command.name);
  for (const auto& option : command.options) {
    if (option.takes == Takes::stdinFor) {
      continue;  // an alias of the secret option it names
    }
    std::string form =
        option.letter != '\0' ? std::string{'-', option.letter} : "--" + std::string(option.name);
    if (option.takes != Takes::nothing) {
      form += ' ';
      form += option.valueName;
    }
    text += option.required ? " " + form : " [" + form + "]";
    if (option.takes == Takes::values) {
      text += "...";
    }
  }
  if (!command.operand.empty()) {
    text += ' ';
    text += command.operand;
  }
  return text;
}

void writeToolHelp(std::ostream& out) {
  out << "usage: tervala [GLOBAL OPTIONS] COMMAND [OPTIONS]\n\ncommands:\n";
  writeCommandList({}, out);
  out << "  " << std::left << std::setw(helpColumn - 2) << helpUsage << helpSummary
      << "\n\nglobal options:\n";
  writeOptionLines(globalOptions(), out);
  out << "\n";
  out << sharedOptionList()
      << " may also follow the command.\n'tervala COMMAND --help' lists the options of COMMAND; '--' ends "
         "the "
         "options.\nBash completion: add 'source " TERVALA_CLI_COMPLETION
         "' to ~/.bashrc where bash-completion "
         "does not load it itself.\n";
}

void writeHelpCommandHelp(std::ostream& out) {
  out << "usage: tervala " << helpUsage << "\n\n" << helpSummary << "\n";
}

void writeCommandHelp(const Command& command, std::ostream& out) {
  out << "usage: " << synopsis(command) << "\n\n" << command.summary << "\n\noptions:\n";
  writeOptionLines(command.options, out);
}

void writeGroupHelp(std::string_view group, std::ostream& out) {
  out << "usage: tervala " << group << " COMMAND [OPTIONS]\n\ncommands:\n";
  writeCommandList(group, out);
}

}  // namespace tervala::cli
