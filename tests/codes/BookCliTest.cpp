// The account book's commands, in-process over a settings file of the test's own.
#include <gtest/gtest.h>
#include <png.h>
#include <qrencode.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "codes/QrImageReader.hpp"
#include "support/InProcessTool.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using Args = std::vector<std::string>;

// Two accounts of an authenticator's export: GitHub:carol (TOTP) and Bank:bob (HOTP, counter 7).
const std::string migration =
    "otpauth-migration://offline?data=CigKCkhlbGxvId6tvu8SDEdpdEh1YjpjYXJvbBoGR2l0SHViIAEoATACCiQKCkhl"
    "bGxvId6tvu8SCEJhbms6Ym9iGgRCYW5rIAEoATABOAcQARgBKOGF6JwG";

struct Row {
  std::vector<std::string> args;
  int status;
  std::string out;    // the whole standard output, or a part of it after '~'
  std::string err{};  // a part of standard error
  std::map<std::string, std::string> environment{};
  std::string input{};
};

void runRows(const std::string& settings, const std::vector<Row>& rows) {
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
    EXPECT_EQ(run.err.find("secret="), std::string::npos) << run.err;
  }
}

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
  runRows(settings, rows);
  std::ifstream clip(tools + "/clip");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(clip), {}), "996554");
}

// A PNG of the QR codes of `texts` side by side, as a screenshot shows them: four pixels a module,
// each with its quiet zone; no text, a white image.
void writeQrImage(const std::string& path, const std::vector<std::string>& texts) {
  constexpr unsigned scale = 4;
  constexpr unsigned quiet = 4;
  std::vector<std::unique_ptr<QRcode, decltype(&QRcode_free)>> codes;
  unsigned width = scale;
  unsigned height = scale;
  for (const auto& text : texts) {
    codes.emplace_back(QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    const auto side = (static_cast<unsigned>(codes.back()->width) + 2 * quiet) * scale;
    width += side;
    height = std::max(height, side);
  }
  std::vector<std::uint8_t> pixels(std::size_t{width} * height, 255);
  unsigned left = 0;
  for (const auto& code : codes) {
    const auto modules = static_cast<unsigned>(code->width);
    for (unsigned y = 0; y < modules * scale; ++y) {
      for (unsigned x = 0; x < modules * scale; ++x) {
        if ((code->data[(y / scale) * modules + x / scale] & 1U) != 0) {
          pixels[(y + quiet * scale) * width + left + quiet * scale + x] = 0;
        }
      }
    }
    left += (modules + 2 * quiet) * scale;
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_GRAY;
  ASSERT_NE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr), 0) << image.message;
}

// A PNG chunk: `body` is its type and data.
std::string pngChunk(const std::string& body) {
  std::uint32_t crc = 0xffffffffU;
  for (const unsigned char byte : body) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1U) ^ ((crc & 1U) != 0 ? 0xedb88320U : 0U);
    }
  }
  std::string chunk;
  for (const auto word : {static_cast<std::uint32_t>(body.size() - 4), ~crc}) {
    chunk += {static_cast<char>(word >> 24U), static_cast<char>(word >> 16U), static_cast<char>(word >> 8U),
              static_cast<char>(word)};
  }
  return chunk.substr(0, 4) + body + chunk.substr(4);
}

// The key of a screenshot of its QR code, added as the same URI as an operand would be; every
// image that shows no one text is refused and adds nothing.
TEST(BookCli, AddReadsTheQrCodeOfAnImage) {
  test::TemporaryFolder folder;
  const auto file = [&](const char* name) { return (folder / name).string(); };
  const std::string rfc = "otpauth://totp/Example:rfc?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&issuer=Example";
  writeQrImage(file("key.png"), {rfc});
  writeQrImage(file("twice.png"), {rfc, rfc});
  writeQrImage(file("migration.png"), {migration});
  writeQrImage(file("blank.png"), {});
  writeQrImage(file("two.png"), {rfc, migration});
  writeQrImage(file("web.png"), {"https://example.com/?secret=ABC"});
  // A header saying 100000x100000 pixels (10 GB of grey), then the pixels' chunk, empty.
  std::ofstream(file("huge.png"), std::ios::binary)
      << std::string("\x89PNG\r\n\x1a\n", 8)
      << pngChunk(std::string("IHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\0\0\0\0", 17)) << pngChunk("IDAT");
  std::ofstream(file("text.png")) << rfc;
  const std::vector<Row> rows{
      {{"add", "--qr-image", file("key.png")}, 0, "added 'Example:rfc' to the settings file\n"},
      {{"code", "-t", "59", "rfc"}, 0, "287082\n"},
      {{"add", "--qr-image", file("twice.png"), "--replace"}, 0, "~added 'Example:rfc'"},
      {{"add", "--qr-image", file("migration.png")}, 0, "~added 'Bank:bob'"},
      {{"add", "--qr-image", file("blank.png")}, 2, "", "no QR code found in the QR image"},
      {{"add", "--qr-image", file("two.png")}, 2, "", "shows QR codes of different texts"},
      {{"add", "--qr-image", file("web.png")}, 2, "", "tervala: not an otpauth:// URI\n"},
      {{"add", "--qr-image", file("huge.png")},
       2,
       "",
       "has 100000x100000 pixels, more than the 40 megapixels"},
      {{"add", "--qr-image", file("text.png")}, 2, "", "text.png' is not a PNG image"},
      {{"add", "--qr-image", file("none.png")}, 2, "", "cannot open the QR image"},
      {{"add", "--qr-image", file("key.png"), rfc},
       2,
       "",
       "add reads a URI, - or --qr-image FILE, one of them"},
      {{"list"},
       0,
       "Example:rfc  (settings file)\nGitHub:carol  (settings file)\nBank:bob  (hotp)  (settings file)\n"},
  };
  runRows(file("settings.sqlite3"), rows);
  const auto missing = cli::QrImageReader::load({.zbar = "libzbar-none.so.0"});
  ASSERT_TRUE(std::holds_alternative<std::string>(missing));
  EXPECT_NE(std::get<std::string>(missing).find("(Debian: apt install libzbar0)"), std::string::npos);
}

}  // namespace
}  // namespace tervala
