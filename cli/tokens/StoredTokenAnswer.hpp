#pragma once

#include <optional>

#include "frame/Commands.hpp"

namespace tervala {
class OAuthToken;
}

namespace tervala::cli {

class Arguments;

/// What `token get` prints of `token`: the access token, or with --header the Authorization
/// header value; refused when that value would break the line it is sent in.
int printToken(const OAuthToken& token, const Arguments& arguments, const Io& io);

}  // namespace tervala::cli
