// `tervala` with Key URIs: keys in every form people copy them, uri (and its QR code, read back by
// an independent decoder), verify with the replay guard, import and export. Run in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/InProcessTool.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::runTool;

const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";  // RFC 4226's "12345678901234567890"
const std::string hex20 = "3132333435363738393031323334353637383930";
const std::string totpUri = "otpauth://totp/Example:alice?secret=" + secret20 + "&issuer=Example";
const std::string hotpUri = "otpauth://hotp/Example:bob?secret=" + secret20 + "&issuer=Example&counter=1";

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(OtpUriCli, EveryFormOfAKeyGivesTheSameCodesAndKeyUri) {
  using Row = std::tuple<std::vector<std::string>, std::string, std::string>;  // arguments, input, output
  for (const auto& [args, input, out] : std::vector<Row>{
           {{"totp", "-d", "8", "-t", "59", totpUri}, "", "94287082\n"},
           {{"totp", "-t", "59", "-"}, totpUri + "\n", "287082\n"},
           {{"totp", "-d", "6", "-t", "59", "otpauth://totp/a?secret=" + secret20 + "&digits=8"},
            "",
            "287082\n"},
           {{"totp", "-t", "59", "-p", "60", "otpauth://totp/a?secret=" + secret20 + "&period=20"},
            "",
            "755224\n"},
           {{"totp", "-d", "8", "-t", "59", "GEZD GNBV GY3T QOJQ gezd gnbv gy3t qojq"}, "", "94287082\n"},
           {{"totp", "-d", "8", "-t", "59", "--hex", "3132 3334 3536 3738 3930 3132 3334 3536 3738 3930"},
            "",
            "94287082\n"},
           {{"totp", "-d", "8", "-t", "1970-01-01T01:00:59.5+01:00", secret20}, "", "94287082\n"},
           {{"totp", "-d", "8", "-t", "2000-02-29T12:00:00+12", secret20}, "", "99865798\n"},
           {{"totp", "-t", "59", "otpauth://totp/Steam:alice?secret=" + secret20}, "", "PV9M4\n"},
           {{"hotp", "-n", "2", hotpUri}, "", "287082\n359152\n"},
           {{"hotp", "-c", "0", "-d", "8", "--hex", hex20}, "", "84755224\n"},
           {{"uri", "totp", "--issuer", "Example Co", "--account", "alice", "jbsw y3dp ehpk 3pxp"},
            "",
            "otpauth://totp/Example%20Co:alice?secret=JBSWY3DPEHPK3PXP&issuer=Example%20Co\n"},
           {{"uri", "totp", "--account", "a", "-d", "8", "-a", "sha256", "-p", "60", secret20},
            "",
            "otpauth://totp/a?secret=" + secret20 + "&algorithm=SHA256&digits=8&period=60\n"},
           {{"uri", "hotp", "--account", "bob", "--hex", hex20},
            "",
            "otpauth://hotp/bob?secret=" + secret20 + "&counter=0\n"},
           {{"uri", "hotp", "--issuer", "Other", "--counter", "7", hotpUri},
            "",
            "otpauth://hotp/Other:bob?secret=" + secret20 + "&issuer=Other&counter=7\n"},
       }) {
    const auto run = runTool(args, input);
    EXPECT_EQ(run.status, 0) << args[args.size() - 2] << ' ' << run.err;
    EXPECT_EQ(run.out, out) << args[args.size() - 2] << ' ' << args.back();
  }
}

