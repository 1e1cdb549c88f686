// The tool's one-time-password commands (totp, hotp, uri, verify, import, export) and what every
// command shares (usage refusals, help), in-process; a process only for debug lines and --watch.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/prctl.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "frame/CommandTable.hpp"
#include "support/InProcessTool.hpp"
#include "support/TokenTestSupport.hpp"
#include "support/ToolProcess.hpp"

namespace tervala {
namespace {

using test::runTool;
using Args = std::vector<std::string>;

class OtpCli : public ::testing::Test {
 protected:
  const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";  // RFC 4226's "12345678901234567890"
  const std::string hex20 = "3132333435363738393031323334353637383930";
  const std::string totpUri = "otpauth://totp/Example:alice?secret=" + secret20 + "&issuer=Example";
  const std::string hotpUri = "otpauth://hotp/Example:bob?secret=" + secret20 + "&issuer=Example&counter=1";
};

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Case {
  Args args;
  std::string out;  // all of standard output, or a part of the line on standard error
  std::string input{};
};

std::string shown(const Args& args) {
  return args.empty() ? "(none)" : args[0] + ' ' + args.back();
}

// Every form of key and option reaches the generator: RFC 4226/6238 codes at time 59 (step 1).
TEST_F(OtpCli, EveryFormOfAKeyAndOptionGivesTheCodeAndKeyUri) {
  const std::string secret32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
  for (const auto& [args, out, input] : std::vector<Case>{
           {{"hotp", "-c", "1", "-n", "3", secret20}, "287082\n359152\n969429\n"},
           {{"totp", "--digits", "8", "--algorithm", "SHA256", "--time", "1111111109", secret32},
            "68084774\n"},
           {{"totp", "-p", "12.5", "-t", "25", secret20}, "359152\n"},
           {{"totp", "-d", "8", "-t", "59", "-"}, "94287082\n", secret20 + "\r\n"},
           {{"totp", "-t", "59", "-"}, "287082\n", totpUri + "\n"},
           {{"totp", "-d", "6", "-p", "60", "-t", "59",
             "otpauth://totp/a?secret=" + secret20 + "&digits=8&period=20"},
            "755224\n"},
           {{"totp", "-d", "8", "-t", "59", "GEZD GNBV GY3T QOJQ gezd gnbv gy3t qojq"}, "94287082\n"},
           {{"totp", "-d", "8", "-t", "59", "--hex", "3132 3334 3536 3738 3930 3132 3334 3536 3738 3930"},
            "94287082\n"},
           {{"totp", "-d", "8", "-t", "1970-01-01T01:00:59.5+01:00", secret20}, "94287082\n"},
           {{"totp", "-t", "59", "otpauth://totp/Steam:alice?secret=" + secret20}, "PV9M4\n"},
           {{"uri", "totp", "--issuer", "Example Co", "--account", "alice", "jbsw y3dp ehpk 3pxp"},
            "otpauth://totp/Example%20Co:alice?secret=JBSWY3DPEHPK3PXP&issuer=Example%20Co\n"},
           {{"uri", "totp", "--account", "a", "-d", "8", "-a", "sha256", "-p", "60", "--hex", hex20},
            "otpauth://totp/a?secret=" + secret20 + "&algorithm=SHA256&digits=8&period=60\n"},
           {{"uri", "hotp", "--issuer", "Other", "--counter", "7", hotpUri},
            "otpauth://hotp/Other:bob?secret=" + secret20 + "&issuer=Other&counter=7\n"},
       }) {
    const auto run = runTool(args, input);
    SCOPED_TRACE(shown(args) + " -> " + run.err);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, out);
  }
}

// Every refused use of every command exits 2 with one line on standard error, nothing on standard
// output, and never repeats a secret or a URI holding one.
TEST_F(OtpCli, RefusedUsageOfEveryCommandExitsTwoWithOneLine) {
  const test::TemporaryFolder folder;
  const auto empty = (folder / "empty").string();
  std::ofstream(empty) << "\n";
  std::filesystem::permissions(empty, std::filesystem::perms::owner_read);
  const Args grant{"--url", "http://127.0.0.1:1/token", "--client-id", "c"};
  const auto with = [](Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const Args code = with({"token", "code", "--code", "x"}, grant);
  for (const auto& [args, says, input] : std::vector<Case>{
           {{"totp", "NOT-BASE32"}, "not Base32: character 4 is none of A-Z and 2-7"},
           {{"totp", "AB C"}, "not Base32: no Base32 text is 3 characters long"},
           {{"totp", "ABCDEFGH=="}, "not Base32: it ends in 2 '='"},
           {{"totp", "-a", "MD5", secret20}, "SHA1, SHA256 or SHA512"},
           {{"totp", "-p", "5", secret20}, "period must be from 10 to 300 seconds, not '5'"},
           {{"totp", "-t", "1e300", secret20}, "2^64"},
           {{"totp", "-t", "2026-02-29T00:00:00Z", secret20}, "ISO 8601"},
           {{"totp", "-w", "-t", "59", secret20}, "cannot be combined"},
           {{"totp", "--digts", "8", secret20}, "did you mean '--digits'?"},
           {{"totp", "-d", "6", "-d", "8", secret20}, "more than once"},
           {{"hotp", "-c", "1", "-"}, "64 KiB", std::string(70000, 'A')},
           {{"hotp", secret20}, "hotp needs --counter"},
           {{"hotp", "-c", "1", "-"}, "the secret is empty", "\n"},
           {{"hotp", "-c", "18446744073709551615", "-n", "2", secret20}, "would pass"},
           {{"totpp", secret20}, "unknown command 'totpp' (did you mean 'totp'?)"},
           {{totpUri}, "unknown command '(a URI, not shown"},
           {{}, "a command is needed"},
           {{"totp", "--version", secret20}, "--version goes before the command: tervala --version"},
           {{"--settings", "a", "totp", "--settings", "b", secret20}, "--settings is given more than once"},
           {{"--generate-completion", "csh"}, "bash, zsh and fish"},
           {{"--generate-man", "bogus"}, "no manual page for 'bogus'"},
           {{"totp", hotpUri}, "of a hotp key, not totp"},
           {{"totp", "--hex", totpUri}, "--hex"},
           {{"totp", "otpauth-migration://offline?data=" + secret20}, "tervala import"},
           {{"totp", "-t", "59", "-a", "SHA256", "otpauth://totp/Steam:a?secret=" + secret20}, "Steam"},
           {{"uri", "totp", secret20}, "needs --account"},
           {{"uri", "totp", "--account", "a:b", secret20}, "colon"},
           {{"uri", "hotp", totpUri}, "of a totp key"},
           {{"verify", "--no-replay", "--replay-store", "x", "123456", secret20}, "exclude"},
           {{"verify", "--no-replay"}, "verify needs CODE and SECRET"},
           {{"verify", "--no-replay", "-c", "1", "123456", totpUri}, "--counter is for hotp"},
           {{"export"},
            "URI 2: not an otpauth://",
            std::string(totpUri).append("\n\nnot-a-uri-").append(secret20)},
           {{"export", "--batch-size", "0"}, "batch size", totpUri},
           {{"token", "implicit"}, "unknown command 'token implicit'"},
           {{"token", "show", "--keyring", "--file-store"}, "--keyring and --file-store exclude each other"},
           {{"token", "show", "--allow-file"}, "--allow-file only goes with --keyring"},
           {with({"token", "password", "--username", "u"}, grant), "token password needs --password"},
           {with({"token", "code", "--code", "-", "--client-secret", "-"}, grant),
            "only one value can come from standard", "a\nb"},
           {with({"token", "code", "--code-file", empty}, grant), "--code is empty"},
           {with({"token", "refresh"}, grant), "one of --refresh-token and --stored"},
           {with(code, {"--timeout", "0"}), "--timeout needs a number of seconds above 0"},
           {with(code, {"--param", "novalue"}), "KEY=VALUE"},
           {with(code, {"--cacert", "/nonexistent"}), "no readable PEM"},
           {{"token", "code", "--code", "x", "--client-id", "c", "--url", "http://0.0.0.0:1/"}, "plain http"},
           {{"token", "code", "--code", "x", "--client-id", "c", "--url", "http://localhost.example.net/"},
            "plain http"},
           {{"token", "logout", "--profile", "../x"}, "--profile needs a name of 1 to 32"},
           {{"token", "password", "--username", "u", "--password", "p", "--profile", "new", "--client-id",
             "c"},
            "token password needs --url or --issuer (the profile remembers none yet)"},
           {{"token", "code", "--code", "x", "--url", "http://127.0.0.1:1/t"}, "code needs --client-id"},
           {with(code, {"--strict", "--lenient"}), "give one of --strict and --lenient"},
       }) {
    Args full = args;
    if (!args.empty() && args[0] == "token") {
      full.insert(full.begin(), {"--settings", (folder / "settings.sqlite3").string()});
    }
    const auto run = runTool(full, input, {{"TERVALA_CODE", ""}});
    SCOPED_TRACE(shown(args) + " -> " + run.err);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(std::regex_match(run.err, std::regex("tervala: [^\n]+\n")));
    EXPECT_NE(run.err.find(says), std::string::npos);
    EXPECT_EQ(run.err.find(secret20.substr(0, 8)), std::string::npos);
    EXPECT_EQ(run.err.find("secret="), std::string::npos);
  }
}

// Whether `pattern` is found in `text`, where each "[\s\S]*" in it is matched by searching on
// from the previous piece's end: libstdc++'s regex recurses once per character it skips, which
// overflows a sanitized stack on a manual page.
bool searchInOrder(const std::string& text, std::string_view pattern) {
  constexpr std::string_view anything = R"([\s\S]*)";
  auto from = text.cbegin();
  for (std::size_t start = 0;;) {
    const std::size_t end = pattern.find(anything, start);
    std::smatch found;
    const std::regex piece(std::string(pattern.substr(start, end - start)));
    if (!std::regex_search(from, text.cend(), found, piece)) {
      return false;
    }
    if (end == std::string_view::npos) {
      return true;
    }
    from = found[0].second;
    start = end + anything.size();
  }
}

// Each row's second field is a regular expression the output must hold.
TEST_F(OtpCli, HelpVersionManPageAndCompletionComeFromTheTables) {
  for (const auto& [args, says, input] : std::vector<Case>{
           {{"--help"}, "  token refresh "},
           {{"--version"}, R"(^tervala \d+\.\d+\.\d+\n$)"},
           {{"help", "totp"},
            R"(usage: tervala totp \[-d DIGITS\] \[-a ALGORITHM\] \[-p SECONDS\] \[-t TIME\])"},
           {{"token", "--help"}, R"(usage: tervala token COMMAND[\s\S]*\n  token code )"},
           {{"hotp", "--help"}, "  -n, --count COUNT "},
           {{"token", "code", "--code", "-", "-h"},
            R"(usage: tervala token code \[--url URL\] \[--issuer URL\])"},
           {{"--generate-man"},
            R"(\.SS verify\n[\s\S]*\.B token refresh\n[\s\S]*\.BR tervala\\-token \(1\)\n)"},
           {{"--generate-man", "token"},
            R"(^\.TH TERVALA\\-TOKEN 1 [\s\S]*\.SS token refresh\n[\s\S]*\.BR tervala \(1\),)"},
           {{"--generate-completion", "zsh"}, R"(\n    'token show'\) choices=\( --help --json --profile )"},
           {{"--generate-completion", "fish"},
            R"(\ncomplete -c tervala -n '__tervala_is "token show"' -l profile -x )"},
           {{"token", "login", "-h"}, R"(\[--no-store\][\s\S]*--store +store the token \(the default\))"},
           {{"--generate-completion", "bash"}, R"('token password'\) choices='--help --url --issuer)"},
           {{"help", "help"}, R"(^usage: tervala help \[COMMAND\]\n)"},
           {{"--help"}, R"(\nBash completion: add 'source /\S+/bash-completion/completions/tervala' to)"},
           {{"--generate-man"}, R"(\.SH FILES\n[\s\S]*\.B source /\S+/completions/tervala\n)"},
           {{"verify", "--help"}, R"(--replay-store PATH[\s\S]*else ~/\.config/tervala/settings\.sqlite3)"},
       }) {
    const auto run = runTool(args, input);
    SCOPED_TRACE(shown(args));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(searchInOrder(run.out, says)) << run.out;
  }
}

// Every command holds a secret, a token or a code: its process leaves no core file and lets no
// debugger of the same user in, even when it refuses its command line.
TEST_F(OtpCli, EveryCommandMakesItsProcessUndumpable) {
  for (const auto& args : std::vector<Args>{{"totp", secret20},
                                            {"totp", "-w", "-t", "1", secret20},
                                            {"verify", "--no-replay", "123456", secret20},
                                            {"uri", "totp", secret20},
                                            {"import", "otpauth-migration://offline?data="},
                                            {"export", "--batch-size", "0"}}) {
    ASSERT_EQ(::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0), 0);
    runTool(args);
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0) << shown(args);
  }
  ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

TEST_F(OtpCli, VerifyAcceptsEachStepOnceAndReportsItsOffset) {
  const test::TemporaryFolder folder;
  const std::string store = (folder / "replay.sqlite3").string();
  const auto guarded = [&](const Args& tail) {
    Args args{"verify", "--replay-store", store};
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
  };
  // Each row: arguments, exit status, standard output, a part of standard error ("" for none).
  // RFC 4226's codes: counter 0 755224, 1 287082, 2 359152, 3 969429.
  using Row = std::tuple<Args, int, std::string, std::string>;
  for (const auto& [args, status, out, err] : std::vector<Row>{
           {guarded({"-t", "59", "287082", secret20}), 0, "0\n", ""},
           {guarded({"-t", "59", "287082", secret20}), 1, "", "already used"},
           {guarded({"-t", "89", "969429", secret20}), 0, "1\n", ""},
           {guarded({"-t", "59", "287082", totpUri}), 0, "0\n", ""},  // another account: the label
           {{"verify", "--no-replay", "--window", "0", "-t", "89", "287082", secret20},
            1,
            "",
            "does not match"},
           {{"verify", "--no-replay", "-t", "59", "996554", "JBSWY3DPEHPK3PXP"}, 0, "0\n", "has 80 bits"},
           {guarded({"755224", hotpUri}), 1, "", "does not match"},  // the URI's counter is 1
           {guarded({"359152", hotpUri}), 0, "1\n", ""},
           {guarded({"969429", hotpUri}), 0, "0\n", ""},
           {{"verify", "--replay-store", store + "2", "-c", "0", "755224", secret20}, 0, "0\n", ""},
       }) {
    const auto run = runTool(args);
    SCOPED_TRACE(shown(args) + " -> " + run.err);
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out);
    EXPECT_TRUE(err.empty() ? run.err.empty() : run.err.find(err) != std::string::npos);
  }
  // Records are named by a keyed digest: neither the label nor the secret is in the file.
  const std::string stored = fileText(store);
  EXPECT_EQ(stored.find("alice"), std::string::npos);
  EXPECT_EQ(stored.find(secret20), std::string::npos);
  // Without --replay-store the guard uses the --settings file, given before the command or after.
  const auto settings = (folder / "settings.sqlite3").string();
  EXPECT_EQ(runTool({"--settings", settings, "verify", "-t", "59", "287082", secret20}).status, 0);
  EXPECT_EQ(runTool({"verify", "-t", "59", "--settings", settings, "287082", secret20}).status, 1);
}

