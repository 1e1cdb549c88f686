#include "frame/FishCompletion.hpp"

#include <ostream>
#include <string>
#include <string_view>

#include "frame/CommandTable.hpp"
#include "frame/CompletionScopes.hpp"

namespace tervala::cli {
namespace {

// Text inside single quotes of fish: only the backslash and the quote itself are special.
std::string quoted(std::string_view text) {
  std::string escaped = "'";
  for (const char c : text) {
    if (c == '\\' || c == '\'') {
      escaped.push_back('\\');
    }
    escaped.push_back(c);
  }
  return escaped + "'";
}

// The fish arguments of `complete` for one word: "-l profile -x -a '(__tervala_list token profiles)'".
std::string completeArguments(const CompletionWord& word) {
  std::string flags;
  if (word.word.starts_with("--")) {
    flags = "-l " + word.word.substr(2);
  } else if (word.word.starts_with('-')) {
    flags = "-s " + word.word.substr(1);
  } else {
    return "-a " + word.word;
  }
  switch (word.value) {
    case ValueKind::none:
    case ValueKind::account:  // an operand's, never an option's
      break;
    case ValueKind::text:
      flags += " -x";
      break;
    case ValueKind::file:
      flags += " -r -F";
      break;
    case ValueKind::profile:
      flags += " -x -a '(__tervala_list token profiles)'";
      break;
    case ValueKind::shell: {
      std::string shells;
      for (const auto shell : completionShells()) {
        shells.append(shells.empty() ? "" : " ").append(shell);
      }
      flags += " -x -a " + quoted(shells);
      break;
    }
  }
  return flags;
}

}  // namespace

void writeFishCompletion(std::ostream& out) {
  out << "# fish completion for tervala, written by 'tervala --generate-completion fish'\n"
         "# The command the words so far name: '', a group ('token'), 'help' or a whole command.\n"
         "function __tervala_command\n"
         "    set -l given (commandline -opc)\n"
         "    set -l skip 0\n"
         "    set -l found\n"
         "    for word in $given[2..-1]\n"
         "        if test $skip = 1\n"
         "            set skip 0\n"
         "            continue\n"
         "        end\n"
         "        switch $word\n"
         "            case --settings --generate-completion\n"
         "                set skip 1\n"
         "            case '-*'\n"
         "            case '*'\n"
         "                set -a found $word\n"
         "                if not contains -- $found[1]";
  for (const auto group : commandGroups()) {
    out << ' ' << group;
  }
  out << "; or test (count $found) = 2\n"
         "                    break\n"
         "                end\n"
         "        end\n"
         "    end\n"
         "    string join ' ' -- $found\n"
         "end\n"
         "function __tervala_is\n"
         "    set -l command (__tervala_command)\n"
         "    test \"$command\" = \"$argv[1]\"\n"
         "end\n"
         "# What the tool lists from the settings file (the one given with --settings, if any): the\n"
         "# profiles' names, the book's labels. Each line is one candidate, never evaluated again.\n"
         "function __tervala_list\n"
         "    set -l given (commandline -opc)\n"
         "    set -l settings\n"
         "    set -l at (contains -i -- --settings $given)\n"
         "    and set settings --settings $given[(math $at + 1)]\n"
         "    command $given[1] $settings $argv 2>/dev/null\n"
         "end\n"
         "complete -c tervala -f\n";
  for (const auto& scope : completionScopes()) {
    for (const auto& word : scope.words) {
      out << "complete -c tervala -n '__tervala_is \"" << scope.command << "\"' " << completeArguments(word)
          << " -d " << quoted(word.help) << '\n';
    }
    if (scope.operand == ValueKind::account) {
      out << "complete -c tervala -n '__tervala_is \"" << scope.command
          << "\"' -a '(__tervala_list list --labels)' -d 'an account of the book'\n";
    }
  }
}

}  // namespace tervala::cli
