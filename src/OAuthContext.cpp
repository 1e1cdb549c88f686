#include <tervala/OAuthContext.hpp>

#include <openssl/crypto.h>

#include <system_error>
#include <thread>
#include <utility>

#include "ReplyHandler.hpp"
#include "TokenRequestForm.hpp"
#include "platform/DebugLog.hpp"
#include "platform/HttpTransfer.hpp"
#include "platform/UrlCheck.hpp"

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
  return std::make_shared<const OAuthResult>(
      Error::make(Error::oauthErrorDomain, -1, "Invalid url", std::string_view("Invalid url")));
}

}  // namespace

ServerTrustDelegate::~ServerTrustDelegate() = default;

OAuthContext& OAuthContext::sharedInstance() {
  // Request threads may still use it while the process exits, so it is never destroyed.
  static OAuthContext* const instance = new OAuthContext();  // NOLINT(cppcoreguidelines-owning-memory)
  return *instance;
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view username,
                                  std::string_view password, Completion completion) {
  platform::debugLine(className, "getAccessToken(_:_:username:password:completion:)");
  getAccessToken(url, clientId, username, password, Params{}, std::move(completion));
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view username,
                                  std::string_view password, const Params& params, Completion completion) {
  platform::debugLine(className, "getAccessToken(_:_:username:password:params:completion:)");
  grant(url, clientId, params, {{"grant_type", "password"}, {"username", username}, {"password", password}},
        std::move(completion));
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                                  Completion completion) {
  platform::debugLine(className, "getAccessToken(_:_:code:completion:)");
  getAccessToken(url, clientId, code, Params{}, std::move(completion));
}

void OAuthContext::getAccessToken(std::string_view url, std::string_view clientId, std::string_view code,
                                  const Params& params, Completion completion) {
  platform::debugLine(className, "getAccessToken(_:_:code:params:completion:)");
  grant(url, clientId, params, {{"grant_type", "authorization_code"}, {"code", code}}, std::move(completion));
}

void OAuthContext::refreshAccessToken(std::string_view url, std::string_view clientId,
                                      std::string_view refreshToken, Completion completion) {
  platform::debugLine(className, "refreshAccessToken(_:_:refreshToken:completion:)");
  refreshAccessToken(url, clientId, refreshToken, Params{}, std::move(completion));
}

void OAuthContext::refreshAccessToken(std::string_view url, std::string_view clientId,
                                      std::string_view refreshToken, const Params& params,
                                      Completion completion) {
  platform::debugLine(className, "refreshAccessToken(_:_:refreshToken:params:completion:)");
  grant(url, clientId, params, {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}},
        std::move(completion));
}

void OAuthContext::grant(std::string_view url, std::string_view clientId, const Params& params,
                         std::initializer_list<std::pair<std::string_view, std::string_view>> grantFields,
                         Completion completion) {
  try {
    auto parsed = platform::parseEndpointUrl(url);
    if (!parsed) {
      deliver(completion, invalidUrlResult());
      return;
    }
    Params fields = params;  // the caller's map stays as it was
    for (const auto& [name, value] : grantFields) {
      fields.insert_or_assign(std::string(name), std::string(value));
    }
    executeRequest(std::move(parsed->text), std::move(parsed->host), clientId, fields, completion);
  } catch (const std::exception& error) {
    // Only allocation can fail here; the caller still gets its one result.
    deliver(completion, std::make_shared<const OAuthResult>(Error::make(Error::oauthErrorDomain, -1,
                                                                        "The request could not be built",
                                                                        std::string_view(error.what()))));
  }
}

void OAuthContext::executeRequest(std::string url, std::string host, std::string_view clientId,
                                  const Params& params, Completion& completion) {
  platform::debugLine(className, "executeRequest(_:_:params:completion:)");

  TokenRequestForm form;
  form.add("client_id", clientId);
  if (clientSecret && !clientSecret->empty()) {
    form.add("client_secret", *clientSecret);
  }
  if (scope) {
    std::string joined;
    for (std::size_t index = 0; index < scope->size(); ++index) {
      joined.append(index == 0 ? "" : ",").append((*scope)[index]);
    }
    form.add("scope", joined);
  }
  for (const auto& [name, value] : params) {
    form.addParam(name, value);
  }
  platform::debugLine(form.debugText());

  platform::HttpRequest request{std::move(url), std::move(host), form.takeText(), timeoutInterval,
                                serverTrustDelegate};
  // Shared so that the completion survives a thread that could not be started.
  auto sharedCompletion = std::make_shared<Completion>(std::move(completion));
  try {
    std::thread([request = std::move(request), sharedCompletion]() mutable noexcept {
      try {
        const platform::HttpReply reply =
            platform::HttpTransfer::perform(request, ReplyHandler::maxBodyBytes);
        OPENSSL_cleanse(request.body.data(), request.body.size());  // it holds the grant's secrets
        // This thread's TLS work is over: release OpenSSL's per-thread state now, before the
        // completion lets the host go on (and perhaps exit) while the thread is still ending.
        OPENSSL_thread_stop();
        const auto result = reply.transportError ? std::make_shared<const OAuthResult>(*reply.transportError)
                                                 : ReplyHandler::resultFromBody(reply.statusCode, reply.body);
        deliver(*sharedCompletion, result);
      } catch (const std::exception& error) {
        deliver(*sharedCompletion,
                std::make_shared<const OAuthResult>(Error::make(
                    Error::urlErrorDomain, -1, "The request failed", std::string_view(error.what()))));
      }
    }).detach();
  } catch (const std::system_error& error) {
    deliver(*sharedCompletion, std::make_shared<const OAuthResult>(
                                   Error::make(Error::urlErrorDomain, -1, "The request could not be started",
                                               std::string_view(error.what()))));
  }
}

}  // namespace tervala
