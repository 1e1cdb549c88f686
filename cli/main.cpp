#include <iostream>
#include <string>
#include <vector>

#include <tervala/Debug.hpp>

#include "Commands.hpp"

namespace {

constexpr const char* usageText =
    "usage: tervala [--debug] [--settings PATH] COMMAND ...\n"
    "  tervala totp [-d DIGITS] [-a ALGORITHM] [-p PERIOD] [-t UNIX_TIME] [-w] SECRET|-\n"
    "  tervala hotp [-d DIGITS] [-a ALGORITHM] -c COUNTER [-n COUNT] SECRET|-\n"
    "  tervala token password --url URL --client-id ID --username NAME (--password-stdin | --password TEXT) "
    "[common]\n"
    "  tervala token code     --url URL --client-id ID --code CODE [common]\n"
    "  tervala token refresh  --url URL --client-id ID (--refresh-token TOKEN | --stored) [common]\n"
    "  tervala token show\n"
    "    common: [--client-secret TEXT] [--scope a,b,...] [--param KEY=VALUE]... [--timeout SECONDS]\n"
    "            [--cacert FILE] [--store]\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace tervala::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  GlobalOptions options;
  std::size_t at = 0;
  for (; at < args.size(); ++at) {
    if (args[at] == "--debug") {
      options.debug = true;
    } else if (args[at] == "--settings") {
      if (at + 1 >= args.size()) {
        std::cerr << "tervala: --settings needs a path\n";
        return usage;
      }
      options.settingsPath = args[++at];
    } else if (args[at] == "-h" || args[at] == "--help") {
      std::cout << usageText;
      return success;
    } else {
      break;
    }
  }
  if (at >= args.size()) {
    std::cerr << usageText;
    return usage;
  }

  // The library's lines are for people debugging: silent by default, on standard error with
  // --debug so they never mix with a command's output.
  if (options.debug) {
    tervala::setDebugSink([](std::string_view line) { std::cerr << line << '\n' << std::flush; });
  } else {
    tervala::setDebugSink(nullptr);
  }

  const std::string& command = args[at];
  const std::span<const std::string> rest(args.data() + at + 1, args.size() - at - 1);
  const Io io{std::cin, std::cout, std::cerr};
  if (command == "totp") {
    return runTotp(options, rest, io);
  }
  if (command == "hotp") {
    return runHotp(options, rest, io);
  }
  if (command == "token") {
    return runToken(options, rest, io);
  }
  std::cerr << "tervala: unknown command '" << command << "'\n" << usageText;
  return usage;
}
