#include "oauth/EndpointCall.hpp"

#include <algorithm>
#include <string>

#include "oauth/CertificateBinding.hpp"
#include "oauth/ClientCredentials.hpp"
#include "oauth/DpopExchange.hpp"
#include "oauth/ReplyHandler.hpp"
#include "oauth/ReplyRedaction.hpp"
#include "oauth/TokenRequestForm.hpp"
#include "platform/DebugLog.hpp"
#include "platform/EndpointUrl.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/JsonNesting.hpp"
#include "platform/TransferGate.hpp"
#include "platform/Utf8.hpp"

namespace tervala {
namespace {

platform::HttpReply failed(Error error) {
  platform::HttpReply reply;
  reply.transportError = std::move(error);
  return reply;
}

// The reply's code and body lines, in the grants' words, every value but the harmless ones masked.
void writeReplyLines(const platform::HttpReply& reply) {
  if (!platform::debugEnabled() || reply.transportError) {
    return;
  }
  platform::debugLine("OAuth response code: " +
                      (reply.statusCode ? std::to_string(*reply.statusCode) : std::string("nil")));
  std::string decoded =
      platform::decodeUtf8Leniently({reinterpret_cast<const char*>(reply.body.data()),
                                     std::min(reply.body.size(), ReplyHandler::maxBodyBytes)});
  platform::debugLine("OAuth response body: " + redactReplyBody(decoded));
  platform::cleanse(decoded);
}

platform::HttpReply perform(platform::HttpRequest& request, bool replyLines) {
  try {
    static_cast<void>(platform::TransferGate::prepare());
    platform::TransferGate::Inside inside;
    if (!inside.held()) {
      return failed(
          Error::make(Error::urlErrorDomain, errors::url::cancelled, "cancelled", "The process is exiting."));
    }
    auto reply = platform::HttpTransfer::perform(request, ReplyHandler::maxBodyBytes, inside);
    if (replyLines) {
      writeReplyLines(reply);
    }
    return reply;
  } catch (const std::exception& error) {
    return failed(Error::make(Error::urlErrorDomain, errors::oauth, "The request failed", error.what()));
  }
}

Error invalidUrl() {
  return Error::make(Error::oauthErrorDomain, errors::oauth, "Invalid url", std::string_view("Invalid url"));
}

}  // namespace

EndpointSettings EndpointSettings::of(const OAuthContext& context) {
  EndpointSettings settings{
      context.timeoutInterval,
      context.serverTrustDelegate,
      context.clientSecret ? std::optional(platform::secretText(*context.clientSecret)) : std::nullopt,
      context.clientAuthentication,
      {context.clientKey(), context.clientAssertionAudience(), false},
      context.replyProfile,
      std::nullopt,
      context.clientCertificate()};
  settings.assertion.certificate = settings.certificate.has_value();
  if (context.scope) {
    std::string joined;
    for (std::size_t index = 0; index < context.scope->size(); ++index) {
      joined.append(index == 0 ? "" : ",").append((*context.scope)[index]);
    }
    settings.requestedScope = std::move(joined);
  }
  return settings;
}

platform::HttpReply EndpointCall::get(std::string_view url, const EndpointSettings& settings) {
  auto parsed = platform::parseEndpointUrl(url);
  if (!parsed) {
    return failed(invalidUrl());
  }
  platform::debugLine("GET " + parsed->text);
  platform::HttpRequest request{std::move(parsed->text),  std::move(parsed->host),      {},
                                settings.timeoutInterval, settings.serverTrustDelegate, {}};
  request.get = true;
  return perform(request, true);
}

platform::HttpReply EndpointCall::getWith(std::string_view url, std::vector<platform::SecretText> headers,
                                          const EndpointSettings& settings,
                                          std::vector<std::string> keptHeaders) {
  auto parsed = platform::parseEndpointUrl(url);
  if (!parsed) {
    return failed(invalidUrl());
  }
  platform::debugLine("GET " + parsed->text);
  platform::HttpRequest request{std::move(parsed->text),  std::move(parsed->host),      {},
                                settings.timeoutInterval, settings.serverTrustDelegate, std::move(headers)};
  request.get = true;
  request.keptHeaders = std::move(keptHeaders);
  return perform(request, true);
}

platform::HttpReply EndpointCall::post(std::string_view url, std::string_view clientId, Fields fields,
                                       const EndpointSettings& settings, int cancelSignal, bool replyLines) {
  return post(url, clientId, std::span(fields.begin(), fields.size()), settings, cancelSignal, replyLines);
}

platform::HttpReply EndpointCall::post(std::string_view url, std::string_view clientId,
                                       std::span<const std::pair<std::string_view, std::string_view>> fields,
                                       const EndpointSettings& settings, int cancelSignal, bool replyLines) {
  auto parsed = platform::parseEndpointUrl(url);
  if (!parsed) {
    return failed(invalidUrl());
  }
  TokenRequestForm form;
  const ClientCredentials credentials(settings.clientAuthentication, clientId, settings.clientSecret,
                                      settings.assertion, parsed->text);
  if (const auto& problem = credentials.problem()) {
    return failed(Error::make(Error::oauthErrorDomain, errors::oauth, *problem));
  }
  credentials.addTo(form);
  for (const auto& [name, value] : fields) {
    form.add(name, value);
  }
  platform::debugLine(form.debugText());
  platform::HttpRequest request{std::move(parsed->text),  std::move(parsed->host),      form.takeText(),
                                settings.timeoutInterval, settings.serverTrustDelegate, {}};
  request.cancelSignal = cancelSignal;
  if (settings.certificate) {
    request.clientIdentity = ClientCertificateAccess::identity(*settings.certificate);
  }
  if (const auto& authorization = credentials.authorization()) {
    platform::debugLine(*credentials.authorizationDebugLine());
    platform::SecretText line = platform::secretText("Authorization: ");
    line.insert(line.end(), authorization->begin(), authorization->end());
    request.extraHeaders.push_back(std::move(line));
  }
  if (settings.proofKey) {
    if (auto problem = DpopExchange(*settings.proofKey, std::nullopt).prepare(request)) {
      return failed(Error::make(Error::oauthErrorDomain, errors::oauth, *problem));
    }
    auto reply = perform(request, replyLines);
    DpopNonces::shared().noteReply(request.url, reply);
    return reply;
  }
  return perform(request, replyLines);
}

platform::HttpReply EndpointCall::postToken(std::string_view url, std::string_view clientId,
                                            std::string_view token, std::string_view tokenTypeHint,
                                            const EndpointSettings& settings) {
  if (tokenTypeHint.empty()) {
    return post(url, clientId, {{"token", token}}, settings);
  }
  return post(url, clientId, {{"token", token}, {"token_type_hint", tokenTypeHint}}, settings);
}

std::variant<platform::SecretJson, Error> EndpointCall::jsonObject(const platform::HttpReply& reply) {
  if (reply.transportError) {
    return *reply.transportError;
  }
  if (reply.body.size() > ReplyHandler::maxBodyBytes) {
    return Error::make(Error::urlErrorDomain, errors::url::replyTooLarge,
                       "The reply is larger than " + std::to_string(ReplyHandler::maxBodyBytes) + " bytes.");
  }
  const std::string_view text(reinterpret_cast<const char*>(reply.body.data()), reply.body.size());
  if (platform::jsonNestingExceeds(text, ReplyHandler::maxJsonDepth)) {
    return Error::make(Error::cocoaErrorDomain, errors::jsonParser,
                       "The reply is not valid JSON: it is nested too deep.");
  }
  try {
    if (!platform::holdsNulByte(text)) {
      auto parsed = platform::SecretJson::parse(text);
      if (parsed.is_object()) {
        return parsed;
      }
    }
  } catch (const nlohmann::json::exception&) {
    // The parser's message may quote a piece of the reply, which may be a secret.
  }
  return Error::make(Error::cocoaErrorDomain, errors::jsonParser, "The reply is not a JSON object.");
}

Error EndpointCall::refusal(const platform::HttpReply& reply, std::string_view what) {
  auto parsed = jsonObject(reply);
  if (auto* const error = std::get_if<Error>(&parsed)) {
    if (reply.transportError) {
      return *error;
    }
  } else {
    const auto& object = std::get<platform::SecretJson>(parsed);
    const auto code = object.find("error");
    if (code != object.end() && code->is_string()) {
      const auto& reason = code->get_ref<const platform::SecretString&>();
      const auto description = object.find("error_description");
      const bool described = description != object.end() && description->is_string();
      const auto& shown = described ? description->get_ref<const platform::SecretString&>() : reason;
      return Error::make(Error::oauthErrorDomain, errors::oauth, std::string_view(shown.data(), shown.size()),
                         std::string_view(reason.data(), reason.size()));
    }
  }
  const std::string status = reply.statusCode ? std::to_string(*reply.statusCode) : std::string("no status");
  return Error::make(Error::oauthErrorDomain, errors::oauth,
                     std::string(what) + " answered with HTTP status " + status + ".");
}

}  // namespace tervala
