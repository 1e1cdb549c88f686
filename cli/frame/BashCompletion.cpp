#include "frame/BashCompletion.hpp"

#include <ostream>
#include <string>

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

}  // namespace

void writeBashCompletion(std::ostream& out) {
  out << "# bash completion for tervala, written by 'tervala --generate-completion bash'\n"
         "_tervala() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} command='' i\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case ${COMP_WORDS[i]} in\n"
         "      --settings|--generate-completion) ((i++)) ;;\n"
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
    out << "    '" << command.name << "') choices='" << words(command.options) << "' ;;\n";
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
