// `tervala list` and `code`: the commands that read the book. They run in the tool's own
// program, which links neither the network nor the codecs, so a code by name starts as fast as
// `totp` does.
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <variant>

#include <tervala/OtpAccountBook.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "codes/BookOpening.hpp"
#include "codes/ClipboardCopy.hpp"
#include "codes/TimeText.hpp"
#include "frame/Arguments.hpp"
#include "frame/StoreOptions.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

// `list --labels`: the labels as they are, one a line, for scripts and the shells' completion,
// which offer them as words to type. Labels come from pasted Key URIs and from a file that is the
// user's, so one that `visible` would change (a line break or other hidden character, a byte that
// is not UTF-8, a backslash) is left out rather than shown changed: it could not be typed back
// and could break the one-a-line form. Only the index is read, never a secret nor the keyring
// (it holds no label), so the listing neither asks nor waits; no settings file is no book, and
// none is created.
int listLabels(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  const auto mode = chooseStoreMode(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&mode)) {
    return refuse(io, *error);
  }
  std::error_code missing;
  if (!std::filesystem::exists(SettingsStore::standard().location(), missing)) {
    return success;
  }
  OtpAccountBook book(SettingsStore::standard(), nullptr, OtpAccountBook::Place::file);
  auto accounts = book.match(operandText(arguments.operand()));
  if (!accounts) {
    return failBecause(io, accounts.reason());
  }
  for (const auto& account : *accounts) {
    if (const auto label = account.label(); visible(label) == label) {
      io.out << label << '\n';
    }
  }
  io.out.flush();
  return io.out ? success : failure;
}

}  // namespace

int runBookList(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  if (arguments.has("labels")) {
    return listLabels(global, arguments, io);
  }
  return withBook(global, arguments, io, false, [&](OtpAccountBook& book) -> int {
    auto accounts = book.match(operandText(arguments.operand()));
    if (!accounts) {
      return failBecause(io, accounts.reason());
    }
    for (const auto& account : *accounts) {
      io.out << visible(account.label()) << (account.type == OtpType::hotp ? "  (hotp)" : "")
             << (account.inKeyring ? "" : "  (settings file)") << '\n';
    }
    io.out.flush();
    return io.out ? success : failure;
  });
}

int runBookCode(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  double time = TotpGeneratorContext::currentUnixTime();
  if (const auto text = arguments.value("time")) {
    const auto parsed = parseTime(*text);
    if (!parsed) {
      return refuse(io, UsageError{"time must be seconds since 1970 or ISO 8601 with its zone, not '" +
                                   visible(*text) + "'"});
    }
    time = *parsed;
  }
  return withBook(global, arguments, io, false, [&](OtpAccountBook& book) -> int {
    const std::string_view pattern = operandText(arguments.operand());
    auto accounts = book.match(pattern);
    if (!accounts) {
      return failBecause(io, accounts.reason());
    }
    if (accounts->empty()) {
      return failBecause(io, pattern.empty() ? "the account book is empty (tervala add URI adds one)"
                                             : "no account matches '" + visible(pattern) + "'");
    }
    // One account, or one whose label is the pattern: the code alone, for scripts.
    std::optional<OtpAccount> single;
    for (const auto& account : *accounts) {
      if (account.label() == pattern) {
        single = account;
      }
    }
    if (accounts->size() == 1) {
      single = accounts->front();
    }
    if (single) {
      auto code = book.code(*single, time);
      if (!code) {
        return failBecause(io, code.reason());
      }
      if (arguments.has("copy")) {
        if (auto problem = copyToClipboard(code->code, io)) {
          return failBecause(io, *problem);
        }
        io.err << "copied the code of '" << visible(single->label()) << "'; cleared in 45 seconds\n";
        return success;
      }
      io.out << code->code << '\n' << std::flush;
      return io.out ? success : failure;
    }
    if (arguments.has("copy")) {
      return failBecause(io, "--copy needs a PATTERN that matches one account");
    }
    // A counter-based code is made only when asked for by itself: listing would spend steps.
    int status = success;
    for (const auto& account : *accounts) {
      io.out << visible(account.label()) << "  ";
      if (account.type == OtpType::hotp) {
        io.out << "(hotp: ask for it alone)\n";
        continue;
      }
      auto code = book.code(account, time);
      if (!code) {
        io.out << "-\n";
        status = failBecause(io, code.reason());
        continue;
      }
      io.out << code->code << "  " << code->remaining.value_or(0) << "s left\n";
    }
    io.out.flush();
    return io.out ? status : failure;
  });
}

}  // namespace tervala::cli
