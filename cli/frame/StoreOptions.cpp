#include "frame/StoreOptions.hpp"

#include <tervala/SettingsStore.hpp>

#include "frame/Arguments.hpp"

namespace tervala::cli {

std::variant<StoreMode, UsageError> chooseStoreMode(const GlobalOptions& global, const Arguments& arguments) {
  if (global.settingsPath) {
    SettingsStore::setStandardLocation(*global.settingsPath);
  }
  const bool keyring = arguments.has("keyring");
  if (keyring && arguments.has("file-store")) {
    return UsageError{"--keyring and --file-store exclude each other"};
  }
  if (arguments.has("allow-file") && !keyring) {
    return UsageError{"--allow-file only goes with --keyring"};
  }
  if (keyring) {
    return arguments.has("allow-file") ? StoreMode::keyringOrFile : StoreMode::keyring;
  }
  if (arguments.has("file-store") || global.settingsPath) {
    return StoreMode::file;
  }
  return StoreMode::automatic;
}

}  // namespace tervala::cli
