// The completion scripts of bash, zsh and fish, each loaded by its own shell, non-interactively:
// each completes a command word, an option and the name of a profile that the settings file
// remembers (listed by the real `tervala token profiles`).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
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

std::string shellQuoted(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) {
    text += " \"" + word + '"';
  }
  return text;
}

// Runs `command` through /bin/sh; the first blank-ended word of each output line.
std::vector<std::string> offered(const std::string& command) {
  std::vector<std::string> words;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string line;
  for (int c = 0; pipe && (c = std::fgetc(pipe.get())) != EOF;) {
    if (c == '\n') {
      words.push_back(line.substr(0, line.find_first_of(" \t")));
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

TEST(CompletionCli, EachShellCompletesACommandAnOptionAndAProfile) {
  const test::TemporaryFolder folder;
  // Two profiles, as a grant with --profile --store leaves them, and a token outside any profile.
  const auto config = folder / "config";
  std::filesystem::create_directories(config / "tervala");
  SettingsStore store(config / "tervala" / "settings.sqlite3");
  for (const std::string key : {"profile.work.account", "profile.home.account", "token"}) {
    ASSERT_TRUE(store.setData(key, Data{'{', '}'}));
  }
  const std::string bin = std::filesystem::path(TERVALA_CLI_PATH).parent_path().string();
  const std::string environment = "HOME='" + folder.path().string() + "' XDG_CONFIG_HOME='" +
                                  config.string() + "' XDG_DATA_HOME='" + (folder / "data").string() +
                                  "' PATH='" + bin + "':\"$PATH\" ";

  const std::vector<Shell> shells{
      {"bash", "tervala.bash",
       "bash --norc --noprofile -c 'source @FILE@; COMP_WORDS=(@WORDS@); COMP_CWORD=@LAST@; _tervala; "
       "printf \"%s\\n\" \"${COMPREPLY[@]}\"'"},
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
    for (const auto& [words, expected] :
         std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
             {{"tervala", "tok"}, {"token"}},
             {{"tervala", "token", "show", "--pro"}, {"--profile"}},
             {{"tervala", "token", "logout", "--profile", ""}, {"home", "work"}},
             {{"tervala", "totp", "--d"}, {"--digits"}},
         }) {
      std::string command = shell.snippet;
      std::string line;
      for (const auto& word : words) {
        line += (line.empty() ? "" : " ") + word;
      }
      const auto replace = [&](const std::string& key, const std::string& value) {
        if (const auto at = command.find(key); at != std::string::npos) {
          command.replace(at, key.size(), value);
        }
      };
      replace("@FILE@", (folder / shell.scriptFile).string());
      replace("@DIR@", folder.path().string());
      replace("@WORDS@", shellQuoted(words));
      // bash counts words from 0, zsh from 1.
      replace("@LAST@", std::to_string(shell.name == "zsh" ? words.size() : words.size() - 1));
      replace("@LINE@", line);
      const auto got = offered(environment + command + " 2>&1");
      std::ostringstream shown;
      for (const auto& word : got) {
        shown << word << ' ';
      }
      SCOPED_TRACE(shell.name + ": " + line + " -> " + shown.str());
      for (const auto& word : expected) {
        EXPECT_TRUE(has(got, word));
      }
      EXPECT_FALSE(has(got, "token") && words.back() != "tok");  // only the names, not the key outside them
    }
  }
  if (!missing.empty()) {
    GTEST_SKIP() << "not installed, so not tested:" << missing;
  }
}

}  // namespace
}  // namespace tervala
