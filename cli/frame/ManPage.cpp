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

}  // namespace

void writeManPage(std::ostream& out) {
  out << ".TH TERVALA 1 \"\" \"tervala " << TERVALA_CLI_VERSION << "\" \"User Commands\"\n"
      << ".SH NAME\ntervala \\- one-time passwords and OAuth 2.0 tokens\n.SH SYNOPSIS\n"
      << ".B tervala\n[\\-\\-debug] [\\-\\-settings PATH] COMMAND [OPTIONS]\n.SH COMMANDS\n";
  for (const auto& command : commands()) {
    out << ".SS " << roff(std::string(command.name)) << '\n'
        << roff(synopsis(command)) << "\n.PP\n"
        << roff(command.summary) << ".\n";
    writeOptions(command.options, out);
  }
  out << ".SH GLOBAL OPTIONS\nThey stand before the command word; " << roff(sharedOptionList())
      << " may also follow it (an option of the command with the same name wins there).\n";
  writeOptions(globalOptions(), out);
  out << ".SH SECRETS\nA secret option is blanked in the process list as soon as it is read, but it is "
         "safer never to put it there: give it as\n.B \\-\nto read it from standard input (one option at "
         "most), "
         "with\n.B \\-\\-NAME\\-file PATH\n(a file only its owner can read), or in its environment "
         "variable.\n"
         ".SH ENVIRONMENT\n";
  std::vector<std::string_view> listed;
  for (const auto& command : commands()) {
    for (const auto& option : command.options) {
      if (!option.environment.empty() &&
          std::find(listed.begin(), listed.end(), option.environment) == listed.end()) {
        listed.push_back(option.environment);
        out << ".TP\n.B " << option.environment << '\n' << roff(option.help) << ".\n";
      }
    }
  }
  out << ".SH FILES\n.TP\n~/.config/tervala/settings.sqlite3\nThe settings file (under\n.B "
         "$XDG_CONFIG_HOME\nwhen "
         "set): the stored token when no keyring is used, the profiles, and the codes\n.B verify\nhas "
         "accepted; "
         "created when first needed.\n.TP\n"
      << roff(TERVALA_CLI_COMPLETION)
      << "\nThe bash completion. bash\\-completion loads it by itself under /usr and /usr/local; installed "
         "under another prefix, load it from ~/.bashrc:\n.RS\n.B source "
      << roff(TERVALA_CLI_COMPLETION) << "\n.RE\n";
  out << ".SH EXIT STATUS\n.TP\n0\nsuccess\n.TP\n1\nan error result, or no stored token\n.TP\n2\n"
         "bad usage or refused input\n.TP\n3\n\\fBtoken show\\fR: the stored token has expired\n.TP\n130\n"
         "\\fBtotp \\-\\-watch\\fR ended by an interrupt (128 + the signal)\n";
}

}  // namespace tervala::cli
