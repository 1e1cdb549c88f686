#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/ClientCertificate.hpp>

#include "platform/HttpTransfer.hpp"
#include "platform/SecretJson.hpp"

namespace tervala {

/// The certificate as requests present it, with what is said of it once.
struct ClientCertificate::Held : platform::TlsClientIdentity {
  std::string thumbprint;
  std::string subject;
};

/// The library's side door to a host's certificate.
struct ClientCertificateAccess {
  static std::shared_ptr<const platform::TlsClientIdentity> identity(const ClientCertificate& certificate) {
    return certificate.held_;
  }
  static ClientCertificate make(std::shared_ptr<const ClientCertificate::Held> held) {
    return ClientCertificate(std::move(held));
  }
};

/// The "cnf" member of a token reply or introspection answer.
inline constexpr std::string_view confirmationMember = "cnf";
/// The thumbprint's member inside "cnf".
inline constexpr std::string_view thumbprintMember = "x5t#S256";

/// Ties a successful token reply got with the certificate of `thumbprint` to it: a reply whose
/// "cnf" names another certificate is refused (the reason, in one line), one that names none gets
/// the certificate's. Replies with "error" or without "access_token" are left as they are.
std::optional<std::string> bindReplyToCertificate(platform::SecretJson& reply, std::string_view thumbprint);

/// The "x5t#S256" inside the "cnf" text kept among a token's further fields (compact JSON).
std::optional<std::string> thumbprintOfConfirmation(std::string_view confirmationJson);

}  // namespace tervala
