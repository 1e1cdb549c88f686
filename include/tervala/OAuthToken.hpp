#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

class Coder;
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

  /// A token; `scope` is split at every comma, keeping empty items.
  OAuthToken(std::string accessToken, std::string tokenType, std::string refreshToken, Date expiresOn,
             std::string_view scope, AdditionalData additionalData = {});
  OAuthToken(const OAuthToken&) = default;
  OAuthToken& operator=(const OAuthToken&) = default;
  OAuthToken(OAuthToken&&) = default;
  OAuthToken& operator=(OAuthToken&&) = default;
  virtual ~OAuthToken();

  /// The archive constructor: reads the six entries in order; null at the first missing or
  /// wrong-kind entry.
  static std::shared_ptr<OAuthToken> make(const Coder& coder);

  [[nodiscard]] virtual std::string accessToken() const;
  virtual void setAccessToken(std::string value);
  [[nodiscard]] virtual std::string tokenType() const;
  virtual void setTokenType(std::string value);
  [[nodiscard]] virtual std::optional<Date> expiresOn() const;
  virtual void setExpiresOn(std::optional<Date> value);
  [[nodiscard]] virtual std::optional<std::string> refreshToken() const;
  virtual void setRefreshToken(std::optional<std::string> value);
  [[nodiscard]] virtual AdditionalData additionalData() const;
  virtual void setAdditionalData(AdditionalData value);
  [[nodiscard]] virtual std::optional<Scope> scope() const;
  virtual void setScope(std::optional<Scope> value);

  /// Writes the six archive entries in order.
  virtual void encodeWithCoder(Coder& coder) const;

  /// True when `now` (the current time by default) is strictly later than `expiresOn`, and
  /// when the expiry is unknown.
  [[nodiscard]] virtual bool hasTokenExpired() const;
  [[nodiscard]] virtual bool hasTokenExpired(Date now) const;

  /// The `Authorization` header value: the token type, one blank, the access token.
  [[nodiscard]] virtual std::optional<std::string> createAuthorizationHeader() const;

  /// Archives the token into the settings store under "token"; true when it got there.
  /// A failed write leaves the earlier stored token in place. Never throws.
  virtual bool store() const;
  virtual bool store(SettingsStore& settings) const;

  /// The stored token, or null when none is stored or the stored bytes are not a readable
  /// token archive (the bytes are left untouched).
  static std::shared_ptr<OAuthToken> retrieve();
  static std::shared_ptr<OAuthToken> retrieve(SettingsStore& settings);

 private:
  std::string accessToken_;
  std::string tokenType_;
  std::optional<Date> expiresOn_;
  std::optional<std::string> refreshToken_;
  AdditionalData additionalData_;
  std::optional<Scope> scope_;
};

}  // namespace tervala
