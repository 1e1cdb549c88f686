#pragma once

namespace tervala {

/// How a client proves its identity to the token endpoint (RFC 6749 section 2.3.1).
enum class ClientAuthentication {
  /// "client_id" in the form, and "client_secret" after it when a secret is set and not empty.
  form,
  /// HTTP Basic ("client_secret_basic"): id and secret, each form-encoded, joined by ":" and
  /// Base64-encoded into an "Authorization" header; an absent secret counts as empty. The form
  /// then carries no "client_id".
  basic,
  /// A public client: only "client_id" in the form; a set secret is never sent.
  none,
  /// "private_key_jwt" (RFC 7523 section 2.2): "client_id", then "client_assertion_type" and
  /// "client_assertion", a JWT signed with the context's client key (iss and sub the client id,
  /// aud the server, a random jti, valid for 60 seconds), made afresh for every request. The
  /// secret is never sent.
  privateKeyJwt,
  /// "client_secret_jwt": the same assertion, MACed with HS256 under the client secret, which
  /// must hold at least 32 bytes; the secret itself is never sent.
  clientSecretJwt,
  /// "tls_client_auth" (RFC 8705 section 2.1): the client proves itself with the context's client
  /// certificate in the TLS handshake, issued by a CA the server trusts; the form carries
  /// "client_id" alone. Without a certificate the request is not sent.
  tlsClientAuth,
  /// "self_signed_tls_client_auth" (RFC 8705 section 2.2): the same with a certificate the
  /// server knows from the client's registration.
  selfSignedTlsClientAuth,
};

}  // namespace tervala
