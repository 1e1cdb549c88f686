#include <tervala/OAuthContext.hpp>

#include <unistd.h>

#include <map>
#include <system_error>
#include <utility>
#include <variant>

#include "oauth/CertificateBinding.hpp"
#include "oauth/ClientAssertion.hpp"
#include "oauth/ClientCredentials.hpp"
#include "oauth/DpopExchange.hpp"
#include "oauth/LenientReply.hpp"
#include "oauth/ReplyHandler.hpp"
#include "oauth/TokenRequestForm.hpp"
#include "platform/DebugLog.hpp"
#include "platform/EndpointUrl.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/ForkRenewedMutex.hpp"
#include "platform/HttpTransfer.hpp"
#include "platform/RequestThreads.hpp"
#include "platform/SecureMemory.hpp"
#include "platform/TransferGate.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.OAuthContext";

// Calls the host's completion, which must not take the request thread down with it.
void deliver(const OAuthContext::Completion& completion,
             const std::shared_ptr<const OAuthResult>& result) noexcept {
  if (!completion) {
    return;
  }
  try {
    completion(result);
  } catch (...) {
    // An exception has nowhere to go on a request thread; the result was delivered.
  }
}

std::shared_ptr<const OAuthResult> invalidUrlResult() {
  return errors::errorResult(Error::oauthErrorDomain, errors::oauth, "Invalid url",
                             std::string_view("Invalid url"));
}

// The exchange proper, the same for both forms: the transfer inside the gate that keeps it out
// of the libraries' cleanup at exit, then the reply handling.
std::shared_ptr<const OAuthResult> runExchange(platform::HttpRequest& request,
                                               const std::optional<LenientReply>& lenient,
                                               bool refreshTokenExpected,
                                               const std::optional<std::string>& boundTo,
                                               std::optional<DpopExchange>& dpop) noexcept {
  try {
    platform::HttpReply reply;
    {
      platform::TransferGate::Inside inside;
      if (!inside.held()) {
        return errors::errorResult(Error::urlErrorDomain, errors::url::cancelled, "cancelled",
                                   "The process is exiting.");
      }
      reply = platform::HttpTransfer::perform(request, ReplyHandler::maxBodyBytes, inside);
      // One retry at most: a server that wants yet another nonce gets its refusal back.
      if (dpop && dpop->retryFor(request, reply)) {
        reply = platform::HttpTransfer::perform(request, ReplyHandler::maxBodyBytes, inside);
        DpopNonces::shared().noteReply(request.url, reply);
      }
    }
    return checkedBinding(
        reply.transportError
            ? std::make_shared<const OAuthResult>(*reply.transportError)
            : ReplyHandler::resultFromBody(reply.statusCode, reply.body, lenient ? &*lenient : nullptr,
                                           refreshTokenExpected, boundTo ? &*boundTo : nullptr),
        dpop.has_value());
  } catch (const std::exception& error) {
    return errors::errorResult(Error::urlErrorDomain, errors::oauth, "The request failed", error.what());
  }
}

// The settings added after the class's layout was fixed, held beside the one instance.
struct LaterSettings {
  platform::ForkRenewedMutex mutex;
  AssertionSettings assertion;
  std::optional<ClientCertificate> certificate;
  std::optional<ProofKey> proofKey;
};

LaterSettings& laterSettings() {
  static LaterSettings* const held = new LaterSettings();  // NOLINT(cppcoreguidelines-owning-memory)
  return *held;
}

}  // namespace

// What a grant reads of the shared settings, taken once when it starts.
struct OAuthContext::Settings {
  double timeoutInterval;
  std::optional<std::vector<std::string>> scope;
  std::optional<platform::SecretText> clientSecret;
  std::shared_ptr<ServerTrustDelegate> serverTrustDelegate;
  ClientAuthentication clientAuthentication;
  ReplyProfile replyProfile;
};

ServerTrustDelegate::~ServerTrustDelegate() = default;

