#pragma once

#include <iosfwd>
#include <optional>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;

/// Gives the context a new DPoP key of --dpop-alg (ES256 unless told) with --dpop, else none.
std::optional<UsageError> configureDpop(OAuthContext& context, const Arguments& arguments);

/// Binds a granted DPoP token to the key its request proved (the context's); says on `warnings`
/// when --dpop was asked for and the server granted a bearer token all the same.
void bindGranted(OAuthToken& token, const OAuthContext& context, std::ostream& warnings);

/// `token get --method M --url URL`: the header lines of one request, "Authorization: DPoP ..."
/// and "DPoP: <proof>" for a bound token, the "Authorization" line alone for a bearer token.
int printRequestHeaders(const OAuthToken& token, const Arguments& arguments, const Io& io);

}  // namespace tervala::cli
