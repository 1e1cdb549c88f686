#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Checked.hpp>
#include <tervala/Data.hpp>
#include <tervala/ProofKey.hpp>
#include <tervala/export.hpp>

namespace tervala {

class Coder;
class SecretServiceStore;
class SettingsStore;

/// A persistable OAuth 2.0 access token: knows its expiry, builds an `Authorization` header
/// value and stores itself in the settings store under "token".
///
/// The accessors, `encodeWithCoder`, `hasTokenExpired`, `createAuthorizationHeader` and `store`
/// are virtual, so a host's derived token can change them; the others reach the fields only
/// through the accessors.
class TERVALA_EXPORT OAuthToken {
 public:
  using AdditionalData = std::map<std::string, std::string>;
  using Scope = std::vector<std::string>;

  /// The settings key under which `store` and `retrieve` keep the archive.
  static constexpr std::string_view settingsKey = "token";
  /// The class name recorded in the archive.
  static constexpr std::string_view className = "Tervala.OAuthToken";
  /// The expiry of a token whose lifetime the server did not tell (a leniently read reply
  /// without "expires_in"): the last whole second of `Date`'s range, which the archive keeps
  /// exactly. Such a token does not count as expired; the server's refusal of it is the sign to
  /// refresh it.
  static constexpr Date unknownExpiry = std::chrono::floor<std::chrono::seconds>(Date::max());

  /// The items of a scope text, cut at every comma; empty pieces stay, so "" gives one empty item.
  static Scope splitScope(std::string_view text);

  /// A token; `scope` is split at every comma, keeping empty items.
  OAuthToken(std::string accessToken, std::string tokenType, std::string refreshToken, Date expiresOn,
             std::string_view scope, AdditionalData additionalData = {});
  /// Copies and moves carry the DPoP key along.
  OAuthToken(const OAuthToken& other);
  OAuthToken& operator=(const OAuthToken& other);
  OAuthToken(OAuthToken&& other) noexcept;
  OAuthToken& operator=(OAuthToken&& other) noexcept;
  virtual ~OAuthToken();

  /// The archive constructor: reads "accessToken", "tokenType", "refreshToken" (texts),
  /// "expiresOn" (a date), "scope" (a text) and "additionalData" (a dictionary) in that order;
  /// null at the first missing, null or wrong-kind entry.
  static std::shared_ptr<OAuthToken> make(const Coder& coder);

  /// The access token the endpoint granted.
  [[nodiscard]] virtual std::string accessToken() const;
  /// Replaces the access token, unchecked.
  virtual void setAccessToken(std::string value);
  /// The token type as stored (no change of case).
  [[nodiscard]] virtual std::string tokenType() const;
  /// Replaces the token type, unchecked.
  virtual void setTokenType(std::string value);
  /// When the token expires; absent only when a host set it so.
  [[nodiscard]] virtual std::optional<Date> expiresOn() const;
  /// Replaces the expiry; absent makes the token count as expired.
  virtual void setExpiresOn(std::optional<Date> value);
  /// The refresh token; absent only when a host set it so.
  [[nodiscard]] virtual std::optional<std::string> refreshToken() const;
  /// Replaces the refresh token; a token without one is stored but cannot be retrieved.
  virtual void setRefreshToken(std::optional<std::string> value);
  /// The reply's further fields, text to text.
  [[nodiscard]] virtual AdditionalData additionalData() const;
  /// Replaces the further fields.
  virtual void setAdditionalData(AdditionalData value);
  /// The granted scope items; absent only when a host set it so.
  [[nodiscard]] virtual std::optional<Scope> scope() const;
  /// Replaces the scope items; they are joined with "," when archived.
  virtual void setScope(std::optional<Scope> value);

  /// Writes the six archive entries in order, through the accessors; an absent field becomes a
  /// null entry and the scope items are joined with ",". A token bound to a DPoP key adds a
  /// seventh, "proofKey" (a secret, like the tokens).
  virtual void encodeWithCoder(Coder& coder) const;

