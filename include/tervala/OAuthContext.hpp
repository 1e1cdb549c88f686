#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tervala/ClientAuthentication.hpp>
#include <tervala/ClientCertificate.hpp>
#include <tervala/ClientKey.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/ProofKey.hpp>
#include <tervala/ReplyProfile.hpp>
#include <tervala/ServerTrustDelegate.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The process-wide client of an OAuth 2.0 token endpoint (RFC 6749): the password,
/// authorization-code, refresh-token and client-credentials grants.
///
/// Every grant comes in two forms:
/// - asynchronous (with a `Completion`): returns at once and calls the completion exactly once:
///   on the calling thread when the URL is refused ("Invalid url") or the client cannot
///   authenticate (a client assertion without its key or secret), otherwise later on the
///   request's own thread. Completions of different requests may run at the same time. Once the
///   process has begun to exit (return from `main`, `exit()`), no completion is called any more:
///   requests still in flight are cancelled and their completions dropped.
/// - blocking (without a `Completion`): runs the same exchange on the calling thread and returns
///   its result (never null); same request, debug lines, limits, trust decisions and errors.
///
/// The settings fields are read once, when a grant starts; do not write them while another thread
/// is inside a grant.
/// Debug lines show the request body and the reply with passwords, secrets, codes and tokens
/// written as "***".
class TERVALA_EXPORT OAuthContext {
 public:
  /// A form field value: texts as they are, numbers in shortest round-trip decimal, booleans as
  /// "true" / "false".
  using ParamValue = std::variant<std::string, std::int64_t, double, bool>;
  /// Extra form fields, written into the request body in key order after the library's own.
  /// Pass a named `Params` (not a bare `{}`) to the overloads that take one.
  using Params = std::map<std::string, ParamValue, std::less<>>;
  /// Receives the one result of a grant.
  using Completion = std::function<void(std::shared_ptr<const OAuthResult>)>;
  /// The result of a blocking grant.
  using Result = std::shared_ptr<const OAuthResult>;

  /// The one instance: created on first access (also under concurrent first access), never
  /// destroyed.
  static OAuthContext& sharedInstance();

  OAuthContext(const OAuthContext&) = delete;
  OAuthContext& operator=(const OAuthContext&) = delete;
  OAuthContext(OAuthContext&&) = delete;
  OAuthContext& operator=(OAuthContext&&) = delete;

  /// Consulted about the server's certificate chain of every request; absent: default handling.
  std::shared_ptr<ServerTrustDelegate> serverTrustDelegate;
  /// Limit of each whole request, in seconds; a value that is not positive means the default 30,
  /// and no request waits longer than a day.
  double timeoutInterval = 30.0;
  /// Sent as the "scope" field, items joined by ",", when present.
  std::optional<std::vector<std::string>> scope;
  /// Sent as the "client_secret" field when present and not empty (with `form`), or in the
  /// Basic header (with `basic`); the HMAC key of `clientSecretJwt`.
  std::optional<std::string> clientSecret;
  /// How the client id and secret reach the token endpoint; `form` by default.
  ClientAuthentication clientAuthentication = ClientAuthentication::form;
  /// How success replies are read: `strict` (the default) refuses one that lacks a token field;
  /// `lenient` assumes what real servers leave out (see `ReplyProfile`).
  ReplyProfile replyProfile = ReplyProfile::strict;

  /// The key `privateKeyJwt` signs client assertions with; absent (the default): none, and such a
  /// request ends in an error result before anything is sent. Read when a request starts, as
  /// the fields are (it is held beside them: the class's layout is fixed by the binary interface).
  void setClientKey(std::optional<ClientKey> key);
  [[nodiscard]] std::optional<ClientKey> clientKey() const;
  /// The "aud" of client assertions: set it to the authorization server's issuer identifier when
  /// it is known, which names the server whatever endpoint the assertion goes to. Absent (the
  /// default): the URL the request goes to, for the grants the token endpoint's.
  void setClientAssertionAudience(std::optional<std::string> audience);
  [[nodiscard]] std::optional<std::string> clientAssertionAudience() const;

  /// The certificate and key presented to the token, device authorization, revocation and
  /// introspection endpoints when they ask for one (mutual TLS); absent (the default): none.
  /// Needed by `tlsClientAuth` and `selfSignedTlsClientAuth`. A grant made with it checks the
  /// reply's binding (see `ClientCertificate::boundThumbprint`); discovery made with it gives the
  /// server's mutual-TLS endpoint aliases. Read when a request starts.
  void setClientCertificate(std::optional<ClientCertificate> certificate);
  [[nodiscard]] std::optional<ClientCertificate> clientCertificate() const;

