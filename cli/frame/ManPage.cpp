#include "frame/ManPage.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/CommandTable.hpp"
#include "frame/HelpText.hpp"

namespace tervala::cli {
namespace {

// Text safe in a roff line: backslashes and hyphens escaped, no line starting with a control dot.
std::string roff(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\e";
    } else if (c == '-') {
      escaped += "\\-";
    } else {
      escaped.push_back(c);
    }
  }
  if (escaped.starts_with('.') || escaped.starts_with('\'')) {
    escaped.insert(0, "\\&");
  }
  return escaped;
}

void writeOptions(std::span<const Option> options, std::ostream& out) {
  for (const auto& option : options) {
    out << ".TP\n.B " << roff(optionForm(option).substr(option.letter != '\0' ? 0 : 4)) << '\n'
        << roff(std::string(option.help) + secretWays(option)) << ".\n";
  }
}

// Whether `command` is one of `group`'s, or outside any group for an empty `group`.
bool inGroup(const Command& command, std::string_view group) {
  if (group.empty()) {
    return command.name.find(' ') == std::string_view::npos;
  }
  return command.name.starts_with(std::string(group) + ' ');
}

void writeCommands(std::string_view group, std::ostream& out) {
  for (const auto& command : commands()) {
    if (inGroup(command, group)) {
      out << ".SS " << roff(std::string(command.name)) << '\n'
          << roff(synopsis(command)) << "\n.PP\n"
          << roff(command.summary) << ".\n";
      writeOptions(command.options, out);
    }
  }
}

// The secret options' environment variables of `group`'s commands, each once.
void writeEnvironment(std::string_view group, std::ostream& out) {
  std::vector<std::string_view> listed;
  for (const auto& command : commands()) {
    for (const auto& option : command.options) {
      if (inGroup(command, group) && !option.environment.empty() &&
          std::find(listed.begin(), listed.end(), option.environment) == listed.end()) {
        if (listed.empty()) {
          out << ".SH ENVIRONMENT\n";
        }
        listed.push_back(option.environment);
        out << ".TP\n.B " << option.environment << '\n' << roff(option.help) << ".\n";
      }
    }
  }
}

void writeSeeAlso(std::string_view group, std::ostream& out) {
  std::vector<std::string> pages;
  if (!group.empty()) {
    pages.emplace_back("tervala");
  }
  for (const auto other : commandGroups()) {
    if (other != group) {
      pages.push_back("tervala\\-" + std::string(other));
    }
  }
  out << ".SH SEE ALSO\n";
  for (std::size_t i = 0; i < pages.size(); ++i) {
    out << ".BR " << pages[i] << " (1)" << (i + 1 < pages.size() ? "," : "") << '\n';
  }
}

}  // namespace

bool writeManPage(std::ostream& out, std::string_view group) {
  const auto groups = commandGroups();
  if (!group.empty() && std::find(groups.begin(), groups.end(), group) == groups.end()) {
    return false;
  }
  std::string upper = "TERVALA";
  std::string name = "tervala";
  for (const char c : group) {
    upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  if (!group.empty()) {
    upper.insert(7, "\\-");
    name += "\\-" + std::string(group);
  }
  out << ".TH " << upper << " 1 \"\" \"tervala " << TERVALA_CLI_VERSION << "\" \"User Commands\"\n"
      << ".SH NAME\n"
      << name << " \\- ";
  if (group.empty()) {
    out << "one-time passwords and OAuth 2.0 tokens\n.SH SYNOPSIS\n"
        << ".B tervala\n[\\-\\-debug] [\\-\\-settings PATH] COMMAND [OPTIONS]\n.SH COMMANDS\n";
  } else {
    out << "the " << group << " commands of tervala\n.SH SYNOPSIS\n"
        << ".B tervala\n[\\-\\-debug] [\\-\\-settings PATH] " << group << " COMMAND [OPTIONS]\n"
        << ".SH COMMANDS\n";
  }
  writeCommands(group, out);
  if (group.empty()) {
    for (const auto other : groups) {
      out << ".SS " << other << " COMMAND\nThe commands of tervala\\-" << other << "(1):\n";
      for (const auto& command : commands()) {
        if (inGroup(command, other)) {
          out << ".TP\n.B " << roff(command.name) << '\n' << roff(command.summary) << ".\n";
        }
      }
    }
    out << ".SH GLOBAL OPTIONS\nThey stand before the command word; " << roff(sharedOptionList())
        << " may also follow it (an option of the command with the same name wins there).\n";
    writeOptions(globalOptions(), out);
  }
  out << ".SH SECRETS\nA secret option is blanked in the process list as soon as it is read, but it is "
         "safer never to put it there: give it as\n.B \\-\nto read it from standard input (one option at "
         "most), "
         "with\n.B \\-\\-NAME\\-file PATH\n(a file only its owner can read), or in its environment "
         "variable.\n";
  writeEnvironment(group, out);
  out << ".SH EXIT STATUS\n.TP\n0\nsuccess\n.TP\n1\nan error result, or no stored token\n.TP\n2\n"
         "bad usage or refused input\n.TP\n3\n\\fBtoken show\\fR: the stored token has expired\n.TP\n130\n"
         "\\fBtotp \\-\\-watch\\fR ended by an interrupt (128 + the signal)\n";
  if (group.empty()) {
    out << ".SH FILES\n.TP\n~/.config/tervala/settings.sqlite3\nThe settings file (under\n.B "
           "$XDG_CONFIG_HOME\nwhen "
           "set): the stored token when no keyring is used, the profiles, and the codes\n.B verify\nhas "
           "accepted; "
           "created when first needed.\n.TP\n"
        << roff(TERVALA_CLI_COMPLETION)
        << "\nThe bash completion. bash\\-completion loads it by itself under /usr and /usr/local; installed "
           "under another prefix, load it from ~/.bashrc:\n.RS\n.B source "
        << roff(TERVALA_CLI_COMPLETION) << "\n.RE\n";
  }
  writeSeeAlso(group, out);
  return true;
}

}  // namespace tervala::cli