// Refused input exits 2 with one line that never repeats a secret or a URI holding one.
TEST(OtpUriCli, RefusalsSayWhyAndNeverEchoTheSecret) {
  const std::string steamUri = "otpauth://totp/Steam:a?secret=" + secret20;
  using Row =
      std::tuple<std::vector<std::string>, std::string, std::string>;  // arguments, input, a part of the line
  for (const auto& [args, input, says] : std::vector<Row>{
           {{"totp", hotpUri}, "", "of a hotp key, not totp"},
           {{"totp", "otpauth://totp/a?secret=" + secret20 + "&digits=7"}, "", "Key URI is refused: "},
           {{"totp", "--hex", totpUri}, "", "--hex"},
           {{"totp", "otpauth-migration://offline?data=" + secret20}, "", "tervala import"},
           {{"totp", "-t", "59", "-a", "SHA256", steamUri}, "", "Steam"},
           {{"totp", "-t", "2026-02-29T00:00:00Z", secret20}, "", "ISO 8601"},
           {{"uri", "totp", secret20}, "", "needs --account"},
           {{"uri", "totp", "--account", "a:b", secret20}, "", "colon"},
           {{"uri", "hotp", totpUri}, "", "of a totp key"},
           {{"verify", "--no-replay", "--replay-store", "x", "123456", secret20}, "", "exclude"},
           {{"verify", "--no-replay"}, "", "verify needs CODE and SECRET"},
           {{"verify", "--no-replay", "-c", "1", "123456", totpUri}, "", "--counter is for hotp"},
           {{"import", totpUri}, "", "not an otpauth-migration"},
           {{"export"}, totpUri + "\n\nnot-a-uri-" + secret20 + "\n", "URI 2: not an otpauth://"},
           {{"export", "--batch-size", "0"}, totpUri, "batch size"},
           {{totpUri}, "", "unknown command '(a URI, not shown"},
       }) {
    const auto run = runTool(args, input);
    const std::string shown = args[0] + ' ' + args.back();
    EXPECT_EQ(run.status, 2) << shown << " -> " << run.err;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_NE(run.err.find(says), std::string::npos) << shown << " -> " << run.err;
    EXPECT_EQ(run.err.find(secret20.substr(0, 8)), std::string::npos) << shown << " -> " << run.err;
    EXPECT_EQ(run.err.find("secret="), std::string::npos) << shown << " -> " << run.err;
  }
}

// The printed half blocks become a PGM image (light modules white, four pixels a module) that
// zbar, a decoder independent of libqrencode, must read back as the Key URI.
TEST(OtpUriCli, QrCodeReadsBackAsTheKeyUri) {
  const test::TemporaryFolder folder;
  const auto shell = [&](const std::string& command) {
    const std::string line = command + " 2>'" + (folder / "err").string() + "'";
    return std::system(line.c_str());  // NOLINT(concurrency-mt-unsafe): one thread
  };
  if (shell("command -v zbarimg >/dev/null") != 0) {
    GTEST_SKIP() << "zbarimg (Debian zbar-tools) is not installed";
  }
  std::vector<std::string> args{"uri",       "hotp", "--issuer", "Example Co", "--account", "bob@example.com",
                                "--counter", "7",    "-d",       "8",          secret20};
  const auto plain = runTool(args);
  args.insert(args.begin() + 2, "--qr");
  const auto qr = runTool(args);
  ASSERT_EQ(qr.status, 0) << qr.err;

  std::vector<std::string> rows;  // a byte a module: 0xff light, 0 dark
  std::istringstream lines(qr.out);
  for (std::string line; std::getline(lines, line);) {
    std::string top;
    std::string bottom;
    for (std::size_t at = 0; at < line.size();) {
      const std::string cell = line.substr(at, line[at] == ' ' ? 1 : 3);
      at += cell.size();
      ASSERT_TRUE(cell == " " || cell == "\u2588" || cell == "\u2580" || cell == "\u2584") << cell;
      top.push_back(cell == "\u2588" || cell == "\u2580" ? '\xff' : '\0');
      bottom.push_back(cell == "\u2588" || cell == "\u2584" ? '\xff' : '\0');
    }
    rows.insert(rows.end(), {top, bottom});
  }
  ASSERT_GT(rows.size(), 20U);
  constexpr std::size_t scale = 4;
  std::ofstream image(folder / "qr.pgm", std::ios::binary);
  image << "P5 " << rows[0].size() * scale << ' ' << rows.size() * scale << " 255\n";
  for (const auto& row : rows) {
    std::string scaled;
    for (const char module : row) {
      scaled.append(scale, module);
    }
    for (std::size_t repeat = 0; repeat < scale; ++repeat) {
      image << scaled;
    }
  }
  image.close();
  ASSERT_EQ(shell("zbarimg --raw -q '" + (folder / "qr.pgm").string() + "' >'" +
                  (folder / "decoded").string() + "'"),
            0)
      << fileText(folder / "err");
  EXPECT_EQ(fileText(folder / "decoded"), plain.out);
}