// --debug and --settings may follow the command word; a command option of the same name wins.
TEST_F(OtpCli, SharedGlobalOptionsFollowTheCommandUnlessItOwnsTheName) {
  constexpr std::array own{cli::Option{.name = "settings", .takes = cli::Takes::value, .help = "own"}};
  const auto after = cli::optionsAfter(cli::Command{.name = "x", .options = own});
  std::vector<std::string_view> names;
  for (const auto& option : after) {
    names.push_back(option.name);
  }
  EXPECT_EQ(names, (std::vector<std::string_view>{"settings", "debug"}));
  EXPECT_EQ(after[0].help, "own");
}

// One record per account and secret: labels that name one account share it, a long label and a
// label spelled like the digest it was once kept under are apart, and a secret enrolled anew
// under an old label starts afresh.
TEST_F(OtpCli, VerifyKeepsOneRecordPerAccountAndSecret) {
  const test::TemporaryFolder folder;
  const std::string store = (folder / "replay.sqlite3").string();
  const std::string other = "JBSWY3DPEHPK3PXP";
  const auto code = [](const std::string& secret, int counter) {
    const auto out = runTool({"hotp", "-c", std::to_string(counter), secret}).out;
    return out.substr(0, out.find('\n'));
  };
  const std::string longLabel = std::string(512, 'i') + ':' + std::string(500, 'a');
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  ASSERT_EQ(EVP_Digest(longLabel.data(), longLabel.size(), digest.data(), &size, EVP_sha256(), nullptr), 1);
  std::string digestLabel = "label-sha256:";
  for (unsigned int i = 0; i < 16; ++i) {
    constexpr std::string_view hex = "0123456789abcdef";
    digestLabel += {hex[digest[i] >> 4U], hex[digest[i] & 0xFU]};
  }
  const auto totp = [](const std::string& label, const std::string& secret, const std::string& more = "") {
    return "otpauth://totp/" + label + "?secret=" + secret + more;
  };
  const auto hotp = [](const std::string& label, const std::string& secret, int counter = 0) {
    return "otpauth://hotp/" + label + "?secret=" + secret + "&counter=" + std::to_string(counter);
  };
  // RFC 4226's codes of secret20: counter 1 287082, 2 359152, 3 969429.
  using Row = std::tuple<std::string, std::string, int>;  // code, key, exit status
  for (const auto& [typed, key, status] : std::vector<Row>{
           {"287082", totp("Bank:alice", secret20), 0},
           {"287082", totp("Bank%20:alice", secret20), 1},  // the same account
           {"287082", totp("alice", secret20, "&issuer=Bank"), 1},
           {"287082", totp("Bank:alice2", secret20), 0},  // another account
           {"287082", secret20, 0},                       // no account
           {"287082", secret20, 1},
           {"287082", hotp(longLabel, secret20), 0},
           {code(other, 40), hotp(digestLabel, other, 40), 0},
           {"359152", hotp(longLabel, secret20), 0},  // its record was not moved on
           {"969429", hotp("Bank:carol", secret20, 3), 0},
           {code(other, 0), hotp("Bank:carol", other), 0},  // enrolled anew: from counter 0
       }) {
    const auto run = runTool({"verify", "--replay-store", store, "-t", "59", typed, key});
    SCOPED_TRACE(key.substr(0, 40) + " " + run.err);
    EXPECT_EQ(run.status, status);
  }
}

