// `tervala totp`, `hotp` and what every command shares (tables, help, refusals), run in-process
// through string streams; a process only where one is the point (debug routing, --watch).
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>
#include <vector>

#include "support/InProcessTool.hpp"
#include "support/ToolProcess.hpp"

namespace tervala {
namespace {

using test::runTool;

const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string secret32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
const std::string secret64 =
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA"
    "=";

TEST(OtpCli, CodesOfTheRfcVectorsWithShortAndLongOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  for (const auto& [args, input, out] : std::vector<Case>{
           {{"hotp", "-c", "1", "-n", "3", secret20}, "", "287082\n359152\n969429\n"},
           {{"totp", "-d", "8", "-t", "59", secret20}, "", "94287082\n"},
           {{"totp", "--digits", "8", "--algorithm", "SHA256", "--time", "1111111109", secret32},
            "",
            "68084774\n"},
           {{"totp", "-a", "sha512", "-d", "8", "-t", "20000000000", secret64}, "", "47863826\n"},
           {{"totp", "-p", "12.5", "-t", "25", secret20}, "", "359152\n"},
           {{"totp", "-d", "8", "-t", "59", "-"}, secret20 + "\r\n", "94287082\n"},
       }) {
    const auto run = runTool(args, input);
    EXPECT_EQ(run.status, 0) << args[0] << ' ' << args[1] << run.err;
    EXPECT_EQ(run.out, out) << args[0] << ' ' << args[1];
  }
  EXPECT_TRUE(std::regex_match(runTool({"totp", secret20}).out, std::regex("[0-9]{6}\n")));
  const auto last = runTool({"hotp", "--counter", "18446744073709551614", "--count", "2", secret20});
  EXPECT_TRUE(std::regex_match(last.out, std::regex("[0-9]{6}\n[0-9]{6}\n"))) << last.err;
}

// Every refused input exits 2 with one line on standard error and nothing on standard output.
TEST(OtpCli, RefusedInputExitsTwoWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string says;  // a part of the line
  };
  const std::string max = "18446744073709551615";
  for (const auto& [args, input, says] : std::vector<Case>{
           {{"totp", "NOT-BASE32"}, "", "not valid Base32"},
           {{"totp", "-d", "7", secret20}, "", "6 or 8"},
           {{"totp", "-p", "9.99", secret20}, "", "from 10 to 300 seconds"},
           {{"totp", "-a", "MD5", secret20}, "", "SHA1, SHA256 or SHA512"},
           {{"totp", "-t", "1e300", secret20}, "", "2^64"},
           {{"totp", "-t", "59"}, "", "totp needs SECRET"},
           {{"totp", "-w", "-t", "59", secret20}, "", "cannot be combined"},
           {{"totp", "--digts", "8", secret20}, "", "did you mean '--digits'?"},
           {{"totp", "-d", "6", "-d", "8", secret20}, "", "more than once"},
           {{"totp", ""}, "", "the secret is empty"},
           {{"hotp", "-c", "1", "-"}, secret20 + "\n\n", "not valid Base32"},
           {{"hotp", "-c", "1", "-"}, std::string(70000, 'A'), "64 KiB"},
           {{"hotp", secret20}, "", "hotp needs --counter"},
           {{"hotp", "-c", max, "-n", "2", secret20}, "", "would pass"},
           {{"totpp", secret20}, "", "unknown command 'totpp' (did you mean 'totp'?)"},
           {{"token"},
            "",
            "token needs one of: password, code, refresh, login, client, show, get, device, revoke, inspect, "
            "logout"},
           {{}, "", "a command is needed"},
           {{"--generate-completion", "zsh"}, "", "bash only"},
       }) {
    const auto run = runTool(args, input);
    const std::string shown = args.empty() ? "(none)" : args[0] + ' ' + args.back();
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_TRUE(std::regex_match(run.err, std::regex("tervala: [^\n]+\n"))) << shown << " -> " << run.err;
    EXPECT_NE(run.err.find(says), std::string::npos) << shown << " -> " << run.err;
  }
}

TEST(OtpCli, HelpVersionManPageAndCompletionComeFromTheTables) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  for (const auto& [args, says] : std::vector<Case>{
           {{"--help"}, "  token refresh "},
           {{"help", "totp"},
            "usage: tervala totp [-d DIGITS] [-a ALGORITHM] [-p SECONDS] [-t TIME] [-w] [--steam] [--hex] "
            "SECRET|URI|-"},
           {{"hotp", "--help"}, "  -n, --count COUNT "},
           {{"token", "code", "--code", "-", "-h"},
            "usage: tervala token code [--url URL] [--issuer URL] [--client-id ID] --code CODE"},
           {{"--version"}, "tervala 1."},
           {{"--generate-man"}, ".SS token refresh\n"},
           {{"--generate-completion", "bash"},
            "'token password') choices='--help --url --issuer --client-id"},
       }) {
    const auto run = runTool(args);
    EXPECT_EQ(run.status, 0) << args[0];
    EXPECT_EQ(run.err, "") << args[0];
    EXPECT_NE(run.out.find(says), std::string::npos) << args[0] << " -> " << run.out;
  }
}

TEST(OtpCli, DebugLinesGoToStandardErrorOnlyWithDebug) {
  test::ToolProcess debug({"--debug", "hotp", "-c", "0", secret20});
  const auto run = debug.finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "755224\n");
  EXPECT_EQ(run.err,
            "Tervala.HotpGeneratorContext init(secret:digits:algorithm:counter:)\n"
            "Tervala.OtpGeneratorContext init(secret:digits:algorithm:)\n"
            "Tervala.HotpGeneratorContext create()\n"
            "Tervala.OtpGeneratorContext create\n");
  test::ToolProcess quiet({"hotp", "-c", "0", secret20});
  EXPECT_EQ(quiet.finish().err, "");
}

// Standard output is a pipe here: plain lines, no redrawn bar; Ctrl-C ends it as shells expect.
TEST(OtpCli, WatchWritesPlainLinesToAPipeAndEndsWith130OnInterrupt) {
  test::ToolProcess watch({"totp", "--watch", secret20});
  watch.readUntil([](const auto& shown) { return shown.out.size() >= 7; });
  ::kill(watch.pid(), SIGINT);
  const auto run = watch.finish();
  EXPECT_EQ(run.status, 130);
  EXPECT_TRUE(std::regex_match(run.out, std::regex("([0-9]{6}\n)+"))) << run.out;
}

}  // namespace
}  // namespace tervala
