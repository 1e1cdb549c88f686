#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Checked.hpp>
#include <tervala/export.hpp>

namespace tervala {

class OAuthToken;
struct TokenStatus;

/// The certificate and private key a client presents in the TLS handshake with the authorization
/// server (mutual TLS, RFC 8705): its proof of identity with `tls_client_auth` and
/// `self_signed_tls_client_auth`, and what the tokens it gets may be bound to. Both are
/// unencrypted PEM; the key text lives in memory that is wiped when the last copy of this value
/// goes, and reaches libcurl as a blob, never as a file. Copies share it.
class TERVALA_EXPORT ClientCertificate {
 public:
  /// The certificate of `certificatePem` (the first one; any after it go along as its chain) and
  /// the key of `keyPem`. Refused, with a reason that never quotes the texts, when either cannot
  /// be read, the key is encrypted, the key is not the certificate's, or the certificate is not
  /// valid now.
  static Checked<ClientCertificate> fromPem(std::string_view certificatePem, std::string_view keyPem);
  /// The same, read from two files (they may be one file holding both); the key text read is wiped
  /// once the value is made. Whether the key file is kept private is the caller's to check.
  static Checked<ClientCertificate> fromPemFiles(const std::string& certificatePath,
                                                 const std::string& keyPath);

  /// The certificate's SHA-256 thumbprint, Base64url without padding: the "x5t#S256" a token
  /// bound to it carries in its "cnf" member.
  [[nodiscard]] const std::string& thumbprint() const noexcept;
  /// The certificate's subject, one line (for messages).
  [[nodiscard]] const std::string& subject() const noexcept;

  /// The thumbprint a token is bound to: the "x5t#S256" of its "cnf" (kept among its further
  /// fields). A grant made with a certificate records the certificate's thumbprint there when the
  /// reply names none (the server binds such a token to the certificate of the connection), and
  /// refuses a reply that names another. Absent for a token not got over mutual TLS.
  static std::optional<std::string> boundThumbprint(const OAuthToken& token);
  /// The same read from what introspection says of a token.
  static std::optional<std::string> boundThumbprint(const TokenStatus& status);

  struct Held;  ///< the texts as the transport presents them

 private:
  friend struct ClientCertificateAccess;
  explicit ClientCertificate(std::shared_ptr<const Held> held) : held_(std::move(held)) {}
  std::shared_ptr<const Held> held_;
};

}  // namespace tervala
