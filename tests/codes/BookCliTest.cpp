// The account book's commands, in-process over a settings file of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/InProcessTool.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using Args = std::vector<std::string>;

struct Row {
  std::vector<std::string> args;
  int status;
  std::string out;    // the whole standard output, or a part of it after '~'
  std::string err{};  // a part of standard error
  std::map<std::string, std::string> environment{};
  std::string input{};
};

// --copy hands the code to the clipboard tool on its standard input, never in its arguments: the
// stand-in keeps only what it read without any.
TEST(BookCli, AddListCodeCopyRenameRemoveAndExportFromTheBook) {
  test::TemporaryFolder folder;
  const std::string settings = (folder / "settings.sqlite3").string();
  const std::string tools = (folder / "bin").string();
  std::filesystem::create_directory(tools);
  for (const char* name : {"wl-copy", "wl-paste"}) {
    std::ofstream(tools + "/" + name)
        << "#!/bin/sh\n[ $# -eq 0 ] && cat > \"$(dirname \"$0\")/clip\"; exit 0\n";
    std::filesystem::permissions(tools + "/" + name, std::filesystem::perms::owner_all);
  }
  const std::string github = "otpauth://totp/GitHub:alice?secret=JBSWY3DPEHPK3PXP&issuer=GitHub";
  // Two accounts of an authenticator's export: GitHub:carol (TOTP) and Bank:bob (HOTP, counter 7).
  const std::string migration =
      "otpauth-migration://offline?data=CigKCkhlbGxvId6tvu8SDEdpdEh1YjpjYXJvbBoGR2l0SHViIAEoATACCiQKCkhl"
      "bGxvId6tvu8SCEJhbms6Ym9iGgRCYW5rIAEoATABOAcQARgBKOGF6JwG";
  const Args copy{"code", "alice", "-t", "59", "--copy"};
  const std::vector<Row> rows{
      {{"add", github}, 0, "added 'GitHub:alice' to the settings file\n"},
      {{"add", github}, 1, "", "an account 'GitHub:alice' exists already (--replace replaces it)"},
      {{"add", "-"}, 0, "~added 'Bank:bob'", "", {}, migration + "\n"},
      {{"add", "otpauth://totp/x?secret=JBSWY3DPEHPK3PX1"}, 2, "", "tervala: "},
      {{"list"},
       0,
       "GitHub:alice  (settings file)\nGitHub:carol  (settings file)\nBank:bob  (hotp)  (settings file)\n"},
      {{"code", "-t", "59", "alice"}, 0, "996554\n"},
      {{"code", "--time", "59", "github"},
       0,
       "GitHub:alice  996554  1s left\nGitHub:carol  996554  1s left\n"},
      {{"code", "bank"}, 0, "449891\n"},
      {{"code", "nobody"}, 1, "", "tervala: no account matches 'nobody'\n"},
      {copy, 1, "", "--copy needs wl-copy and wl-paste (Wayland) or xclip (X11)\n", {{"PATH", tools}}},
      {copy, 0, "", "", {{"PATH", tools}, {"WAYLAND_DISPLAY", "wayland-0"}}},
      {{"rename", "GitHub", "GitLab:alice"}, 1, "", "matches 2 accounts ('GitHub:alice', 'GitHub:carol')"},
      {{"rename", "GitHub:alice", "Git\x1bHub:alice"}, 1, "", "not printable"},
      {{"rename", "GitHub:alice", "GitHub:carol"}, 1, "", "an account 'GitHub:carol' exists already"},
      {{"rename", "GitHub:alice", "Gité:alice"}, 0, "renamed 'GitHub:alice' to 'Gité:alice'\n"},
      {{"rm", "carol"}, 2, "", "give --yes where standard input is not a terminal"},
      {{"rm", "carol", "--yes"}, 0, "removed 'GitHub:carol'\n"},
      {{"export", "--book"}, 2, "", "say --include-secrets to write it"},
      {{"export", "--include-secrets", "bank"}, 0, "~otpauth-migration://offline?data="},
      {{"list", "--keyring", "--file-store"}, 2, "", "--keyring and --file-store exclude each other"},
      {{"list"}, 0, "Gité:alice  (settings file)\nBank:bob  (hotp)  (settings file)\n"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args{"--settings", settings};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto run = test::runTool(args, row.input, row.environment);
    SCOPED_TRACE(row.args.front() + " " + (row.args.size() > 1 ? row.args[1] : ""));
    EXPECT_EQ(run.status, row.status) << run.err;
    if (row.out.starts_with('~')) {
      EXPECT_NE(run.out.find(row.out.substr(1)), std::string::npos) << run.out;
    } else {
      EXPECT_EQ(run.out, row.out);
    }
    EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
  }
  std::ifstream clip(tools + "/clip");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(clip), {}), "996554");
}

}  // namespace
}  // namespace tervala
