// `tervala add`, `rename`, `rm` and `export` from the book: keys kept in the
// keyring or the settings file and used by name.
#include "codes/BookCommands.hpp"

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <tervala/OtpAccountBook.hpp>
#include <tervala/OtpMigration.hpp>
#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "codes/BookOpening.hpp"
#include "codes/QrImageReader.hpp"
#include "codes/TimeText.hpp"
#include "frame/Arguments.hpp"
#include "frame/Input.hpp"
#include "frame/StoreOptions.hpp"
#include "frame/TerminalQrCode.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {

std::vector<std::string_view> nonBlankLines(std::string_view rest) {
  std::vector<std::string_view> lines;
  while (!rest.empty()) {
    auto line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    if (line.find_first_not_of(" \t") != std::string_view::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

namespace {

// The one account `text` names: its exact label, else the one account whose label holds it.
std::variant<OtpAccount, std::string> oneAccount(OtpAccountBook& book, std::string_view text) {
  auto found = book.match(text);
  if (!found) {
    return found.reason();
  }
  for (const auto& account : *found) {
    if (account.label() == text) {
      return account;
    }
  }
  if (found->size() == 1) {
    return found->front();
  }
  if (found->empty()) {
    return "no account matches '" + visible(text) + "'";
  }
  std::string names;
  for (const auto& account : *found) {
    names += names.empty() ? "'" : ", '";
    names += visible(account.label());
    names += '\'';
  }
  std::string reason(1, '\'');
  reason += visible(text);
  reason +=
      "' matches " + std::to_string(found->size()) + " accounts (" + names + "): give more of the label";
  return reason;
}

}  // namespace

int runBookAdd(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  const auto image = arguments.value("qr-image");
  const platform::SecretText* given = arguments.operand();
  if (image && given != nullptr) {
    return refuse(io, UsageError{"add reads a URI, - or --qr-image FILE, one of them"});
  }
  // The QR code's text is read as the operand would be: it holds the secret too.
  platform::SecretText shown;
  if (image) {
    auto reader = QrImageReader::load();
    if (const auto* missing = std::get_if<std::string>(&reader)) {
      return failBecause(io, *missing);
    }
    auto text = std::get<QrImageReader>(reader).read(std::string(*image));
    if (auto* reason = std::get_if<std::string>(&text)) {
      return refuse(io, UsageError{std::move(*reason)});
    }
    shown = std::get<platform::SecretText>(std::move(text));
    given = &shown;
  }
  if (given == nullptr) {
    return refuse(io, UsageError{"add needs URI (or - to read it from standard input, or --qr-image FILE)"});
  }
  const auto lines = nonBlankLines(platform::view(*given));
  // Every line is read before anything is added: a refused line adds nothing.
  std::vector<OtpAuthUri> keys;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string place = lines.size() > 1 ? "line " + std::to_string(i + 1) + ": " : "";
    if (lines[i].starts_with("otpauth-migration:")) {
      auto imported = OtpMigration::importUri(lines[i]);
      if (!imported) {
        return refuse(io, UsageError{place + imported.reason()});
      }
      for (auto& key : *std::move(imported)) {
        keys.push_back(std::move(key));
      }
      continue;
    }
    auto key = OtpAuthUri::parse(lines[i]);
    if (!key) {
      return refuse(io, UsageError{place + key.reason()});
    }
    keys.push_back(*std::move(key));
  }
  if (keys.empty()) {
    return refuse(io, UsageError{"add needs a Key URI (otpauth://) or a migration URI"});
  }
  return withBook(global, arguments, io, true, [&](OtpAccountBook& book) -> int {
    int status = success;
    for (const auto& key : keys) {
      auto added = book.add(key, arguments.has("replace"));
      if (!added) {
        status = failBecause(
            io,
            added.reason() + (added.reason().ends_with("exists already") ? " (--replace replaces it)" : ""));
        continue;
      }
      io.out << "added '" << visible(added->label()) << "' to "
             << (added->inKeyring ? "the keyring" : "the settings file") << '\n';
    }
    io.out.flush();
    return io.out ? status : failure;
  });
}

int runBookRename(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  const std::string_view oldLabel = platform::view(*arguments.firstOperand());
  const std::string_view newLabel = platform::view(*arguments.operand());
  const auto colon = newLabel.find(':');
  std::string issuer;
  std::string name(newLabel);
  if (colon != std::string_view::npos) {
    issuer = std::string(newLabel.substr(0, colon));
    name = std::string(newLabel.substr(colon + 1));
  }
  if (name.empty()) {
    return refuse(io, UsageError{"the new label needs an account name: Issuer:account"});
  }
  return withBook(global, arguments, io, false, [&](OtpAccountBook& book) -> int {
    auto account = oneAccount(book, oldLabel);
    if (const auto* reason = std::get_if<std::string>(&account)) {
      return failBecause(io, *reason);
    }
    auto renamed = book.rename(std::get<OtpAccount>(account), issuer, name);
    if (!renamed) {
      return failBecause(io, renamed.reason());
    }
    io.out << "renamed '" << visible(std::get<OtpAccount>(account).label()) << "' to '"
           << visible(renamed->label()) << "'\n"
           << std::flush;
    return io.out ? success : failure;
  });
}

int runBookRemove(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return withBook(global, arguments, io, false, [&](OtpAccountBook& book) -> int {
    auto found = oneAccount(book, platform::view(*arguments.operand()));
    if (const auto* reason = std::get_if<std::string>(&found)) {
      return failBecause(io, *reason);
    }
    const auto& account = std::get<OtpAccount>(found);
    if (!arguments.has("yes")) {
      // Only a person at a terminal can answer; a script says --yes.
      if (isatty(STDIN_FILENO) == 0) {
        return refuse(io, UsageError{"rm asks before removing '" + visible(account.label()) +
                                     "'; give --yes where standard input is not a terminal"});
      }
      io.err << "remove '" << visible(account.label()) << "' and its secret? [y/N] " << std::flush;
      std::string answer;
      std::getline(io.in, answer);
      if (answer != "y" && answer != "Y" && answer != "yes") {
        return failBecause(io, "nothing removed");
      }
    }
    if (auto problem = book.remove(account)) {
      return failBecause(io, *problem);
    }
    io.out << "removed '" << visible(account.label()) << "'\n" << std::flush;
    return io.out ? success : failure;
  });
}

bool exportsFromBook(const Arguments& arguments) {
  return arguments.has("book") || arguments.has("include-secrets") || arguments.operand() != nullptr;
}

int exportBook(const GlobalOptions& global, const Arguments& arguments, const Io& io, std::size_t batchSize) {
  if (!arguments.has("include-secrets")) {
    return refuse(io,
                  UsageError{"an export holds every secret it carries: say --include-secrets to write it"});
  }
  return withBook(global, arguments, io, false, [&](OtpAccountBook& book) -> int {
    auto accounts = book.match(operandText(arguments.operand()));
    if (!accounts) {
      return failBecause(io, accounts.reason());
    }
    if (accounts->empty()) {
      return failBecause(io, "no account to export");
    }
    std::vector<OtpAuthUri> keys;
    for (const auto& account : *accounts) {
      auto key = book.key(account);
      if (!key) {
        return failBecause(io, key.reason());
      }
      keys.push_back(*std::move(key));
    }
    auto exported = OtpMigration::exportUris(keys, batchSize);
    if (!exported) {
      return failBecause(io, exported.reason());
    }
    for (auto& uri : *std::move(exported)) {
      bool written = false;
      if (arguments.has("qr")) {
        written = writeTerminalQrCode(uri, io.out);
      } else {
        uri.push_back('\n');
        written = static_cast<bool>(io.out.write(uri.data(), static_cast<std::streamsize>(uri.size())));
      }
      platform::cleanse(uri);
      if (!written) {
        return failBecause(io, "the export could not be written");
      }
    }
    io.out.flush();
    return io.out ? success : failure;
  });
}

}  // namespace tervala::cli