OAuthContext& OAuthContext::sharedInstance() {
  // Request threads may still use it while the process exits, so it is never destroyed.
  static OAuthContext* const instance = new OAuthContext();  // NOLINT(cppcoreguidelines-owning-memory)
  return *instance;
}

void OAuthContext::setClientKey(std::optional<ClientKey> key) {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  later.assertion.key = std::move(key);
}

std::optional<ClientKey> OAuthContext::clientKey() const {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  return later.assertion.key;
}

void OAuthContext::setClientAssertionAudience(std::optional<std::string> audience) {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  later.assertion.audience = std::move(audience);
}

std::optional<std::string> OAuthContext::clientAssertionAudience() const {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  return later.assertion.audience;
}

void OAuthContext::setClientCertificate(std::optional<ClientCertificate> certificate) {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  later.certificate = std::move(certificate);
}

std::optional<ClientCertificate> OAuthContext::clientCertificate() const {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  return later.certificate;
}

void OAuthContext::setProofKey(std::optional<ProofKey> key) {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  later.proofKey = std::move(key);
}

std::optional<ProofKey> OAuthContext::proofKey() const {
  auto& later = laterSettings();
  const std::lock_guard lock(later.mutex);
  return later.proofKey;
}

namespace {
constexpr std::string_view passwordShort = "getAccessToken(_:_:username:password:completion:)";
constexpr std::string_view passwordWithParams = "getAccessToken(_:_:username:password:params:completion:)";
constexpr std::string_view codeShort = "getAccessToken(_:_:code:completion:)";
constexpr std::string_view codeWithParams = "getAccessToken(_:_:code:params:completion:)";
constexpr std::string_view refreshShort = "refreshAccessToken(_:_:refreshToken:completion:)";
constexpr std::string_view refreshWithParams = "refreshAccessToken(_:_:refreshToken:params:completion:)";
constexpr std::string_view clientShort = "getClientAccessToken(_:_:completion:)";
constexpr std::string_view clientWithParams = "getClientAccessToken(_:_:params:completion:)";
constexpr std::string_view jwtBearerWithParams = "getJwtBearerToken(_:_:subject:params:completion:)";
constexpr std::string_view jwtBearerGrantType = "urn:ietf:params:oauth:grant-type:jwt-bearer";
// Long enough for a slow server, short enough that an assertion seen on the way soon expires.
constexpr std::chrono::seconds bearerAssertionLifetime{300};
}  // namespace

// The blocking forms write the same lines as their asynchronous twins, so a log reads the same
// whichever form the host chose.

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view username,
                                  std::string_view password, Completion completion) {
  platform::debugLine(className, passwordShort);
  getAccessToken(url, clientId, username, password, Params{}, std::move(completion));
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view username,
                                  std::string_view password, const Params& params, Completion completion) {
  platform::debugLine(className, passwordWithParams);
  static_cast<void>(grant(url, clientId, params,
                          {{"grant_type", "password"}, {"username", username}, {"password", password}},
                          &completion));
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                                  Completion completion) {
  platform::debugLine(className, codeShort);
  getAccessToken(url, clientId, code, Params{}, std::move(completion));
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                                  const Params& params, Completion completion) {
  platform::debugLine(className, codeWithParams);
  static_cast<void>(
      grant(url, clientId, params, {{"grant_type", "authorization_code"}, {"code", code}}, &completion));
}

void OAuthContext::refreshAccessToken(std::string_view url, std::string_view clientId,
                                      std::string_view refreshToken, Completion completion) {
  platform::debugLine(className, refreshShort);
  refreshAccessToken(url, clientId, refreshToken, Params{}, std::move(completion));
}

void OAuthContext::refreshAccessToken(std::string_view url, std::string_view clientId,
                                      std::string_view refreshToken, const Params& params,
                                      Completion completion) {
  platform::debugLine(className, refreshWithParams);
  static_cast<void>(grant(url, clientId, params,
                          {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}}, &completion));
}

void OAuthContext::getClientAccessToken(std::string_view url, std::string_view clientId,
                                        Completion completion) {
  platform::debugLine(className, clientShort);
  getClientAccessToken(url, clientId, Params{}, std::move(completion));
}

