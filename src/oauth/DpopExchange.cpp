#include "oauth/DpopExchange.hpp"

#include <algorithm>

#include <tervala/OAuthToken.hpp>

#include "oauth/DpopProof.hpp"
#include "oauth/EndpointCall.hpp"
#include "oauth/HeaderText.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {
namespace {

constexpr std::string_view nonceHeader = "DPoP-Nonce";
constexpr std::size_t maximumServers = 64;  // a bound on what a host's many servers leave here

char lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

}  // namespace

std::string originOf(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) {
    return std::string(url);
  }
  const std::size_t end = url.find_first_of("/?#", scheme + 3);
  std::string origin(url.substr(0, end));
  for (char& c : origin) {
    c = lower(c);
  }
  return origin;
}

DpopNonces& DpopNonces::shared() {
  // Never destroyed: request threads may still note a nonce while the process exits.
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
  static DpopNonces* const nonces = new DpopNonces();
  return *nonces;
}

std::optional<std::string> DpopNonces::of(std::string_view url) {
  const std::string origin = originOf(url);
  const std::lock_guard lock(mutex_);
  if (const auto found = nonces_.find(origin); found != nonces_.end()) {
    return found->second;
  }
  return std::nullopt;
}

void DpopNonces::noteReply(std::string_view url, const platform::HttpReply& reply) {
  const auto nonce = reply.header(nonceHeader);
  if (!nonce || !isDpopNonce(*nonce)) {
    return;  // never sent back: it could carry what a header must not
  }
  std::string origin = originOf(url);
  const std::lock_guard lock(mutex_);
  if (nonces_.size() >= maximumServers && !nonces_.contains(origin)) {
    nonces_.erase(nonces_.begin());
  }
  nonces_.insert_or_assign(std::move(origin), std::string(*nonce));
}

namespace {
thread_local const ProofKey* threadKey = nullptr;
}  // namespace

ProofKeyForThread::ProofKeyForThread(ProofKey key) : key_(std::move(key)), outer_(threadKey) {
  threadKey = &key_;
}

ProofKeyForThread::~ProofKeyForThread() {
  threadKey = outer_;
}

const ProofKey* ProofKeyForThread::current() noexcept {
  return threadKey;
}

std::optional<std::string> DpopExchange::prepare(platform::HttpRequest& request) const {
  const auto nonce = DpopNonces::shared().of(request.url);
  const auto proof =
      key_.proof("POST", request.url, nonce ? std::optional<std::string_view>(*nonce) : std::nullopt);
  if (!proof) {
    return proof.reason();
  }
  if (request.keptHeaders.empty()) {
    request.keptHeaders.emplace_back(nonceHeader);
  }
  std::erase_if(request.extraHeaders,
                [](const platform::SecretText& line) { return platform::view(line).starts_with("DPoP: "); });
  platform::SecretText line = platform::secretText("DPoP: ");
  line.insert(line.end(), proof->begin(), proof->end());
  request.extraHeaders.push_back(std::move(line));
  platform::debugLine(nonce ? "DPoP proof with the server's nonce" : "DPoP proof");
  return std::nullopt;
}

bool DpopExchange::retryFor(platform::HttpRequest& request, const platform::HttpReply& reply) {
  DpopNonces::shared().noteReply(request.url, reply);
  if (!asksForDpopNonce(reply)) {
    return false;
  }
  const auto nonce = reply.header(nonceHeader);
  if (!nonce || !isDpopNonce(*nonce)) {
    return false;  // nothing usable to retry with
  }
  if (retryBody_) {
    request.body = std::move(*retryBody_);  // a client assertion is used once only
    retryBody_.reset();
  }
  platform::debugLine("The server asked for a DPoP nonce: the request goes once more with it");
  return !prepare(request).has_value();
}

bool asksForDpopNonce(const platform::HttpReply& reply) {
  if (reply.transportError || reply.statusCode != 400) {
    return false;
  }
  const auto parsed = EndpointCall::jsonObject(reply);
  const auto* object = std::get_if<platform::SecretJson>(&parsed);
  if (object == nullptr) {
    return false;
  }
  const auto error = object->find("error");
  return error != object->end() && error->is_string() &&
         std::string_view(error->get_ref<const platform::SecretString&>().data(),
                          error->get_ref<const platform::SecretString&>().size()) == "use_dpop_nonce";
}

std::shared_ptr<const OAuthResult> checkedBinding(std::shared_ptr<const OAuthResult> result, bool keyed) {
  if (keyed || !result || result->hasError()) {
    return result;
  }
  const auto token = result->serializeToToken();
  if (token && HeaderText::isDpopType(token->tokenType())) {
    return errors::errorResult(Error::oauthErrorDomain, errors::oauth,
                               "The server granted a DPoP-bound token to a request made without a DPoP key",
                               std::string_view("invalid_token_type"));
  }
  return result;
}

}  // namespace tervala
