// The DPoP side of a token: its key, and the header pairs of the host's own resource requests.
// Kept apart from OAuthToken.cpp so that a program that only reads and prints stored tokens
// never brings in the signing code.
#include <tervala/OAuthToken.hpp>

#include <vector>

#include "oauth/DpopProof.hpp"
#include "oauth/HeaderText.hpp"
#include "store/TokenKeyBinding.hpp"

namespace tervala {
namespace {

using Pair = Checked<ProofHeaders>;

bool sameWord(std::string_view left, std::string_view right) noexcept {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(a) == lower(b);
         });
}

std::string_view trimmed(std::string_view text) noexcept {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// The items of a challenge list, cut at the commas outside quoted strings.
std::vector<std::string_view> listItems(std::string_view header) {
  std::vector<std::string_view> items;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= header.size(); ++at) {
    if (at == header.size() || (header[at] == ',' && !quoted)) {
      items.push_back(trimmed(header.substr(start, at - start)));
      start = at + 1;
    } else if (header[at] == '\\' && quoted) {
      ++at;
    } else if (header[at] == '"') {
      quoted = !quoted;
    }
  }
  return items;
}

// Whether a WWW-Authenticate value holds a DPoP challenge whose error is "use_dpop_nonce". Each
// item is a new challenge ("scheme param=value") or a further parameter of the one before.
bool isNonceChallenge(std::string_view header) {
  bool inDpop = false;
  for (std::string_view item : listItems(header)) {
    const std::size_t blank = item.find_first_of(" \t");
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos || (blank != std::string_view::npos && blank < equals)) {
      const std::string_view scheme = item.substr(0, blank);
      inDpop = sameWord(scheme, "DPoP");
      item = blank == std::string_view::npos ? std::string_view() : trimmed(item.substr(blank));
    }
    const std::size_t sign = item.find('=');
    if (!inDpop || sign == std::string_view::npos) {
      continue;
    }
    std::string_view value = trimmed(item.substr(sign + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (sameWord(trimmed(item.substr(0, sign)), "error") && value == "use_dpop_nonce") {
      return true;
    }
  }
  return false;
}

}  // namespace

void OAuthToken::setProofKey(const std::optional<ProofKey>& key) {
  if (!key) {
    TokenKeyBinding::bind(*this, std::nullopt);
    return;
  }
  std::string text = key->privateJwk();
  TokenKeyBinding::bind(*this, text);
  platform::cleanse(text);
}

std::optional<ProofKey> OAuthToken::proofKey() const {
  const auto text = TokenKeyBinding::of(*this);
  if (!text) {
    return std::nullopt;
  }
  auto key = ProofKey::fromPrivateJwk(platform::view(*text));
  if (!key) {
    return std::nullopt;
  }
  return std::move(key).value();
}

Checked<ProofHeaders> OAuthToken::createProofHeaders(std::string_view method, std::string_view url,
                                                     std::optional<std::string_view> nonce) const {
  if (!HeaderText::isDpopType(tokenType())) {
    return Pair::refuse("the token is no DPoP-bound token; its header is createAuthorizationHeader's");
  }
  const auto key = proofKey();
  if (!key) {
    return Pair::refuse("the DPoP-bound token has no readable key to prove its possession with");
  }
  std::string access = accessToken();
  auto proof = key->proof(method, url, nonce, access);
  if (!proof) {
    platform::cleanse(access);
    return Pair::refuse(proof.reason());
  }
  ProofHeaders headers("DPoP " + access, std::move(proof).value());
  platform::cleanse(access);
  return Pair::accept(std::move(headers));
}

Checked<ProofHeaders> OAuthToken::answerProofChallenge(std::string_view method, std::string_view url,
                                                       long status, std::string_view wwwAuthenticate,
                                                       std::string_view dpopNonce) const {
  if (status != 401 || !isNonceChallenge(wwwAuthenticate)) {
    return Pair::refuse("the reply is no DPoP nonce challenge (a 401 with error=\"use_dpop_nonce\")");
  }
  if (!isDpopNonce(dpopNonce)) {
    return Pair::refuse("the server's DPoP nonce is missing or holds characters a nonce may not");
  }
  return createProofHeaders(method, url, dpopNonce);
}

}  // namespace tervala
