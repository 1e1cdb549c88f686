#include "frame/BashCompletion.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "frame/CommandTable.hpp"
#include "frame/CompletionScopes.hpp"

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
  out << "  esac\n"
         // What the tool lists comes from the settings file the words name (--settings), if any.
         "  local settings=()\n"
         "  for ((i = 1; i < COMP_CWORD - 1; i++)); do\n"
         "    [[ ${COMP_WORDS[i]} == --settings ]] && settings=(--settings \"${COMP_WORDS[i + 1]}\")\n"
         "  done\n"
         "  if [[ ${COMP_WORDS[COMP_CWORD - 1]} == --profile ]]; then\n"
         "    choices=$(\"${COMP_WORDS[0]}\" \"${settings[@]}\" token profiles 2>/dev/null)\n"
         "  fi\n";
  // An account's label, in a word that is no option nor an option's value.
  out << "  case $command in\n";
  for (const auto& scope : completionScopes()) {
    if (scope.operand == ValueKind::account) {
      out << "    '" << scope.command << "') case ${COMP_WORDS[COMP_CWORD - 1]} in "
          << valueOptionPattern(scope) << ") ;; *) _tervala_labels && return ;; esac ;;\n";
    }
  }
  out << "  esac\n"
         "  mapfile -t COMPREPLY < <(compgen -W \"$choices\" -- \"$cur\")\n"
         "}\n"
         // Labels are user data: never given to compgen -W, which expands its words. Each is quoted
         // with %q, so what bash inserts reads back as the label and runs nothing. Bash splits the
         // line at ':', '@' and '=' too (COMP_WORDBREAKS), which labels hold ("GitHub:alice"): the
         // word is joined again from the pieces that touch before the cursor, and each reply leaves
         // out what bash keeps, the word up to the piece being completed.
         "_tervala_labels() {\n"
         "  [[ $cur == -* ]] && return 1\n"
         "  local word=$cur text=$cur j=$COMP_CWORD line=${COMP_LINE:0:COMP_POINT} label\n"
         "  [[ $cur && $cur != *[!:@=]* ]] && text=''\n"
         "  while ((j > 1)) && [[ $line == *\"${COMP_WORDS[j - 1]}$word\" ]] &&\n"
         "    [[ ${COMP_WORDS[j]} && ${COMP_WORDS[j]} != *[!:@=]* ||\n"
         "      ${COMP_WORDS[j - 1]} && ${COMP_WORDS[j - 1]} != *[!:@=]* ]]; do\n"
         "    ((j--))\n"
         "    word=${COMP_WORDS[j]}$word\n"
         "  done\n"
         "  while IFS= read -r label; do\n"
         "    printf -v label %q \"$label\"\n"
         "    [[ $label == \"$word\"* ]] && COMPREPLY+=(\"${label#\"${word%\"$text\"}\"}\")\n"
         "  done < <(\"${COMP_WORDS[0]}\" \"${settings[@]}\" list --labels 2>/dev/null)\n"
         "  return 0\n"
         "}\n"
         "complete -o default -F _tervala tervala\n";
}

}  // namespace tervala::cli
