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
};

}  // namespace tervala
