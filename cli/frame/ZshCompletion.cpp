#include "frame/ZshCompletion.hpp"

#include <ostream>
#include <string>

#include "frame/CommandTable.hpp"
#include "frame/CompletionScopes.hpp"

namespace tervala::cli {
void writeZshCompletion(std::ostream& out) {
  out << "#compdef tervala\n"
         "# zsh completion for tervala, written by 'tervala --generate-completion zsh'\n"
         "_tervala() {\n"
         "  local command='' i\n"
         "  local -a settings choices\n"
         "  for ((i = 2; i < CURRENT; i++)); do\n"
         "    case ${words[i]} in\n"
         "      --settings) settings=(--settings \"${words[i + 1]}\"); ((i++)) ;;\n"
         "      --generate-completion) ((i++)) ;;\n"
         "      -*) ;;\n";
  for (const auto group : commandGroups()) {
    out << "      " << group << ") command=" << group << "; ((i + 1 < CURRENT)) && command=\"" << group
        << " ${words[i + 1]}\"; break ;;\n";
  }
  out << "      *) command=${words[i]}; break ;;\n"
         "    esac\n"
         "  done\n";
  // An account's label, in a word that is no option nor an option's value: compadd takes each
  // line as one word, quoted as zsh quotes any word it inserts.
  out << "  [[ ${words[CURRENT]} == -* ]] || case $command in\n";
  for (const auto& scope : completionScopes()) {
    if (scope.operand == ValueKind::account) {
      out << "    '" << scope.command << "') case ${words[CURRENT - 1]} in " << valueOptionPattern(scope)
          << ") ;; *) compadd -- ${(f)\"$(\"${words[1]}\" \"${settings[@]}\" list --labels 2>/dev/null)\"}; "
             "return "
             ";; esac ;;\n";
    }
  }
  out << "  esac\n"
         "  case ${words[CURRENT - 1]} in\n"
         "    "
      << optionPattern(ValueKind::profile)
      << ") compadd -- ${(f)\"$(\"${words[1]}\" \"${settings[@]}\" token profiles 2>/dev/null)\"}; return "
         ";;\n"
         "    "
      << optionPattern(ValueKind::file) << ") _files; return ;;\n    " << optionPattern(ValueKind::shell)
      << ") compadd --";
  for (const auto shell : completionShells()) {
    out << ' ' << shell;
  }
  out << "; return ;;\n    " << optionPattern(ValueKind::text)
      << ") return 1 ;;\n"
         "  esac\n"
         "  case $command in\n";
  for (const auto& scope : completionScopes()) {
    out << "    '" << scope.command << "') choices=(";
    for (const auto& word : scope.words) {
      out << ' ' << word.word;
    }
    out << " ) ;;\n";
  }
  out << "  esac\n"
         "  compadd -- \"${choices[@]}\"\n"
         "}\n"
         "# Loaded from $fpath the file is the function's body; sourced, it registers itself.\n"
         "if [[ ${zsh_eval_context[-1]} == loadautofunc ]]; then\n"
         "  _tervala \"$@\"\n"
         "else\n"
         "  compdef _tervala tervala\n"
         "fi\n";
}

}  // namespace tervala::cli
