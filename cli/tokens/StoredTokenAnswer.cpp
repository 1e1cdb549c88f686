// `token get` of a stored token that is still good, answered by `tervala` itself. Scripts run it
// once per request they make, so its start-up is its whole cost: this road reads the settings
// file or the keyring and prints, without libcurl and its chain of libraries. Every other case
// (a refresh due, no token, a problem to report, a keyring that may fall back to the file) is
// handed to `tervala-token`, which gives the same answer the same way.
#include "tokens/StoredTokenAnswer.hpp"

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/OAuthToken.hpp>
#include <tervala/TokenSource.hpp>

#include "frame/Arguments.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {

int printToken(const OAuthToken& token, const Arguments& arguments, const Io& io) {
  // A bound token's header is worth nothing without a proof for the one request it goes with,
  // and without one it is what a server that also takes bearer tokens could be sent by mistake.
  const bool bound = token.tokenType() == "DPoP";
  if (bound && arguments.has("header")) {
    io.err << "tervala: the stored token is DPoP-bound: give --method and --url of the request to get its "
              "Authorization and DPoP headers\n";
    return failure;
  }
  // The value goes into a header of the caller's next request: one that would break the line
  // is not printed at all, rather than printed escaped and sent wrong.
  // (A bound token, which has no such header, is held to what a bearer token of its value is.)
  const auto header = bound
                          ? OAuthToken(token.accessToken(), "Bearer", {}, {}, {}).createAuthorizationHeader()
                          : token.createAuthorizationHeader();
  if (!header) {
    io.err << "tervala: the stored token holds characters that cannot be sent in a header\n";
    return failure;
  }
  io.out << (arguments.has("header") ? *header : token.accessToken()) << '\n' << std::flush;
  return io.out ? success : failure;
}

std::optional<int> answerTokenGetFromStore(const GlobalOptions& global, const Arguments& arguments,
                                           const Io& io) {
  auto chosen = TokenPlace::choose(global, arguments);
  auto* place = std::get_if<TokenPlace>(&chosen);
  // --keyring --allow-file says on standard error when it falls back to the file; that and any
  // other word is for the program handed to, so nothing is said twice.
  if (place == nullptr || place->mode() == StoreMode::keyringOrFile) {
    return std::nullopt;
  }
  // A refresh URL that would send the refresh token in clear is refused by the whole road even
  // when no refresh is due.
  if (const auto url = arguments.value("url"); url && isCleartextToAnotherHost(*url)) {
    return std::nullopt;
  }
  const auto found = place->retrieveToken(io);
  const auto* token = std::get_if<std::shared_ptr<OAuthToken>>(&found);
  // A bound token needs a proof signed for each request, which this program cannot make.
  if (token == nullptr || (*token)->tokenType() == "DPoP") {
    return std::nullopt;
  }
  // Good for longer than the margin a refresh is made within, as the token source judges it.
  const auto expiry = (*token)->expiresOn();
  if (expiry && *expiry <= std::chrono::system_clock::now() + TokenSource::defaultMargin) {
    return std::nullopt;
  }
  // A token no header can hold is refused here in the whole road's own words (printToken).
  return printToken(**token, arguments, io);
}

}  // namespace tervala::cli
