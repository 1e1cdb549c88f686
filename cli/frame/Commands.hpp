#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace tervala::cli {

/// Exit statuses of the tool. `expired` is what `token show` ends with for a token past its
/// expiry; a signal that ends `totp --watch` gives 128 + its number, as shells do.
enum ExitStatus : int { success = 0, failure = 1, usage = 2, expired = 3 };

/// Options that stand before the command.
struct GlobalOptions {
  bool debug = false;
  std::optional<std::string> settingsPath;
};

/// What the process reads and writes, so tests and main share one road.
struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  /// Whether `out` is a terminal, where redrawing a line in place makes sense.
  bool outIsTerminal = false;
  /// The process environment; null for an unset variable.
  std::function<const char*(const char*)> environment = [](const char*) -> const char* { return nullptr; };
  /// Removes a variable read as a secret from the environment, so that no child inherits it.
  std::function<void(const char*)> forget = [](const char*) {};
  /// Whether standard input is a terminal, where a missing password is asked for.
  bool inIsTerminal = false;
};

/// A bad command line or refused input: reported in one line, exit status 2.
struct UsageError {
  std::string message;
};

}  // namespace tervala::cli

namespace tervala::cli {

class Arguments;

// The run function of each row of the command table: called once the command line has been read.
int runTotp(const GlobalOptions& global, const Arguments& arguments, const Io& io);
int runHotp(const GlobalOptions& global, const Arguments& arguments, const Io& io);
// `token get` of a stored token that is still good, answered by `tervala` itself; absent, having
// written nothing, when the command needs the network or more than the plain options.
std::optional<int> answerTokenGetFromStore(const GlobalOptions& global, const Arguments& arguments,
                                           const Io& io);
// The book's reading commands need only SQLite beside the library, so they run in `tervala`.
int runBookList(const GlobalOptions& global, const Arguments& arguments, const Io& io);
int runBookCode(const GlobalOptions& global, const Arguments& arguments, const Io& io);
// The commands that need libcurl, SQLite, protobuf or libqrencode live in the program beside the
// tool that links them (tervala-token), so that `tervala totp` never loads them. Referenced weakly:
// in `tervala` itself they are null, and the tool hands those commands to the program their row
// names.
[[gnu::weak]] int runVerify(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runUriTotp(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runUriHotp(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runImport(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runExport(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runBookAdd(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runBookRename(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runBookRemove(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenPassword(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenCode(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenRefresh(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenShow(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenGet(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenLogin(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenClient(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenDevice(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenRevoke(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenInspect(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenLogout(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenProfiles(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenWhoami(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenUserinfo(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenJwtBearer(const GlobalOptions& global, const Arguments& arguments, const Io& io);
[[gnu::weak]] int runTokenCurl(const GlobalOptions& global, const Arguments& arguments, const Io& io);

/// Prints "tervala: MESSAGE" and gives the usage exit status.
int refuse(const Io& io, const UsageError& error);

}  // namespace tervala::cli
