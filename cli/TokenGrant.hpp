#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include <tervala/ClientAuthentication.hpp>
#include <tervala/OAuthContext.hpp>

#include "Commands.hpp"

namespace tervala::cli {

class Arguments;

/// Runs one grant on the context, on this thread, with the request's URL, client and form fields.
using Exchange =
    std::function<OAuthContext::Result(OAuthContext& context, std::string_view url, std::string_view clientId,
                                       const OAuthContext::Params& params)>;

/// The common road of every token command: the context set from the options (scope, secret,
/// --auth, trust, timeout), the exchange, the result printed as JSON and, when asked, stored.
/// `storeAlways` stores a success even without --store.
int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          bool storeAlways = false);

/// The method of `--auth`: "form", "basic" or "none".
std::optional<ClientAuthentication> clientAuthenticationNamed(std::string_view name);

}  // namespace tervala::cli
