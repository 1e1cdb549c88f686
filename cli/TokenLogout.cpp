#include <ostream>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "Arguments.hpp"
#include "Commands.hpp"
#include "Profile.hpp"
#include "StoreCheck.hpp"

namespace tervala::cli {
namespace {

// Revocation at the server (RFC 7009) before the token is forgotten. The hook for the endpoint
// client's revocation: it gets the account the profile remembers and the token, and says whether
// the server revoked it. Until revocation is offered nothing is sent and the token is only
// forgotten here.
bool revokeAtServer(const Profile::Account& /*account*/, const OAuthToken& /*token*/) {
  return false;
}

}  // namespace

int runTokenLogout(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  if (global.settingsPath) {
    SettingsStore::setStandardLocation(*global.settingsPath);
  }
  const auto chosen = Profile::of(arguments);
  if (const auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  const Profile& profile = std::get<Profile>(chosen);
  if (!profile.holdsToken()) {
    io.err << "tervala: " << profile.missingTokenReason() << '\n';
    return failure;
  }
  // A token that can no longer be read is forgotten all the same.
  const auto token = profile.token();
  const bool revoked = token && revokeAtServer(profile.account(), *token);
  if (!profile.forgetToken()) {
    io.err << "tervala: the token could not be forgotten: " << storeProblem(SettingsStore::standard())
           << '\n';
    return failure;
  }
  if (!revoked) {
    io.err << "tervala: the stored token is forgotten here; it was not revoked at the server\n";
  }
  return success;
}

}  // namespace tervala::cli
