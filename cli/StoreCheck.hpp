#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tervala {
class SettingsStore;
}

namespace tervala::cli {

/// Why the settings file at `file` cannot be used as a store (unreadable, not a regular file,
/// not a settings database), in one line that names it; absent when it can, or does not exist
/// yet. Asked only after the store gave nothing, to tell a damaged file from an empty store.
std::optional<std::string> settingsFileProblem(const std::filesystem::path& file);

/// Why `store` gave no token, in one line: a settings file that cannot be used, a stored token
/// that cannot be read, or simply "no stored token".
std::string missingTokenReason(SettingsStore& store);

}  // namespace tervala::cli
