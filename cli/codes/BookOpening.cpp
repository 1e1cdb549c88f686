#include "codes/BookOpening.hpp"

#include <ostream>

#include <tervala/SettingsStore.hpp>

#include "frame/StoreOptions.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {

int failBecause(const Io& io, const std::string& reason) {
  io.err << "tervala: " << reason << '\n' << std::flush;
  return failure;
}

std::variant<OpenBook, UsageError, std::string> openBook(const GlobalOptions& global,
                                                         const Arguments& arguments, const Io& io,
                                                         bool adding) {
  const auto mode = chooseStoreMode(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&mode)) {
    return *error;
  }
  OpenBook open;
  open.keyring = std::make_unique<SecretServiceStore>(std::string(keyringApplication));
  auto place = OtpAccountBook::Place::keyring;
  if (std::get<StoreMode>(mode) == StoreMode::file) {
    place = OtpAccountBook::Place::file;
  } else if (adding) {
    if (auto problem = open.keyring->unreachableReason()) {
      if (std::get<StoreMode>(mode) == StoreMode::keyring) {
        return "the keyring is not reachable: " + *problem + " (--allow-file would use the settings file)";
      }
      place = OtpAccountBook::Place::file;
      io.err << "tervala: no keyring (" << *problem << "); the secret is kept in the settings file '"
             << visible(SettingsStore::standard().location().string()) << "'\n";
    }
  }
  open.book = std::make_unique<OtpAccountBook>(SettingsStore::standard(), open.keyring.get(), place);
  return open;
}

}  // namespace tervala::cli
