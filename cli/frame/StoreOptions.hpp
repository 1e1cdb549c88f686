#pragma once

#include <string_view>
#include <variant>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;

/// The keyring items of the tool (tokens and the account book), whichever of its programs runs.
constexpr std::string_view keyringApplication = "tervala";

/// Where the store options ask secrets to be kept:
///   --keyring               keyring
///   --keyring --allow-file  keyringOrFile
///   --file-store, --settings PATH (without --keyring)  file: a settings file named on the command
///                           line is a choice of the file, as it was before the keyring
///   none of them            automatic: the keyring when reachable, else the file
enum class StoreMode { automatic, keyring, keyringOrFile, file };

/// The mode the options ask for, after moving the standard settings file to --settings PATH; a
/// contradiction among the options is a usage error.
std::variant<StoreMode, UsageError> chooseStoreMode(const GlobalOptions& global, const Arguments& arguments);

}  // namespace tervala::cli