  /// JWT bearer grant (RFC 7523 section 2.1), for a service account: the "assertion" is a JWT
  /// signed with the context's client key, "iss" the client id, "sub" `subject` (empty: the
  /// client id), "aud" the client assertion audience (absent: `url`), valid for five minutes,
  /// with a random "jti". The client authenticates as the context says, besides. Like client
  /// credentials, its reply needs no refresh token. Without a client key it ends in an error
  /// result before anything is sent.
  void getJwtBearerToken(std::string_view url, std::string_view clientId, std::string_view subject,
                         const Params& params, Completion completion);
  /// JWT bearer grant, blocking.
  [[nodiscard]] Result getJwtBearerToken(std::string_view url, std::string_view clientId,
                                         std::string_view subject, const Params& params);
  /// The DPoP key (RFC 9449) the token requests prove possession of; absent (the default): none.
  /// With a key, every grant sends a "DPoP" proof for its token endpoint, answers a server's
  /// "use_dpop_nonce" once with the nonce it names (remembered per server for later requests),
  /// and a granted token of type "DPoP" is bound to this key (`OAuthToken::setProofKey`). A
  /// "Bearer" reply means the server binds no tokens: that token is kept as it is. A "DPoP" reply
  /// to a request without a key is an error result, since no proof could ever go with it. The
  /// authorization request of `AuthorizationRequest::make` then names the key ("dpop_jkt").
  /// Read when a request starts, as the fields are.
  void setProofKey(std::optional<ProofKey> key);
  [[nodiscard]] std::optional<ProofKey> proofKey() const;

  /// Resource-owner password grant.
  void getAccessToken(std::string_view url, std::string_view clientId, std::string_view username,
                      std::string_view password, Completion completion);
  /// Resource-owner password grant with extra form fields; "grant_type", "username" and
  /// "password" always come from the grant, never from `params`.
  void getAccessToken(std::string_view url, std::string_view clientId, std::string_view username,
                      std::string_view password, const Params& params, Completion completion);
  /// Authorization-code grant.
  void getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                      Completion completion);
  /// Authorization-code grant with extra form fields; "grant_type" and "code" come from the grant.
  void getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                      const Params& params, Completion completion);
  /// Refresh-token grant.
  void refreshAccessToken(std::string_view url, std::string_view clientId, std::string_view refreshToken,
                          Completion completion);
  /// Refresh-token grant with extra form fields; "grant_type" and "refresh_token" come from the
  /// grant.
  void refreshAccessToken(std::string_view url, std::string_view clientId, std::string_view refreshToken,
                          const Params& params, Completion completion);

  /// Client-credentials grant (RFC 6749 section 4.4): the client asks on its own behalf, so it
  /// should authenticate (`clientSecret`, `clientAuthentication`).
  void getClientAccessToken(std::string_view url, std::string_view clientId, Completion completion);
  /// Client-credentials grant with extra form fields; "grant_type" comes from the grant.
  void getClientAccessToken(std::string_view url, std::string_view clientId, const Params& params,
                            Completion completion);

  /// Resource-owner password grant, blocking.
  [[nodiscard]] Result getAccessToken(std::string_view url, std::string_view clientId,
                                      std::string_view username, std::string_view password);
  /// Resource-owner password grant with extra form fields, blocking.
  [[nodiscard]] Result getAccessToken(std::string_view url, std::string_view clientId,
                                      std::string_view username, std::string_view password,
                                      const Params& params);
  /// Authorization-code grant, blocking.
  [[nodiscard]] Result getAccessToken(std::string_view url, std::string_view clientId, std::string_view code);
  /// Authorization-code grant with extra form fields, blocking.
  [[nodiscard]] Result getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                                      const Params& params);
  /// Refresh-token grant, blocking.
  [[nodiscard]] Result refreshAccessToken(std::string_view url, std::string_view clientId,
                                          std::string_view refreshToken);
  /// Refresh-token grant with extra form fields, blocking.
  [[nodiscard]] Result refreshAccessToken(std::string_view url, std::string_view clientId,
                                          std::string_view refreshToken, const Params& params);
  /// Client-credentials grant, blocking.
  [[nodiscard]] Result getClientAccessToken(std::string_view url, std::string_view clientId);
  /// Client-credentials grant with extra form fields, blocking.
  [[nodiscard]] Result getClientAccessToken(std::string_view url, std::string_view clientId,
                                            const Params& params);

 private:
  OAuthContext() = default;
  ~OAuthContext() = default;

  struct Settings;
  using GrantFields = std::initializer_list<std::pair<std::string_view, std::string_view>>;

  // Both forms of every grant go through here: with a completion the exchange runs on a request
  // thread (and null is returned), without one on the calling thread (and its result returned).
  Result grant(std::string_view url, std::string_view clientId, const Params& params, GrantFields grantFields,
               Completion* completion);
  Result jwtBearerGrant(std::string_view url, std::string_view clientId, std::string_view subject,
                        const Params& params, Completion* completion);
  Result executeRequest(std::string url, std::string host, std::string_view clientId, const Params& params,
                        GrantFields grantFields, const Settings& settings, Completion* completion);
};

}  // namespace tervala
