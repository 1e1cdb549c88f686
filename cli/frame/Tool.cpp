#include "frame/Tool.hpp"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <tervala/Debug.hpp>

#include "frame/ArgumentParser.hpp"
#include "frame/BashCompletion.hpp"
#include "frame/CommandTable.hpp"
#include "frame/FishCompletion.hpp"
#include "frame/HelpText.hpp"
#include "frame/ManPage.hpp"
#include "frame/Suggestion.hpp"
#include "frame/VisibleText.hpp"
#include "frame/ZshCompletion.hpp"

namespace tervala::cli {
namespace {

// A command found from the words after the global options, with the words it leaves.
struct Found {
  const Command* command = nullptr;
  std::string_view group;  // set instead when only a group word was given, as in `token --help`
  std::size_t used = 0;
};

bool isGroup(std::string_view word) {
  for (const auto group : commandGroups()) {
    if (group == word) {
      return true;
    }
  }
  return false;
}

std::variant<Found, UsageError> lookUp(std::span<char* const> words) {
  const std::string_view first(words[0]);
  if (const auto* command = findCommand(first)) {
    return Found{command, {}, 1};
  }
  if (!isGroup(first)) {
    auto known = firstWords();
    known.emplace_back("help");
    return UsageError{"unknown command '" + visibleWord(first) + "'" + didYouMean(first, known)};
  }
  std::vector<std::string> names;
  std::string list;
  for (const auto& command : commands()) {
    if (command.name.starts_with(std::string(first) + ' ')) {
      names.emplace_back(command.name);
      list += (list.empty() ? "" : ", ") + std::string(command.name.substr(first.size() + 1));
    }
  }
  if (words.size() < 2 || std::string_view(words[1]).starts_with('-')) {
    const bool help =
        words.size() >= 2 && (std::string_view(words[1]) == "--help" || std::string_view(words[1]) == "-h");
    if (help) {
      return Found{nullptr, first, 2};
    }
    return UsageError{std::string(first) + " needs one of: " + list};
  }
  const std::string name = std::string(first) + ' ' + words[1];
  if (const auto* command = findCommand(name)) {
    return Found{command, {}, 2};
  }
  const std::vector<std::string_view> known(names.begin(), names.end());
  return UsageError{"unknown command '" + visibleWord(name) + "'" + didYouMean(name, known)};
}

// `tervala help [COMMAND...]`.
int help(std::span<char* const> words, const Io& io) {
  if (words.empty()) {
    writeToolHelp(io.out);
    return success;
  }
  const std::string_view first(words[0]);
  if (words.size() == 1 && (first == "help" || first == "--help" || first == "-h")) {
    writeHelpCommandHelp(io.out);
    return success;
  }
  if (words.size() == 1 && isGroup(words[0])) {
    writeGroupHelp(words[0], io.out);
    return success;
  }
  auto found = lookUp(words);
  if (auto* error = std::get_if<UsageError>(&found)) {
    return refuse(io, *error);
  }
  const auto& [command, group, used] = std::get<Found>(found);
  if (command == nullptr || used < words.size()) {
    return refuse(io, UsageError{"help takes one command"});
  }
  writeCommandHelp(*command, io.out);
  return success;
}

// Hands the whole command line to `program` beside this executable; returns only on failure.
int handOver(std::string_view program, std::span<char* const> args, const Io& io) {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::string path = (self.parent_path() / program).string();
  // Beside this program in a build tree; installed, in the helper folder (libexec/tervala), off
  // the PATH.
  if (::access(path.c_str(), X_OK) != 0) {
    path = (self.parent_path() / TERVALA_CLI_HELPER_DIR / program).lexically_normal().string();
  }
  // The program keeps this one's name as its argv[0]: the settings folder is named after it, so
  // the token commands find what `tervala` stored before and what its other commands store.
  std::vector<char*> argv{program_invocation_name};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(nullptr);
  io.out.flush();
  io.err.flush();
  ::execv(path.c_str(), argv.data());
  io.err << "tervala: cannot run '" << visible(path) << "': " << std::generic_category().message(errno)
         << '\n';
  return failure;
}

// --generate-man [GROUP] and --generate-completion SHELL.
int generate(const Arguments& global, std::span<char* const> words, const Io& io) {
  if (words.size() > (global.has("generate-man") ? 1U : 0U)) {
    return refuse(io,
                  UsageError{"unexpected '" + visibleWord(words.back()) + "' after the --generate option"});
  }
  if (global.has("generate-man")) {
    if (!writeManPage(io.out, words.empty() ? std::string_view() : std::string_view(words[0]))) {
      return refuse(
          io, UsageError{"no manual page for '" + visibleWord(words[0]) + "': name a group of commands"});
    }
  } else if (global.value("generate-completion") == "bash") {
    writeBashCompletion(io.out);
  } else if (global.value("generate-completion") == "zsh") {
    writeZshCompletion(io.out);
  } else if (global.value("generate-completion") == "fish") {
    writeFishCompletion(io.out);
  } else {
    return refuse(io, UsageError{"completion scripts are written for bash, zsh and fish"});
  }
  return io.out.flush() ? success : failure;
}

// An option that only stands before the command word, given after it, is refused with where it
// goes instead of as unknown.
UsageError placed(UsageError error) {
  for (const auto& option : globalOptions()) {
    const std::string flag = "--" + std::string(option.name);
    if (error.message.starts_with("unknown option '" + flag + "'")) {
      std::string message = flag;
      message.append(" goes before the command: tervala ").append(flag);
      return UsageError{message};
    }
  }
  return error;
}

// A command of another program answered here when its row allows it and the words ask for
// nothing more (Command::quick); absent, having read and written nothing, to hand it over.
std::optional<int> answerHere(const Command& command, const Arguments& global, std::span<char* const> words,
                              const Io& io) {
  if (command.quick == nullptr || global.has("debug")) {
    return std::nullopt;
  }
  // Only long options of the row's list, none a secret: nothing is blanked, read or taken.
  for (std::size_t at = 0; at < words.size(); ++at) {
    const std::string_view word(words[at]);
    if (!word.starts_with("--")) {
      return std::nullopt;
    }
    const auto equals = word.find('=');
    const auto name = word.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
    const auto option = std::find_if(command.options.begin(), command.options.end(),
                                     [&](const Option& candidate) { return candidate.name == name; });
    if (option == command.options.end() || option->takes == Takes::secret ||
        option->takes == Takes::stdinFor ||
        std::find(command.quickOptions.begin(), command.quickOptions.end(), name) ==
            command.quickOptions.end()) {
      return std::nullopt;
    }
    if (option->takes != Takes::nothing && equals == std::string_view::npos) {
      ++at;  // its value
    }
  }
  // The environment's secrets stay for the program handed to.
  Io looking = io;
  looking.forget = [](const char*) {};
  auto parsed = ArgumentParser(command).parse(words, looking);
  if (!std::holds_alternative<Arguments>(parsed)) {
    return std::nullopt;
  }
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // as for every command: a token is read
  GlobalOptions options;
  if (const auto settings = global.value("settings")) {
    options.settingsPath = std::string(*settings);
  }
  return command.quick(options, std::get<Arguments>(parsed), looking);
}

}  // namespace

int refuse(const Io& io, const UsageError& error) {
  io.err << "tervala: " << shownMessage(error.message) << '\n' << std::flush;
  return usage;
}

int runTool(std::span<char* const> args, const Io& io) {
  auto leading = ArgumentParser(globalOptions()).parseLeading(args);
  if (auto* error = std::get_if<UsageError>(&leading)) {
    return refuse(io, *error);
  }
  const auto& [global, used] = std::get<std::pair<Arguments, std::size_t>>(leading);
  if (global.helpWanted()) {
    writeToolHelp(io.out);
    return success;
  }
  if (global.has("version")) {
    io.out << "tervala " << TERVALA_CLI_VERSION << '\n';
    return success;
  }
  const auto words = args.subspan(used);
  if (global.has("generate-man") || global.value("generate-completion")) {
    return generate(global, words, io);
  }
  if (words.empty()) {
    return refuse(io, UsageError{"a command is needed; 'tervala help' lists them"});
  }
  if (std::string_view(words[0]) == "help") {
    return help(words.subspan(1), io);
  }
  auto found = lookUp(words);
  if (auto* error = std::get_if<UsageError>(&found)) {
    return refuse(io, *error);
  }
  const auto& [command, group, taken] = std::get<Found>(found);
  if (command == nullptr) {
    writeGroupHelp(group, io.out);
    return success;
  }

  if (command->run == nullptr) {
    if (const auto answered = answerHere(*command, global, words.subspan(taken), io)) {
      return *answered;
    }
    return handOver(command->program, args, io);
  }
  // Every command holds a secret, a token or a code: none may leave them in a core file, nor let
  // a debugger of the same user in without privileges. Before any secret is read; one system
  // call, so `totp` starts as fast.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const auto after = optionsAfter(*command);
  Command withShared = *command;
  withShared.options = after;
  auto parsed = ArgumentParser(withShared).parse(words.subspan(taken), io);
  if (auto* error = std::get_if<UsageError>(&parsed)) {
    return refuse(io, placed(*error));
  }
  const auto& arguments = std::get<Arguments>(parsed);
  if (arguments.helpWanted()) {
    writeCommandHelp(*command, io.out);
    return success;
  }

  // A shared option after the command word counts as one before it, where the command has no
  // option of that name itself.
  const auto& ownOptions = command->options;  // a lambda may not name a structured binding
  const auto shared = [&](std::string_view name) {
    return std::none_of(ownOptions.begin(), ownOptions.end(),
                        [&](const Option& own) { return own.name == name; });
  };
  GlobalOptions options;
  options.debug = global.has("debug") || (shared("debug") && arguments.has("debug"));
  auto settings = global.value("settings");
  if (const auto later = shared("settings") ? arguments.value("settings") : std::nullopt) {
    if (settings) {
      return refuse(io, UsageError{"--settings is given more than once"});
    }
    settings = later;
  }
  if (settings) {
    options.settingsPath = std::string(*settings);
  }
  // The library's lines are for people debugging: silent by default, on standard error with
  // --debug so they never mix with a command's output.
  if (options.debug) {
    std::ostream& err = io.err;
    setDebugSink([&err](std::string_view line) { err << line << '\n' << std::flush; });
  } else {
    setDebugSink(nullptr);
  }
  const int status = command->run(options, arguments, io);
  setDebugSink(nullptr);  // the sink refers to `io`, which the caller may end
  return status;
}

}  // namespace tervala::cli
