#pragma once

#include <string_view>

namespace tervala::cli {

/// What an option takes after its name.
enum class Takes {
  nothing,  ///< a switch
  value,    ///< one value; given twice is refused
  values,   ///< a value that may be given again; all are kept in order
  secret,   ///< one value that must not stay in the process list: blanked in argv as soon as read,
            ///< `-` reads it from standard input, and `--NAME-file PATH` and an environment
            ///< variable offer it off the command line altogether
  stdinFor  ///< a switch meaning "the secret option named in `valueName` comes from standard input"
};

/// One row of a command's option table; parsing, help, the man page and completion read it.
struct Option {
  std::string_view name = {};  ///< long name, without "--"
  char letter = '\0';          ///< short name, without "-"; '\0' for none
  Takes takes = Takes::nothing;
  std::string_view valueName = {};  ///< "DIGITS"; for `stdinFor`, the secret option's name
  std::string_view help = {};
  std::string_view environment = {};  ///< for a secret, the variable read when it is not given
  bool required = false;              ///< the command cannot run without it
  std::string_view unlessGiven = {};  ///< a required option that this other option stands in for
};

/// Whether the option's value names a file (PATH, FILE), which completion offers file names for.
constexpr bool takesFile(const Option& option) {
  return (option.takes == Takes::value || option.takes == Takes::values) &&
         (option.valueName == "PATH" || option.valueName == "FILE");
}

}  // namespace tervala::cli
