#include "frame/CompletionScopes.hpp"

#include <span>

#include "frame/CommandTable.hpp"

namespace tervala::cli {
namespace {

ValueKind valueKind(const Option& option) {
  if (option.takes == Takes::nothing || option.takes == Takes::stdinFor) {
    return ValueKind::none;
  }
  if (option.name == "profile") {
    return ValueKind::profile;
  }
  if (option.name == "generate-completion") {
    return ValueKind::shell;
  }
  return option.valueName == "PATH" || option.valueName == "FILE" ? ValueKind::file : ValueKind::text;
}

void addOptions(std::span<const Option> options, std::vector<CompletionWord>& words) {
  words.push_back({"--help", "print the help", ValueKind::none});
  for (const auto& option : options) {
    words.push_back({"--" + std::string(option.name), option.help, valueKind(option)});
    if (option.letter != '\0') {
      words.push_back({std::string{'-', option.letter}, option.help, valueKind(option)});
    }
    if (option.takes == Takes::secret) {
      words.push_back({"--" + std::string(option.name) + "-file", option.help, ValueKind::file});
    }
  }
}

// Adds to the case pattern `pattern` each option of `words` whose value `wanted` picks.
template <class Wanted>
void collectOptions(const std::vector<CompletionWord>& words, std::string& pattern, const Wanted& wanted) {
  for (const auto& word : words) {
    if (wanted(word.value) && word.word.starts_with('-') &&
        ("|" + pattern + "|").find("|" + word.word + "|") == std::string::npos) {
      pattern += (pattern.empty() ? "" : "|") + word.word;
    }
  }
}

}  // namespace

std::vector<CompletionScope> completionScopes() {
  std::vector<CompletionScope> scopes;
  CompletionScope top;
  for (const auto word : firstWords()) {
    const auto* command = findCommand(word);
    top.words.push_back({std::string(word), command != nullptr ? command->summary : "a group of commands"});
  }
  top.words.push_back({"help", "print the help of a command"});
  addOptions(globalOptions(), top.words);
  CompletionScope help{"help", {}};
  for (auto& word : top.words) {
    if (!word.word.starts_with('-') && word.word != "help") {
      help.words.push_back(word);
    }
  }
  scopes.push_back(std::move(top));
  for (const auto group : commandGroups()) {
    CompletionScope scope{std::string(group), {}};
    for (const auto& command : commands()) {
      if (command.name.starts_with(std::string(group) + ' ')) {
        scope.words.push_back({std::string(command.name.substr(group.size() + 1)), command.summary});
      }
    }
    scope.words.push_back({"--help", "print the help"});
    scopes.push_back(std::move(scope));
  }
  scopes.push_back(std::move(help));
  for (const auto& command : commands()) {
    CompletionScope scope{
        std::string(command.name), {}, command.accountOperand ? ValueKind::account : ValueKind::none};
    addOptions(command.options, scope.words);
    scopes.push_back(std::move(scope));
  }
  return scopes;
}

std::string optionPattern(ValueKind kind) {
  std::string pattern;
  for (const auto& scope : completionScopes()) {
    collectOptions(scope.words, pattern, [&](ValueKind value) { return value == kind; });
  }
  return pattern.empty() ? "--" : pattern;
}

std::string valueOptionPattern(const CompletionScope& scope) {
  std::vector<CompletionWord> global;
  addOptions(globalOptions(), global);
  std::string pattern;
  const auto valued = [](ValueKind value) { return value != ValueKind::none; };
  collectOptions(scope.words, pattern, valued);
  collectOptions(global, pattern, valued);
  return pattern;
}

std::vector<std::string_view> completionShells() {
  return {"bash", "zsh", "fish"};
}

}  // namespace tervala::cli
