#include "store/StoredTokenRefresh.hpp"

#include <algorithm>

#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>

#include "oauth/DpopExchange.hpp"
#include "oauth/HeaderText.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/LockFile.hpp"
#include "platform/SecureMemory.hpp"
#include "store/RefusalRecord.hpp"
#include "store/TokenKeyBinding.hpp"

namespace tervala {
namespace {

// How long to wait for the lock file: the holder's request ends within the context's timeout,
// and its write within the store's own wait for the database (about 5 s).
std::chrono::steady_clock::duration lockPatience() {
  constexpr double defaultTimeout = 30.0;
  constexpr double longestTimeout = 86400.0;
  const double timeout = OAuthContext::sharedInstance().timeoutInterval;
  const double seconds = timeout > 0.0 ? std::min(timeout, longestTimeout) : defaultTimeout;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds + 5.0));
}

Error oauthError(std::string_view description, std::optional<std::string_view> reason = std::nullopt) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, description, reason);
}

std::shared_ptr<OAuthToken> decode(const Data& stored) {
  Data archive = stored;
  auto token = KeyedUnarchiver::unarchiveObjectWithData(archive);
  platform::cleanse(archive.data(), archive.size());  // the archive holds the tokens in clear
  return token;
}

// The renewed token's archive, with the entries of the stored archive that the token does not
// write itself (what a host keeps with its token, such as the identity its login verified): a
// refresh renews the grant, not what the host knows of it.
std::optional<Data> renewedArchive(const OAuthToken& fresh, const Data& stored) noexcept {
  try {
    Coder coder;
    fresh.encodeWithCoder(coder);
    if (const auto kept = KeyedUnarchiver::contents(stored)) {
      for (const auto& [key, value] : kept->coder.entries()) {
        // The proof key goes with the token type that needs it: a renewed token the server no
        // longer binds is a bearer token, without it.
        if (!coder.containsValueForKey(key) && key != proofKeyArchiveKey) {
          coder.encodeObject(value, key);
        }
      }
    }
    return KeyedArchiver::archivedData(coder, OAuthToken::className);
  } catch (...) {
    return std::nullopt;
  }
}

// Wipes an archive read from the shelf on every way out.
struct WipedRead {
  TokenShelf::Read read;
  ~WipedRead() {
    if (read.archive) {
      platform::cleanse(read.archive->data(), read.archive->size());
    }
  }
};

}  // namespace

std::shared_ptr<OAuthToken> StoredTokenRefresh::read(TokenShelf& shelf) {
  const WipedRead found{shelf.read()};
  return found.read.archive ? decode(*found.read.archive) : nullptr;
}

StoredTokenRefresh::Outcome StoredTokenRefresh::run(const Usable& usable) {
  // A refusal met from now on, while this process waits its turn, is this request's answer too.
  const auto asked = std::chrono::system_clock::now();
  Outcome outcome;
  {
    // The place's own problem (a refused or damaged file, no keyring) is the one worth telling.
    const WipedRead first{shelf_.read()};
    if (first.read.problem) {
      outcome.error = oauthError("The stored token cannot be read", *first.read.problem);
      return outcome;
    }
  }
  auto turn = takeTurn(shelf_);
  if (auto* error = std::get_if<Error>(&turn)) {
    outcome.error = std::move(*error);
    return outcome;
  }
  return refreshOrAdopt(usable, *std::get<std::unique_ptr<platform::LockFile>>(turn), asked);
}

std::variant<std::unique_ptr<platform::LockFile>, Error> StoredTokenRefresh::takeTurn(TokenShelf& shelf) {
  const auto giveUp = std::chrono::steady_clock::now() + lockPatience();
  const auto file = shelf.lockFile();
  if (!file) {
    return oauthError("The token cannot be refreshed", "no folder for its lock file");
  }
  std::string why;
  auto lock = platform::LockFile::open(*file, why);
  if (!lock) {
    return oauthError("The token cannot be refreshed", why);
  }
  if (!lock->lock(giveUp)) {
    return oauthError("The token cannot be refreshed", "another process's refresh did not end in time");
  }
  return lock;
}

StoredTokenRefresh::Outcome StoredTokenRefresh::refreshOrAdopt(const Usable& usable,
                                                               const platform::LockFile& lock,
                                                               std::chrono::system_clock::time_point asked) {
  Outcome outcome;
  const WipedRead current{shelf_.read()};
  if (current.read.problem) {
    outcome.error = oauthError("The stored token cannot be read", *current.read.problem);
    return outcome;
  }
  const auto stored = current.read.archive ? decode(*current.read.archive) : nullptr;
  if (!stored) {
    outcome.error = oauthError("No stored token");
    return outcome;
  }
  if (usable(*stored)) {
    outcome.token = stored;  // another process refreshed it meanwhile, or it is still good
    return outcome;
  }
  auto refreshToken = stored->refreshToken();
  if (!refreshToken || refreshToken->empty()) {
    outcome.error = oauthError("The stored token has no refresh token");
    return outcome;
  }
  // Never the refresh token itself: only its digest goes into the file.
  const std::string print = fingerprint({url_, clientId_, *refreshToken});
  if (const auto refusal = RefusalRecord::parse(lock.record());
      refusal && refusal->fingerprint == print && refusal->at >= asked) {
    platform::cleanse(refreshToken);
    outcome.error = refusal->error;  // the request this one waited for was refused: so is this
    return outcome;
  }
  // A bound token is refreshed with proofs of its own key, and the new token is bound to it.
  auto key = stored->proofKey();
  std::optional<ProofKeyForThread> ownKey;
  if (key) {
    ownKey.emplace(*key);
  } else {
    key = OAuthContext::sharedInstance().proofKey();
  }
  const auto reply = OAuthContext::sharedInstance().refreshAccessToken(url_, clientId_, *refreshToken);
  platform::cleanse(refreshToken);
  if (!reply || reply->hasError()) {
    outcome.error = reply ? *reply->error() : oauthError("The refresh gave no result");
    (void)lock.setRecord(RefusalRecord{print, std::chrono::system_clock::now(), *outcome.error}.text());
    return outcome;
  }
  std::shared_ptr<OAuthToken> bound = reply->serializeToToken();
  if (bound && key && HeaderText::isDpopType(bound->tokenType())) {
    bound->setProofKey(key);
  }
  std::shared_ptr<const OAuthToken> fresh = std::move(bound);
  std::optional<Data> next = fresh ? renewedArchive(*fresh, *current.read.archive) : std::nullopt;
  outcome.token = std::move(fresh);
  outcome.refreshed = outcome.token != nullptr;
  if (!next) {
    outcome.error = oauthError("The refreshed token could not be stored");
    return outcome;
  }
  const auto replaced = shelf_.replace(*current.read.archive, *next);
  platform::cleanse(next->data(), next->size());
  if (replaced == TokenShelf::Replaced::failed) {
    // The endpoint has spent the stored refresh token: the new token is only in memory now.
    const auto problem = shelf_.lastProblem();
    outcome.error = oauthError("The refreshed token could not be stored",
                               problem ? std::optional<std::string_view>(*problem) : std::nullopt);
  }
  // Replaced meanwhile by a writer that is no refresher (a new login): that token stays stored,
  // and the one refreshed here is still good to hand out.
  return outcome;
}

}  // namespace tervala
