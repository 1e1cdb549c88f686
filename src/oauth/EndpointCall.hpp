#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <tervala/Error.hpp>
#include <tervala/OAuthContext.hpp>

#include "oauth/ClientCredentials.hpp"
#include "platform/HttpTransfer.hpp"
#include "platform/SecretJson.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

/// What a request beside the grants reads of the shared context, once, when it starts.
struct EndpointSettings {
  double timeoutInterval = 30.0;
  std::shared_ptr<ServerTrustDelegate> serverTrustDelegate;
  std::optional<platform::SecretText> clientSecret;
  ClientAuthentication clientAuthentication = ClientAuthentication::form;
  AssertionSettings assertion{};
  /// How a grant's reply is read (the device flow's polls are grants), and the scope field the
  /// grant asked for (the items joined with ","), which the lenient reading may assume.
  ReplyProfile replyProfile = ReplyProfile::strict;
  std::optional<std::string> requestedScope;
  /// Presented to endpoints that ask for a client certificate.
  std::optional<ClientCertificate> certificate;
  /// The DPoP key a token request proves (the device flow's polls); absent for the other
  /// endpoints, which bind nothing.
  std::optional<ProofKey> proofKey{};

  static EndpointSettings of(const OAuthContext& context);
};

/// One request to an endpoint of the authorization server other than a grant (metadata, device
/// authorization, revocation, introspection), on the calling thread, through the grants'
/// transport: TLS 1.2 at least, no redirects, the reply cap, the host's trust delegate, and the
/// exit gate.
class EndpointCall {
 public:
  using Fields = std::initializer_list<std::pair<std::string_view, std::string_view>>;

  /// GET of a document that holds no secrets.
  static platform::HttpReply get(std::string_view url, const EndpointSettings& settings);
  /// Form POST: the client's credentials first (form fields or a Basic header, by the settings'
  /// method), then `fields` in order. Writes the form's debug
  /// line with secrets masked, and unless `replyLines` is false (for a reply that goes to the
  /// grants' reply handler, which writes them) the reply's lines too. A readable `cancelSignal`
  /// ends the transfer as cancelled.
  static platform::HttpReply post(std::string_view url, std::string_view clientId, Fields fields,
                                  const EndpointSettings& settings, int cancelSignal = -1,
                                  bool replyLines = true);
  /// The same with fields made at run time (a pushed authorization request's).
  static platform::HttpReply post(std::string_view url, std::string_view clientId,
                                  std::span<const std::pair<std::string_view, std::string_view>> fields,
                                  const EndpointSettings& settings, int cancelSignal = -1,
                                  bool replyLines = true);
  /// GET of a protected resource (UserInfo) with the header lines that authorize it.
  static platform::HttpReply getWith(std::string_view url, std::vector<platform::SecretText> headers,
                                     const EndpointSettings& settings,
                                     std::vector<std::string> keptHeaders = {});
  /// Form POST of `token`, with its `token_type_hint` unless the hint is empty (revocation and
  /// introspection both send a token this way).
  static platform::HttpReply postToken(std::string_view url, std::string_view clientId,
                                       std::string_view token, std::string_view tokenTypeHint,
                                       const EndpointSettings& settings);
  /// The reply's body as a JSON object, or what is wrong: a transport error, a body over the cap,
  /// or a body that is not a JSON object (the parser's error).
  static std::variant<platform::SecretJson, Error> jsonObject(const platform::HttpReply& reply);
  /// An error made of an error reply's "error" (the reason) and "error_description", or of the
  /// status alone when the reply says nothing usable.
  static Error refusal(const platform::HttpReply& reply, std::string_view what);
};

}  // namespace tervala