  /// True when `now` (the current time by default) is strictly later than `expiresOn`, and
  /// when the expiry is unknown.
  [[nodiscard]] virtual bool hasTokenExpired() const;
  [[nodiscard]] virtual bool hasTokenExpired(Date now) const;

  /// The `Authorization` header value: the token type, one blank, the access token. Absent when
  /// either holds a control character, a line break, DEL or a byte beyond ASCII, which would
  /// let the value add headers of its own to the host's request. Absent for a DPoP-bound token
  /// (token type "DPoP"): it is worth nothing without its proof, and a header without one is
  /// what a server that also takes bearer tokens could be sent by mistake; `createProofHeaders`
  /// gives the header pair instead.
  [[nodiscard]] virtual std::optional<std::string> createAuthorizationHeader() const;

  /// Binds the token to the DPoP key its grant proved possession of (absent: unbinds it). The
  /// key is archived with the token (under "proofKey", the private JWK) and wiped with it; it is
  /// never part of `additionalData`. Not virtual: the key is held beside the token.
  void setProofKey(const std::optional<ProofKey>& key);
  /// The key the token is bound to; absent for a bearer token, or when the stored key cannot be
  /// read.
  [[nodiscard]] std::optional<ProofKey> proofKey() const;
  /// The header pair of one resource request with a DPoP-bound token: "Authorization: DPoP
  /// <token>" and a fresh "DPoP" proof for `method` and `url` with the token's hash ("ath"), and
  /// the resource server's `nonce` when it asked for one. Refused for a token of another type,
  /// one without its key, or a value no header can carry.
  [[nodiscard]] Checked<ProofHeaders> createProofHeaders(
      std::string_view method, std::string_view url,
      std::optional<std::string_view> nonce = std::nullopt) const;
  /// The header pair again after a resource server's nonce challenge: its `status` (401),
  /// `wwwAuthenticate` header (scheme DPoP, error "use_dpop_nonce") and `dpopNonce` header. A
  /// reply that is no such challenge, or a nonce that may not be sent back, is refused.
  [[nodiscard]] Checked<ProofHeaders> answerProofChallenge(std::string_view method, std::string_view url,
                                                           long status, std::string_view wwwAuthenticate,
                                                           std::string_view dpopNonce) const;

  /// Archives the token into the settings store (`SettingsStore::standard()` unless one is
  /// given) under "token"; true when it got there. A failed write leaves the earlier stored
  /// token in place. Never throws.
  virtual bool store() const noexcept;
  virtual bool store(SettingsStore& settings) const noexcept;

  /// A new token read from the settings store (`SettingsStore::standard()` unless one is
  /// given), or null when none is stored or the stored bytes are not a readable token archive
  /// (the bytes are left untouched). Never throws.
  static std::shared_ptr<OAuthToken> retrieve() noexcept;
  static std::shared_ptr<OAuthToken> retrieve(SettingsStore& settings) noexcept;

  /// The same archive kept in the desktop's keyring under "token" instead of a file; true when
  /// the keyring has it, else `keyring.lastProblem()` says why (nothing is written elsewhere).
  /// Not virtual: it archives through `encodeWithCoder`. Never throws.
  bool store(SecretServiceStore& keyring) const noexcept;
  /// A new token read from the keyring, or null when none is there, the keyring cannot be read
  /// (`keyring.lastProblem()` says why) or the value is not a readable token archive. Never throws.
  static std::shared_ptr<OAuthToken> retrieve(SecretServiceStore& keyring) noexcept;

 private:
  std::string accessToken_;
  std::string tokenType_;
  std::optional<Date> expiresOn_;
  std::optional<std::string> refreshToken_;
  AdditionalData additionalData_;
  std::optional<Scope> scope_;
};

}  // namespace tervala
