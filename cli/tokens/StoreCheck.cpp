#include "tokens/StoreCheck.hpp"

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "frame/VisibleText.hpp"

namespace tervala::cli {

std::string storeProblem(const SettingsStore& store) {
  if (auto problem = store.lastProblem()) {
    return std::move(problem->reason);
  }
  return "writing '" + visible(store.location().string()) + "' failed";
}

std::string missingTokenReason(SettingsStore& store) {
  const bool stored = store.data(OAuthToken::settingsKey).has_value();
  if (auto problem = store.lastProblem()) {
    return std::move(problem->reason);  // the file is refused, damaged or unreadable
  }
  if (stored) {
    return "the token stored in '" + visible(store.location().string()) + "' cannot be read";
  }
  return "no stored token";
}

}  // namespace tervala::cli
