#include "tokens/TokenDpop.hpp"

#include <ostream>
#include <string>

#include "frame/Arguments.hpp"
#include "frame/VisibleText.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::cli {

std::optional<UsageError> configureDpop(OAuthContext& context, const Arguments& arguments) {
  context.setProofKey(std::nullopt);
  const auto algorithm = arguments.value("dpop-alg");
  if (!arguments.has("dpop")) {
    return algorithm ? std::optional(UsageError{"--dpop-alg needs --dpop"}) : std::nullopt;
  }
  auto chosen = ProofKey::Algorithm::es256;
  if (algorithm && *algorithm == "EdDSA") {
    chosen = ProofKey::Algorithm::eddsa;
  } else if (algorithm && *algorithm != "ES256") {
    return UsageError{"--dpop-alg takes ES256 or EdDSA, not '" + visible(*algorithm) + "'"};
  }
  auto key = ProofKey::generate(chosen);
  if (!key) {
    return UsageError{"no DPoP key could be made: " + key.reason()};
  }
  context.setProofKey(std::move(key).value());
  return std::nullopt;
}

void bindGranted(OAuthToken& token, const OAuthContext& context, std::ostream& warnings) {
  const auto key = context.proofKey();
  if (!key) {
    return;  // the library refuses a DPoP token granted without a key
  }
  const auto type = token.tokenType();
  if (type == "DPoP") {
    token.setProofKey(key);
  } else {
    warnings << "tervala: the server granted a " << visible(type)
             << " token, not a DPoP-bound one: it binds no tokens to keys\n";
  }
}

int printRequestHeaders(const OAuthToken& token, const Arguments& arguments, const Io& io) {
  const auto method = arguments.value("method");
  const auto url = arguments.value("url");
  if (!method || !url) {
    return refuse(io, UsageError{"--method needs --url, the URL of the request the headers are for"});
  }
  if (token.tokenType() != "DPoP") {
    const auto header = token.createAuthorizationHeader();
    if (!header) {
      io.err << "tervala: the stored token holds characters that cannot be sent in a header\n";
      return failure;
    }
    io.out << "Authorization: " << *header << '\n' << std::flush;
    return io.out ? success : failure;
  }
  const auto pair = token.createProofHeaders(*method, *url);
  if (!pair) {
    io.err << "tervala: no DPoP headers: " << visible(pair.reason()) << '\n';
    return failure;
  }
  io.out << "Authorization: " << pair->authorization << "\nDPoP: " << pair->dpop << '\n' << std::flush;
  return io.out ? success : failure;
}

}  // namespace tervala::cli