void OAuthContext::getClientAccessToken(std::string_view url, std::string_view clientId, const Params& params,
                                        Completion completion) {
  platform::debugLine(className, clientWithParams);
  static_cast<void>(grant(url, clientId, params, {{"grant_type", "client_credentials"}}, &completion));
}

OAuthContext::Result OAuthContext::getAccessToken(std::string_view url, std::string_view clientId,
                                                  std::string_view username, std::string_view password) {
  platform::debugLine(className, passwordShort);
  return getAccessToken(url, clientId, username, password, Params{});
}

OAuthContext::Result OAuthContext::getAccessToken(std::string_view url, std::string_view clientId,
                                                  std::string_view username, std::string_view password,
                                                  const Params& params) {
  platform::debugLine(className, passwordWithParams);
  return grant(url, clientId, params,
               {{"grant_type", "password"}, {"username", username}, {"password", password}}, nullptr);
}

OAuthContext::Result OAuthContext::getAccessToken(std::string_view url, std::string_view clientId,
                                                  std::string_view code) {
  platform::debugLine(className, codeShort);
  return getAccessToken(url, clientId, code, Params{});
}

OAuthContext::Result OAuthContext::getAccessToken(std::string_view url, std::string_view clientId,
                                                  std::string_view code, const Params& params) {
  platform::debugLine(className, codeWithParams);
  return grant(url, clientId, params, {{"grant_type", "authorization_code"}, {"code", code}}, nullptr);
}

OAuthContext::Result OAuthContext::refreshAccessToken(std::string_view url, std::string_view clientId,
                                                      std::string_view refreshToken) {
  platform::debugLine(className, refreshShort);
  return refreshAccessToken(url, clientId, refreshToken, Params{});
}

OAuthContext::Result OAuthContext::refreshAccessToken(std::string_view url, std::string_view clientId,
                                                      std::string_view refreshToken, const Params& params) {
  platform::debugLine(className, refreshWithParams);
  return grant(url, clientId, params, {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}},
               nullptr);
}

OAuthContext::Result OAuthContext::getClientAccessToken(std::string_view url, std::string_view clientId) {
  platform::debugLine(className, clientShort);
  return getClientAccessToken(url, clientId, Params{});
}

OAuthContext::Result OAuthContext::getClientAccessToken(std::string_view url, std::string_view clientId,
                                                        const Params& params) {
  platform::debugLine(className, clientWithParams);
  return grant(url, clientId, params, {{"grant_type", "client_credentials"}}, nullptr);
}

void OAuthContext::getJwtBearerToken(std::string_view url, std::string_view clientId,
                                     std::string_view subject, const Params& params, Completion completion) {
  platform::debugLine(className, jwtBearerWithParams);
  static_cast<void>(jwtBearerGrant(url, clientId, subject, params, &completion));
}

OAuthContext::Result OAuthContext::getJwtBearerToken(std::string_view url, std::string_view clientId,
                                                     std::string_view subject, const Params& params) {
  platform::debugLine(className, jwtBearerWithParams);
  return jwtBearerGrant(url, clientId, subject, params, nullptr);
}

OAuthContext::Result OAuthContext::jwtBearerGrant(std::string_view url, std::string_view clientId,
                                                  std::string_view subject, const Params& params,
                                                  Completion* completion) {
  std::variant<platform::SecretText, std::string> assertion =
      std::string("the JWT bearer grant needs a client key");
  try {
    if (const auto key = clientKey()) {
      const auto audience = clientAssertionAudience();
      const auto parsed = platform::parseEndpointUrl(url);
      const std::string_view server = audience ? std::string_view(*audience)
                                      : parsed ? std::string_view(parsed->text)
                                               : url;
      assertion = keyAssertion(
          *key, {clientId, server, subject.empty() ? clientId : subject, bearerAssertionLifetime});
    }
  } catch (const std::exception& error) {
    assertion = std::string("the assertion could not be made: ") + error.what();
  }
  if (const auto* problem = std::get_if<std::string>(&assertion)) {
    auto result = errors::errorResult(Error::oauthErrorDomain, errors::oauth, *problem);
    if (completion == nullptr) {
      return result;
    }
    deliver(*completion, result);
    return nullptr;
  }
  return grant(url, clientId, params,
               {{"grant_type", jwtBearerGrantType},
                {"assertion", platform::view(std::get<platform::SecretText>(assertion))}},
               completion);
}