TEST_F(OtpCli, ExportThenImportGivesTheKeysBack) {
  const std::string keys = totpUri + "\n" + "otpauth://hotp/bob?secret=" + secret20 + "&digits=8&counter=3\n";
  const auto exported = runTool({"export", "--batch-size", "1"}, keys);
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(std::count(exported.out.begin(), exported.out.end(), '\n'), 2);
  EXPECT_TRUE(exported.out.starts_with("otpauth-migration://offline?data="));
  EXPECT_EQ(runTool({"import", "-"}, exported.out).out, keys);
  EXPECT_EQ(runTool({"import", exported.out.substr(0, exported.out.find('\n'))}).out, totpUri + "\n");
}

// The printed half blocks become a PGM image (light modules white, four pixels a module) that
// zbar, a decoder independent of libqrencode, must read back as the Key URI.
TEST_F(OtpCli, QrCodeReadsBackAsTheKeyUri) {
  const test::TemporaryFolder folder;
  const auto shell = [](const std::string& command) {
    return std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe): one thread
  };
  if (shell("command -v zbarimg >/dev/null") != 0) {
    GTEST_SKIP() << "zbarimg (Debian zbar-tools) is not installed";
  }
  Args args{"uri",       "hotp", "--issuer", "Example Co", "--account", "bob@example.com",
            "--counter", "7",    secret20};
  const auto plain = runTool(args);
  args.insert(args.begin() + 2, "--qr");
  const auto qr = runTool(args);
  ASSERT_EQ(qr.status, 0) << qr.err;

  constexpr std::size_t scale = 4;  // pixels a module
  std::string pixels;               // a byte a pixel: 0xff light, 0 dark
  std::size_t width = 0;
  std::size_t height = 0;
  std::istringstream lines(qr.out);
  for (std::string line; std::getline(lines, line);) {
    for (const char* const half : {"\u2580", "\u2584"}) {  // the upper half row, then the lower
      std::string row;
      for (std::size_t at = 0; at < line.size();) {
        const std::string cell = line.substr(at, line[at] == ' ' ? 1 : 3);
        at += cell.size();
        ASSERT_TRUE(cell == " " || cell == "\u2588" || cell == "\u2580" || cell == "\u2584") << cell;
        row.append(scale, cell == "\u2588" || cell == half ? '\xff' : '\0');
      }
      for (std::size_t repeat = 0; repeat < scale; ++repeat, ++height) {
        pixels += row;
      }
      width = row.size();
    }
  }
  ASSERT_GT(height, 40 * scale);
  std::ofstream(folder / "qr.pgm", std::ios::binary) << "P5 " << width << ' ' << height << " 255\n" << pixels;
  const auto decoded = (folder / "decoded").string();
  ASSERT_EQ(shell("zbarimg --raw -q '" + (folder / "qr.pgm").string() + "' >'" + decoded + "'"), 0);
  EXPECT_EQ(fileText(decoded), plain.out);
}

TEST_F(OtpCli, DebugLinesGoToStandardErrorOnlyWithDebug) {
  for (const auto& args :
       {Args{"--debug", "hotp", "-c", "0", secret20}, Args{"hotp", "-c", "0", "--debug", secret20}}) {
    const auto run = test::ToolProcess(args).finish();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "755224\n");
    EXPECT_TRUE(run.err.starts_with("Tervala.HotpGeneratorContext init(")) << run.err;
  }
  EXPECT_EQ(test::ToolProcess({"hotp", "-c", "0", secret20}).finish().err, "");
}

// Standard output is a pipe here: plain lines, no redrawn bar; Ctrl-C ends it as shells expect.
TEST_F(OtpCli, WatchWritesPlainLinesToAPipeAndEndsWith130OnInterrupt) {
  test::ToolProcess watch({"totp", "--watch", secret20});
  watch.readUntil([](const auto& shown) { return shown.out.size() >= 7; });
  ::kill(watch.pid(), SIGINT);
  const auto run = watch.finish();
  EXPECT_EQ(run.status, 130);
  EXPECT_TRUE(std::regex_match(run.out, std::regex("([0-9]{6}\n)+"))) << run.out;
}

}  // namespace
}  // namespace tervala
