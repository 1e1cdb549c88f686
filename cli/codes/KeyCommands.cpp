// `tervala uri`, `import` and `export`: keys written out as Key URIs, QR codes and
// authenticator exports.
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpMigration.hpp>

#include "codes/BookCommands.hpp"
#include "codes/KeyOperand.hpp"
#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/Input.hpp"
#include "frame/TerminalQrCode.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

// Writes a text that holds a secret as one line, then wipes it.
bool writeSecretLine(std::string&& text, std::ostream& out) {
  text.push_back('\n');
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  platform::cleanse(text.data(), text.size());
  return static_cast<bool>(out);
}

// The non-blank lines of `text`, each without its line break; views into `text`.
std::vector<std::string_view> linesOf(const platform::SecretText& text) {
  return nonBlankLines(platform::view(text));
}

// "URI 3: " when there is more than one to tell apart (blank lines not counted).
std::string placeOf(std::size_t index, std::size_t count) {
  return count > 1 ? "URI " + std::to_string(index + 1) + ": " : std::string();
}

// The parameters of the key to write: the operand's (a Key URI's, or the defaults), the options
// over them.
std::variant<OtpAuthParameters, UsageError> wantedParameters(const Arguments& arguments,
                                                             const KeyOperand& key, OtpType type) {
  if (auto error = key.typeMismatch(type)) {
    return *error;
  }
  OtpAuthParameters p = key.parameters;
  p.type = type;
  if (const auto issuer = arguments.value("issuer")) {
    p.issuer = *issuer;
  }
  if (const auto account = arguments.value("account")) {
    p.account = *account;
  }
  if (p.account.empty()) {
    return UsageError{"uri needs --account (or a Key URI, which names it)"};
  }
  if (const auto text = arguments.value("digits")) {
    const auto digits = parseNumber<std::int64_t>(*text);
    if (!digits) {
      return UsageError{"digits must be 6 or 8, not '" + visible(*text) + "'"};
    }
    p.digits = *digits;
  }
  if (const auto text = arguments.value("algorithm")) {
    const auto algorithm = hmacAlgorithmFromName(*text);
    if (!algorithm) {
      return UsageError{"algorithm must be SHA1, SHA256 or SHA512, not '" + visible(*text) + "'"};
    }
    p.algorithm = *algorithm;
  }
  if (const auto text = arguments.value("period")) {
    const auto period = parseNumber<std::int64_t>(*text);
    if (!period) {
      return UsageError{"period must be a whole number of seconds from 10 to 300, not '" + visible(*text) +
                        "'"};
    }
    p.period = *period;
  }
  if (const auto text = arguments.value("counter")) {
    const auto counter = parseNumber<std::uint64_t>(*text);
    if (!counter) {
      return UsageError{"counter must be a whole number from 0 to 18446744073709551615, not '" +
                        visible(*text) + "'"};
    }
    p.counter = *counter;
  }
  if (arguments.has("steam")) {
    p.form = OtpCodeForm::steam;
  }
  return p;
}

int writeKeyUri(const Arguments& arguments, const Io& io, OtpType type) {
  auto read = KeyOperand::read(platform::view(*arguments.operand()), arguments.has("hex"));
  if (const auto* error = std::get_if<UsageError>(&read)) {
    return refuse(io, *error);
  }
  const auto& key = std::get<KeyOperand>(read);
  auto parameters = wantedParameters(arguments, key, type);
  if (const auto* error = std::get_if<UsageError>(&parameters)) {
    return refuse(io, *error);
  }
  const auto made = OtpAuthUri::make(std::get<OtpAuthParameters>(parameters), platform::view(key.secret));
  if (!made) {
    return refuse(io, UsageError{made.reason()});
  }
  std::string uri = made->toString();
  if (arguments.has("qr")) {
    const bool written = writeTerminalQrCode(uri, io.out);
    platform::cleanse(uri.data(), uri.size());
    if (!written && io.out) {
      return refuse(io, UsageError{"the Key URI is too long for a QR code"});
    }
    return written ? success : failure;
  }
  const bool written = writeSecretLine(std::move(uri), io.out);
  io.out.flush();
  return written && io.out ? success : failure;
}

}  // namespace

int runUriTotp(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  return writeKeyUri(arguments, io, OtpType::totp);
}

int runUriHotp(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  return writeKeyUri(arguments, io, OtpType::hotp);
}

int runImport(const GlobalOptions& /*global*/, const Arguments& arguments, const Io& io) {
  const auto lines = linesOf(*arguments.operand());
  // Everything is read before anything is written: a refused line leaves no half list behind.
  std::vector<OtpAuthUri> keys;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto imported = OtpMigration::importUri(lines[i]);
    if (!imported) {
      return refuse(io, UsageError{placeOf(i, lines.size()) + imported.reason()});
    }
    for (auto& key : *std::move(imported)) {
      keys.push_back(std::move(key));
    }
  }
  if (keys.empty()) {
    return refuse(io, UsageError{"no migration URI was given"});
  }
  for (const auto& key : keys) {
    if (!writeSecretLine(key.toString(), io.out)) {
      return failure;
    }
  }
  io.out.flush();
  return io.out ? success : failure;
}

int runExport(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  std::size_t batchSize = OtpMigration::defaultBatchSize;
  if (const auto text = arguments.value("batch-size")) {
    const auto value = parseNumber<std::size_t>(*text);
    if (!value || *value == 0 || *value > 1000) {
      return refuse(io, UsageError{"batch size must be from 1 to 1000, not '" + visible(*text) + "'"});
    }
    batchSize = *value;
  }
  if (exportsFromBook(arguments)) {
    return exportBook(global, arguments, io, batchSize);
  }
  if (arguments.has("qr")) {
    return refuse(io, UsageError{"--qr goes with an export from the book (--book)"});
  }
  const auto input = readStandardInput(io.in);
  if (!input) {
    return refuse(io, UsageError{"standard input holds more than 64 KiB"});
  }
  const auto lines = linesOf(*input);
  std::vector<OtpAuthUri> keys;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto key = OtpAuthUri::parse(lines[i]);
    if (!key) {
      return refuse(io, UsageError{placeOf(i, lines.size()) + key.reason()});
    }
    keys.push_back(*std::move(key));
  }
  if (keys.empty()) {
    return refuse(io, UsageError{"export reads Key URIs on standard input, one a line, and found none"});
  }
  auto exported = OtpMigration::exportUris(keys, batchSize);
  if (!exported) {
    return refuse(io, UsageError{exported.reason()});
  }
  for (auto& uri : *std::move(exported)) {
    if (!writeSecretLine(std::move(uri), io.out)) {
      return failure;
    }
  }
  io.out.flush();
  return io.out ? success : failure;
}

}  // namespace tervala::cli
