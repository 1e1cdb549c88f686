#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/OtpAccountBook.hpp>
#include <tervala/SecretServiceStore.hpp>

#include "frame/Commands.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::cli {

class Arguments;

/// The stores of the book and the book over them.
struct OpenBook {
  std::unique_ptr<SecretServiceStore> keyring;
  std::unique_ptr<OtpAccountBook> book;
};

/// The book the store options ask for (frame/StoreOptions.hpp), as the token commands choose:
/// when the keyring is unreachable, only --keyring alone fails; otherwise the file is used and
/// that is said on standard error. Only `add` (`adding`) asks the keyring whether it is there;
/// the other commands find each secret where the book says it is.
std::variant<OpenBook, UsageError, std::string> openBook(const GlobalOptions& global,
                                                         const Arguments& arguments, const Io& io,
                                                         bool adding);

/// "tervala: REASON" on standard error; the failure exit status.
int failBecause(const Io& io, const std::string& reason);

/// The operand's text, empty without one.
inline std::string_view operandText(const platform::SecretText* operand) {
  return operand == nullptr ? std::string_view() : platform::view(*operand);
}

// Runs `body` on the book the options ask for, or reports why there is none.
template <class Body>
int withBook(const GlobalOptions& global, const Arguments& arguments, const Io& io, bool adding, Body body) {
  auto opened = openBook(global, arguments, io, adding);
  if (const auto* error = std::get_if<UsageError>(&opened)) {
    return refuse(io, *error);
  }
  if (const auto* reason = std::get_if<std::string>(&opened)) {
    return failBecause(io, *reason);
  }
  return body(*std::get<OpenBook>(opened).book);
}

}  // namespace tervala::cli
