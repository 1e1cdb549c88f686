#pragma once

#include <string>

namespace tervala {
class SettingsStore;
}

namespace tervala::cli {

/// Why the last write of `store` failed, in one line that names its file.
std::string storeProblem(const SettingsStore& store);

/// Why `store` gave no token, in one line: a settings file that cannot be used, a stored token
/// that cannot be read, or simply "no stored token".
std::string missingTokenReason(SettingsStore& store);

}  // namespace tervala::cli
