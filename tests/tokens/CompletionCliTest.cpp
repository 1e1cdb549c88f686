// The completion scripts of bash, zsh and fish, each loaded by its own shell, non-interactively:
// each completes a command word, an option (the shared ones after a command too), the name of a
// profile that the settings file remembers (listed by the real `tervala token profiles`), the
// label of an account of the book (listed by the real `tervala list --labels`), and leaves a file
// option's value to the shell's file names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <tervala/SettingsStore.hpp>

#include "support/InProcessTool.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

// What one shell prints as the completions of a command line: `words` already split, the last
// one being completed (empty after a blank). Each snippet gets its @NAME@ places filled in.
struct Shell {
  std::string name;
  std::string scriptFile;  // where the shell would find it: its name matters to zsh
  std::string snippet;
};

// Runs `command` through /bin/sh; each output line up to a tab (fish's description).
std::vector<std::string> offered(const std::string& command) {
  std::vector<std::string> words;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string line;
  for (int c = 0; pipe && (c = std::fgetc(pipe.get())) != EOF;) {
    if (c == '\n') {
      words.push_back(line.substr(0, line.find('\t')));
      line.clear();
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  return words;
}

bool has(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

TEST(CompletionCli, EachShellCompletesACommandAnOptionAProfileAndAnAccount) {
  const test::TemporaryFolder folder;
  // Two profiles, as a grant with --profile --store leaves them, and a token outside any profile.
  const auto config = folder / "config";
  std::filesystem::create_directories(config / "tervala");
  SettingsStore store(config / "tervala" / "settings.sqlite3");
  for (const std::string key : {"profile.work.account", "profile.home.account", "token"}) {
    ASSERT_TRUE(store.setData(key, Data{'{', '}'}));
  }
  // A book's index (no secret needed to list it): an account in the file, one in the keyring, a
  // label made to harm a shell, and one with a line break, which `add` refuses but a changed file
  // may hold.
  const std::string hostile = "-Evil $(touch pwned)`touch pwned`'\"*:x";
  const std::string index = "tervala otp book 1\n1\tf\tt\tGitHub\talice\n2\tk\tt\tMy Bank\tbob\n3\tf\tt\t" +
                            hostile.substr(0, hostile.find(':')) + "\tx\n4\tf\tt\tBroken%0Aline\tx\n";
  ASSERT_TRUE(store.setData("otp-book", Data(index.begin(), index.end())));
  const std::string bin = std::filesystem::path(TERVALA_CLI_PATH).parent_path().string();
  // Run in an empty folder: a file name's completion offers nothing there.
  std::filesystem::create_directories(folder / "empty");
  const std::string environment =
      "cd '" + (folder / "empty").string() + "' && HOME='" + folder.path().string() + "' XDG_CONFIG_HOME='" +
      config.string() + "' XDG_DATA_HOME='" + (folder / "data").string() + "' PATH='" + bin + "':\"$PATH\" ";

  const std::vector<Shell> shells{
      // bash: each reply as the shell reads it back once inserted.
      {"bash", "tervala.bash",
       "bash --norc --noprofile -c 'source @FILE@; COMP_WORDS=(@WORDS@); COMP_CWORD=@LAST@; "
       "COMP_LINE=\"@LINE@\"; COMP_POINT=${#COMP_LINE}; _tervala; "
       "for r in \"${COMPREPLY[@]}\"; do eval \"w=($r)\"; printf \"%s\\n\" \"${w[@]}\"; done'"},
      // zsh: the file is autoloaded from $fpath as compinit would; compadd, a builtin of completion
      // widgets only, is stood in for by a function that prints what matches the current word.
      {"zsh", "_tervala",
       "zsh -f -c 'fpath=(@DIR@ $fpath); autoload -Uz _tervala; _files() { :; }; "
       "compadd() { local w; for w in ${argv[${argv[(i)--]}+1,-1]}; do [[ $w == ${words[CURRENT]}* ]] && "
       "print -r -- "
       "$w; done; }; words=(@WORDS@); CURRENT=@LAST@; _tervala'"},
      {"fish", "tervala.fish", "fish --no-config -c 'source @FILE@; complete -C \"@LINE@\"'"},
  };
  std::string missing;
  for (const auto& shell : shells) {
    if (std::system(("command -v " + shell.name + " >/dev/null").c_str()) != 0) {
      missing += ' ' + shell.name;
      continue;
    }
    const auto run = test::runTool({"--generate-completion", shell.name});
    ASSERT_EQ(run.status, 0) << run.err;
    std::ofstream(folder / shell.scriptFile) << run.out;
    struct Row {
      std::string line;
      std::vector<std::string> expected;  // none: nothing offered
      std::string only{};                 // the shells that offer it so, or every shell
    };
    for (const auto& [line, expected, only] : std::vector<Row>{
             {"tervala tok", {"token"}},
             {"tervala token show --pro", {"--profile"}},
             {"tervala token logout --profile ", {"home", "work"}},
             {"tervala totp --d", {"--digits"}},
             {"tervala token password --password-f", {"--password-file"}},
             {"tervala --de", {"--debug"}},
             {"tervala totp --de", {"--debug"}, "bash"},  // a shared option after the command
             {"tervala --settings ", {}},                 // a file's name: left to the shell's file names
             {"tervala token code --cacert ", {}},
             {"tervala rm ", {"GitHub:alice", "My Bank:bob", hostile}},
             {"tervala rename My", {"My Bank:bob"}},
             {"tervala code GitHub:al", {"GitHub:alice"}, "zsh fish"},
             {"tervala code GitHub:al", {"alice"}, "bash"},  // bash keeps "GitHub:", a word of its own
         }) {
      if (!only.empty() && only.find(shell.name) == std::string::npos) {
        continue;
      }
      std::vector<std::string> words;  // the last is empty after a blank
      for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + 1) {
        end = line.find(' ', at);
        auto word = line.substr(at, end - at);
        // bash splits at ':' too (COMP_WORDBREAKS), the colon a word of its own.
        for (std::size_t colon = 0; shell.name == "bash" && (colon = word.find(':')) != std::string::npos;
             word.erase(0, colon + 1)) {
          words.insert(words.end(), {word.substr(0, colon), ":"});
        }
        words.push_back(word);
      }
      std::string quoted;
      for (const auto& word : words) {
        quoted += " \"" + word + '"';
      }
      std::string command = shell.snippet;
      for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
               {"@FILE@", (folder / shell.scriptFile).string()},
               {"@DIR@", folder.path().string()},
               {"@WORDS@", quoted},
               // bash counts words from 0, zsh from 1.
               {"@LAST@", std::to_string(shell.name == "zsh" ? words.size() : words.size() - 1)},
               {"@LINE@", line}}) {
        if (const auto at = command.find(key); at != std::string::npos) {
          command.replace(at, key.size(), value);
        }
      }
      const auto got = offered(environment + command + " 2>&1");
      std::string shown;
      for (const auto& word : got) {
        shown += word + ' ';
      }
      SCOPED_TRACE(shell.name + ": " + line + " -> " + shown);
      for (const auto& word : expected) {
        EXPECT_TRUE(has(got, word));
      }
      EXPECT_TRUE(!expected.empty() ||
                  std::all_of(got.begin(), got.end(), [](const auto& w) { return w.empty(); }));
      EXPECT_FALSE(has(got, "token") && words.back() != "tok");  // only the names, not the key outside them
      EXPECT_FALSE(std::any_of(got.begin(), got.end(), [](const auto& w) { return w.find("Broken") == 0; }));
      EXPECT_FALSE(std::filesystem::exists(folder / "empty" / "pwned"));
    }
  }
  if (!missing.empty()) {
    GTEST_SKIP() << "not installed, so not tested:" << missing;
  }
}

}  // namespace
}  // namespace tervala
