#include <ostream>

#include <tervala/OAuthToken.hpp>

#include "Arguments.hpp"
#include "Commands.hpp"
#include "Profile.hpp"
#include "TokenPlace.hpp"

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
  auto chosen = Profile::of(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  Profile& profile = std::get<Profile>(chosen);
  auto& place = profile.tokenPlace();
  auto read = place.retrieveToken(io);
  // A token that can no longer be read is forgotten all the same.
  if (!place.heldToken()) {
    io.err << "tervala: " << std::get<std::string>(read) << '\n';
    return failure;
  }
  const auto* token = std::get_if<std::shared_ptr<OAuthToken>>(&read);
  const bool revoked = token != nullptr && revokeAtServer(profile.account(), **token);
  if (const auto problem = place.removeToken()) {
    io.err << "tervala: the token could not be forgotten: " << *problem << '\n';
    return failure;
  }
  if (!revoked) {
    io.err << "tervala: the stored token is forgotten from " << place.description()
           << "; it was not revoked at the server\n";
  }
  return success;
}

}  // namespace tervala::cli