OAuthContext::Result OAuthContext::grant(std::string_view url, std::string_view clientId,
                                         const Params& params, GrantFields grantFields,
                                         Completion* completion) {
  // Delivered to the completion, or returned by the blocking form.
  const auto finish = [completion](Result result) -> Result {
    if (completion == nullptr) {
      return result;
    }
    deliver(*completion, result);
    return nullptr;
  };
  try {
    // One reading of the shared fields for the whole grant.
    const Settings settings{timeoutInterval,
                            scope,
                            clientSecret ? std::optional(platform::secretText(*clientSecret)) : std::nullopt,
                            serverTrustDelegate,
                            clientAuthentication,
                            replyProfile};
    auto parsed = platform::parseEndpointUrl(url);
    if (!parsed) {
      return finish(invalidUrlResult());
    }
    return executeRequest(std::move(parsed->text), std::move(parsed->host), clientId, params, grantFields,
                          settings, completion);
  } catch (const std::exception& error) {
    // Only allocation can fail here; the caller still gets its one result.
    return finish(errors::errorResult(Error::oauthErrorDomain, errors::oauth,
                                      "The request could not be built", error.what()));
  }
}

OAuthContext::Result OAuthContext::executeRequest(std::string url, std::string host,
                                                  std::string_view clientId, const Params& params,
                                                  GrantFields grantFields, const Settings& settings,
                                                  Completion* completion) {
  platform::debugLine(className, "executeRequest(_:_:params:completion:)");

  TokenRequestForm form;
  // Read here rather than with the settings, whose layout an exported function's signature fixes;
  // still on the calling thread, when the request starts.
  const auto certificate = clientCertificate();
  const AssertionSettings assertion{clientKey(), clientAssertionAudience(), certificate.has_value()};
  const ClientCredentials credentials(settings.clientAuthentication, clientId, settings.clientSecret,
                                      assertion, url);
  if (const auto& problem = credentials.problem()) {
    auto result = errors::errorResult(Error::oauthErrorDomain, errors::oauth, *problem);
    if (completion != nullptr) {
      deliver(*completion, result);
      return nullptr;
    }
    return result;
  }
  std::optional<std::string> requestedScope;
  if (settings.scope) {
    std::string joined;
    for (std::size_t index = 0; index < settings.scope->size(); ++index) {
      joined.append(index == 0 ? "" : ",").append((*settings.scope)[index]);
    }
    requestedScope = std::move(joined);
  }
  // The grant's own fields replace the caller's of the same name, and all go in name order.
  // Only views are gathered, so the password, code or refresh token is copied nowhere but into
  // the form.
  using FieldValue = std::variant<std::string_view, const ParamValue*>;
  std::map<std::string_view, FieldValue, std::less<>> fields;
  for (const auto& [name, value] : params) {
    fields.emplace(name, &value);
  }
  for (const auto& [name, value] : grantFields) {
    fields.insert_or_assign(name, value);
  }
  const auto fill = [&](TokenRequestForm& filled, const ClientCredentials& sender) {
    sender.addTo(filled);
    if (requestedScope) {
      filled.add("scope", *requestedScope);
    }
    for (const auto& [name, value] : fields) {
      if (const auto* const text = std::get_if<std::string_view>(&value)) {
        filled.add(name, *text);
      } else {
        filled.addParam(name, *std::get<const ParamValue*>(value));
      }
    }
  };
  fill(form, credentials);
  platform::debugLine(form.debugText());
  // With a DPoP key, a server may ask for the request once more with its nonce; a client
  // assertion is used once only, so that request carries a form with a fresh one.
  std::optional<DpopExchange> dpop;
  auto key =
      ProofKeyForThread::current() != nullptr ? std::optional(*ProofKeyForThread::current()) : proofKey();
  if (key) {
    std::optional<platform::SecretText> retryBody;
    if (settings.clientAuthentication == ClientAuthentication::privateKeyJwt ||
        settings.clientAuthentication == ClientAuthentication::clientSecretJwt) {
      TokenRequestForm again;
      fill(again,
           ClientCredentials(settings.clientAuthentication, clientId, settings.clientSecret, assertion, url));
      retryBody = again.takeText();
    }
    dpop.emplace(std::move(*key), std::move(retryBody));
  }
  // What a lenient reading of the reply may assume: the refresh token a refresh grant sent and
  // the scope asked for. A client-credentials reply carries no refresh token (RFC 6749 section
  // 4.4.3) under either profile: the client asks again with its own credentials.
  const auto grantField = [&grantFields](std::string_view name) -> std::optional<std::string_view> {
    for (const auto& [field, value] : grantFields) {
      if (field == name) {
        return value;
      }
    }
    return std::nullopt;
  };
  std::optional<LenientReply> lenient;
  if (settings.replyProfile == ReplyProfile::lenient) {
    std::optional<platform::SecretText> sentRefreshToken;
    if (grantField("grant_type") == "refresh_token") {
      sentRefreshToken = platform::secretText(grantField("refresh_token").value_or(""));
    }
    lenient.emplace(std::move(sentRefreshToken), std::move(requestedScope));
  }
  // Nor does a JWT bearer reply: the service account asks again with a new assertion.
  const bool refreshTokenExpected =
      grantField("grant_type") != "client_credentials" && grantField("grant_type") != jwtBearerGrantType;
  std::optional<std::string> boundTo;

  platform::HttpRequest request{std::move(url),
                                std::move(host),
                                form.takeText(),
                                settings.timeoutInterval,
                                settings.serverTrustDelegate,
                                {}};
  if (const auto& authorization = credentials.authorization()) {
    platform::debugLine(*credentials.authorizationDebugLine());
    platform::SecretText line = platform::secretText("Authorization: ");
    line.insert(line.end(), authorization->begin(), authorization->end());
    request.extraHeaders.push_back(std::move(line));
  }
  if (certificate) {
    request.clientIdentity = ClientCertificateAccess::identity(*certificate);
    boundTo = certificate->thumbprint();
  }
  if (dpop) {
    if (const auto problem = dpop->prepare(request)) {
      auto result = errors::errorResult(Error::oauthErrorDomain, errors::oauth, *problem);
      if (completion != nullptr) {
        deliver(*completion, result);
        return nullptr;
      }
      return result;
    }
  }
  // On the calling thread, at the first grant: the exit handler must be registered after the
  // host's own initialisation of libcurl and OpenSSL. A failure is the transfer's to report.
  static_cast<void>(platform::TransferGate::prepare());
  if (completion == nullptr) {
    return runExchange(request, lenient, refreshTokenExpected, boundTo, dpop);
  }
  // Shared so that the completion survives a thread that could not be started.
  auto sharedCompletion = std::make_shared<Completion>(std::move(*completion));
  try {
    platform::RequestThreads::run([request = std::move(request), lenient = std::move(lenient),
                                   refreshTokenExpected, boundTo = std::move(boundTo), sharedCompletion,
                                   dpop = std::move(dpop)]() mutable noexcept {
      const auto result = runExchange(request, lenient, refreshTokenExpected, boundTo, dpop);
      if (platform::TransferGate::exiting()) {
        // Nobody is left to receive the result, and ending the thread would run OpenSSL's
        // per-thread cleanup under its global one: the thread waits for the process to end.
        for (;;) {
          ::pause();
        }
      }
      deliver(*sharedCompletion, result);
    });
  } catch (const std::system_error& error) {
    deliver(*sharedCompletion, errors::errorResult(Error::urlErrorDomain, errors::oauth,
                                                   "The request could not be started", error.what()));
  }
  return nullptr;
}

}  // namespace tervala