TEST(OtpUriCli, VerifyAcceptsEachStepOnceAndReportsItsOffset) {
  const test::TemporaryFolder folder;
  const std::string store = (folder / "replay.sqlite3").string();
  const std::string weak = "JBSWY3DPEHPK3PXP";  // 80 bits
  const std::vector<std::string> guarded{"verify", "--replay-store", store};
  const auto with = [&](std::vector<std::string> tail) {
    tail.insert(tail.begin(), guarded.begin(), guarded.end());
    return tail;
  };
  // Each row: arguments, exit status, standard output, a part of standard error ("" for none).
  // RFC 4226's codes: counter 0 755224, 1 287082, 2 359152, 3 969429; time 59 is step 1.
  using Row = std::tuple<std::vector<std::string>, int, std::string, std::string>;
  for (const auto& [args, status, out, err] : std::vector<Row>{
           {with({"-t", "59", "287082", secret20}), 0, "0\n", ""},
           {with({"-t", "59", "287082", secret20}), 1, "", "already used"},
           {with({"-t", "89", "969429", secret20}), 0, "1\n", ""},
           {with({"-t", "59", "287082", totpUri}), 0, "0\n", ""},  // another account: the label
           {{"verify", "--no-replay", "-t", "59", "287082", secret20}, 0, "0\n", ""},
           {{"verify", "--no-replay", "--window", "0", "-t", "89", "287082", secret20},
            1,
            "",
            "does not match"},
           {{"verify", "--no-replay", "-t", "59", "--hex", "-d", "8", "94287082", hex20}, 0, "0\n", ""},
           {{"verify", "--no-replay", "-t", "59", "996554", weak},
            0,
            "0\n",
            "warning: the secret has 80 bits"},
           {with({"755224", hotpUri}), 1, "", "does not match"},  // the URI's counter is 1
           {with({"359152", hotpUri}), 0, "1\n", ""},
           {with({"969429", hotpUri}), 0, "0\n", ""},
           {{"verify", "--replay-store", store + "2", "-c", "0", "755224", secret20}, 0, "0\n", ""},
       }) {
    const auto run = runTool(args);
    const std::string shown = args[args.size() - 2];
    EXPECT_EQ(run.status, status) << shown << ' ' << run.err;
    EXPECT_EQ(run.out, out) << shown;
    EXPECT_TRUE(err.empty() ? run.err.empty() : run.err.find(err) != std::string::npos)
        << shown << " -> " << run.err;
  }
  // Accounts are kept by label or by a digest: never the secret itself.
  const std::string stored = fileText(store);
  EXPECT_NE(stored.find("otp.replay.Example:alice"), std::string::npos);
  EXPECT_EQ(stored.find(secret20), std::string::npos);
  // Without --replay-store the guard uses the --settings file.
  const std::string settings = (folder / "settings.sqlite3").string();
  EXPECT_EQ(runTool({"--settings", settings, "verify", "-t", "59", "287082", secret20}).status, 0);
  EXPECT_EQ(runTool({"--settings", settings, "verify", "-t", "59", "287082", secret20}).status, 1);
}

TEST(OtpUriCli, ExportThenImportGivesTheKeysBack) {
  const std::string keys = totpUri + "\n" + "otpauth://hotp/bob?secret=" + secret20 + "&digits=8&counter=3\n";
  const auto exported = runTool({"export", "--batch-size", "1"}, keys);
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(std::count(exported.out.begin(), exported.out.end(), '\n'), 2);
  EXPECT_EQ(exported.out.rfind("otpauth-migration://offline?data=", 0), 0U);
  const auto imported = runTool({"import", "-"}, exported.out);
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.out, keys);
  const auto first = exported.out.substr(0, exported.out.find('\n'));
  EXPECT_EQ(runTool({"import", first}).out, totpUri + "\n");
}

}  // namespace
}  // namespace tervala
