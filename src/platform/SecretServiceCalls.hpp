#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Data.hpp>

namespace tervala::platform::secretService {

// The desktop keyring through the freedesktop Secret Service on the session bus (libsecret's
// blocking calls). Items carry the attributes application=APPLICATION and key=KEY. Each call
// ends within `timeout` and gives a one-line reason on failure; nothing here prompts: a locked
// keyring is a failure, not a dialog.

/// Whether this build has the Secret Service calls (built with libsecret).
bool builtIn() noexcept;

/// Absent when the keyring can be used now: a session bus, a Secret Service on it, and its
/// default collection present and unlocked. Otherwise why not.
std::optional<std::string> unreachableReason(std::chrono::milliseconds timeout);

/// Replaces the item of `key` with `value`, labelled `label`. Absent on success, else why not.
std::optional<std::string> store(std::string_view application, std::string_view key, std::string_view label,
                                 const Data& value, std::chrono::milliseconds timeout);

/// The value of `key`, absent when there is none; `problem` set when the keyring could not be
/// asked.
struct Lookup {
  std::optional<Data> value;
  std::optional<std::string> problem;
};
Lookup lookup(std::string_view application, std::string_view key, std::chrono::milliseconds timeout);

/// Removes the items of `key` (none is no failure). Absent on success, else why not.
std::optional<std::string> clear(std::string_view application, std::string_view key,
                                 std::chrono::milliseconds timeout);

}  // namespace tervala::platform::secretService
