#include "frame/BashCompletion.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "frame/CommandTable.hpp"

namespace tervala::cli {
namespace {

std::string words(std::span<const Option> options) {
  std::string text = "--help";
  for (const auto& option : options) {
    text += " --" + std::string(option.name);
    if (option.takes == Takes::secret) {
      text += " --" + std::string(option.name) + "-file";
    }
  }
  return text;
}

// "--a|--b": the options of `options` that `wanted` picks and `seen` does not hold yet, as the rest
// of one bash case pattern ('|' first when `seen` held some already).
template <class Wanted>
std::string pattern(std::vector<std::string>& seen, std::span<const Option> options, const Wanted& wanted) {
  std::string text;
  for (const auto& option : options) {
    for (const auto& name : wanted(option)) {
      if (std::find(seen.begin(), seen.end(), name) == seen.end()) {
        seen.push_back(name);
        text += (seen.size() == 1 ? "" : "|") + name;
      }
    }
  }
  return text;
}

// The options whose value is a file name: PATH and FILE values, and every secret's --NAME-file.
std::vector<std::string> fileOptions(const Option& option) {
  if (takesFile(option)) {
    return {"--" + std::string(option.name)};
  }
  if (option.takes == Takes::secret) {
    return {"--" + std::string(option.name) + "-file"};
  }
  return {};
}

}  // namespace

void writeBashCompletion(std::ostream& out) {
  std::vector<std::string> valued;
  const std::string globalValues = pattern(valued, globalOptions(), [](const Option& option) {
    return option.takes == Takes::nothing ? std::vector<std::string>{}
                                          : std::vector<std::string>{"--" + std::string(option.name)};
  });
  std::vector<std::string> files;
  std::string filePattern = pattern(files, globalOptions(), fileOptions);
  for (const auto& command : commands()) {
    filePattern += pattern(files, command.options, fileOptions);
  }
  out << "# bash completion for tervala, written by 'tervala --generate-completion bash'\n"
         "_tervala() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} command='' i\n"
         // Left empty, the reply falls back to bash's own file name completion (-o default).
         "  COMPREPLY=()\n"
         "  case ${COMP_WORDS[COMP_CWORD - 1]} in\n"
         "    "
      << filePattern
      << ") return ;;\n"
         "  esac\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case ${COMP_WORDS[i]} in\n"
         "      "
      << globalValues
      << ") ((i++)) ;;\n"
         "      -*) ;;\n";
  for (const auto group : commandGroups()) {
    out << "      " << group << ") command=" << group << "; [[ $((i + 1)) -lt $COMP_CWORD ]] && command=\""
        << group << " ${COMP_WORDS[i + 1]}\"; break ;;\n";
  }
  out << "      *) command=${COMP_WORDS[i]}; break ;;\n"
         "    esac\n"
         "  done\n"
         "  local choices\n"
         "  case $command in\n"
         "    '') choices='"
      << words(globalOptions()) << " help";
  for (const auto word : firstWords()) {
    out << ' ' << word;
  }
  out << "' ;;\n";
  for (const auto group : commandGroups()) {
    out << "    " << group << ") choices='--help";
    for (const auto& command : commands()) {
      if (command.name.starts_with(std::string(group) + ' ')) {
        out << ' ' << command.name.substr(group.size() + 1);
      }
    }
    out << "' ;;\n";
  }
  out << "    help) choices='";
  for (const auto word : firstWords()) {
    out << word << ' ';
  }
  out << "' ;;\n";
  for (const auto& command : commands()) {
    out << "    '" << command.name << "') choices='" << words(optionsAfter(command)) << "' ;;\n";
  }
  out << "  esac\n";
  // A profile's name: those the settings file (the one given with --settings, if any) remembers.
  out << "  if [[ ${COMP_WORDS[COMP_CWORD - 1]} == --profile ]]; then\n"
         "    local settings=()\n"
         "    for ((i = 1; i < COMP_CWORD - 1; i++)); do\n"
         "      [[ ${COMP_WORDS[i]} == --settings ]] && settings=(--settings \"${COMP_WORDS[i + 1]}\")\n"
         "    done\n"
         "    choices=$(\"${COMP_WORDS[0]}\" \"${settings[@]}\" token profiles 2>/dev/null)\n"
         "  fi\n"
         "  mapfile -t COMPREPLY < <(compgen -W \"$choices\" -- \"$cur\")\n"
         "}\n"
         "complete -o default -F _tervala tervala\n";
}

}  // namespace tervala::cli
