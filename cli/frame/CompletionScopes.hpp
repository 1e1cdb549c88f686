#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tervala::cli {

/// What a shell offers for the word after an option.
enum class ValueKind {
  none,     ///< a switch: the next word is a word of its own
  text,     ///< a value nothing can guess (a URL, a number)
  file,     ///< a file name
  profile,  ///< the name of a profile, as `tervala token profiles` lists them
  account,  ///< the label of an account of the book, as `tervala list --labels` lists them
  shell     ///< a shell `--generate-completion` writes for
};

/// One word a shell may complete: a command word, or an option with what follows it.
struct CompletionWord {
  std::string word;  ///< "show", "--profile", "-d"
  std::string_view help;
  ValueKind value = ValueKind::none;
};

/// Where a shell completes: before any command (`command` empty), after a group word ("token"),
/// after `help`, or after a whole command ("token show"). Every shell's script is written from
/// these, so the shells offer the same words.
struct CompletionScope {
  std::string command;
  std::vector<CompletionWord> words;    ///< the command words first, then "--help" and the options
  ValueKind operand = ValueKind::none;  ///< what a word that is no option may be: none or account
};

/// Every scope, the top one first, then the groups, `help` and each command in table order.
std::vector<CompletionScope> completionScopes();

/// The options after which the next word is a value of `kind`, as one case pattern of bash and zsh
/// ("--url|-d"); "--" for none.
std::string optionPattern(ValueKind kind);

/// The options after which the next word of `scope`'s command is a value, of any kind: its own and
/// the global ones (which may follow the command word), as one case pattern of bash and zsh
/// ("--time|-t|--settings|...").
std::string valueOptionPattern(const CompletionScope& scope);

/// The shells `--generate-completion` writes for.
std::vector<std::string_view> completionShells();

}  // namespace tervala::cli
