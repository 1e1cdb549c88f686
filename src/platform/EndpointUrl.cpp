#include "platform/EndpointUrl.hpp"

#include <algorithm>
#include <memory>

#include "platform/CurlHandles.hpp"
#include "platform/Utf8.hpp"
#include "platform/VisibleText.hpp"

namespace tervala::platform {
namespace {

/// libcurl's reading of an endpoint URL after the checks of `parseEndpointUrl`.
CurlUrl readUrl(std::string_view text) {
  if (text.empty()) {
    return nullptr;
  }
  // libcurl would percent-encode or trim some of these; the endpoint text must stand as given. A
  // URL is also shown and handed to a browser: no control or format character (a BiDi override
  // makes it read as another address) and no byte that is not UTF-8.
  for (std::size_t at = 0; at < text.size();) {
    const auto point = readCodePoint(text, at);
    if (!point || point->value == ' ' || isHiddenCharacter(point->value)) {
      return nullptr;
    }
    at += point->length;
  }
  // The host must stand right after "scheme://": libcurl alone would read "http:///x" as host "x".
  const std::size_t authority = text.find("://");
  if (authority == std::string_view::npos || authority == 0 || authority + 3 >= text.size() ||
      text[authority + 3] == '/') {
    return nullptr;
  }
  if (!ensureCurlGlobalInit()) {
    return nullptr;
  }
  CurlUrl url(libcurl().url());
  const std::string whole(text);
  // No CURLU_DEFAULT_SCHEME and no CURLU_GUESS_SCHEME: a URL without a scheme is refused.
  if (!url ||
      libcurl().urlSet(url.get(), CURLUPART_URL, whole.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return nullptr;
  }
  return url;
}

/// One part of a read URL; absent when the URL has none.
std::optional<std::string> partOf(const CurlUrl& url, CURLUPart part, unsigned int flags = 0) {
  char* raw = nullptr;
  if (libcurl().urlGet(url.get(), part, &raw, flags) != CURLUE_OK || raw == nullptr) {
    return std::nullopt;
  }
  const CurlText text(raw);
  return std::string(text.get());
}

}  // namespace

std::optional<ParsedUrl> parseEndpointUrl(std::string_view text) {
  const CurlUrl url = readUrl(text);
  auto host = url ? partOf(url, CURLUPART_HOST) : std::nullopt;
  if (!host || host->empty()) {
    return std::nullopt;
  }
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  return ParsedUrl{std::string(text), std::move(*host)};
}

std::optional<std::string> httpTargetWithoutQuery(std::string_view text) {
  // Visible ASCII only: the target is compared by the server as it stands, and a host or path
  // beyond ASCII would be converted on the way out. No URI holds '"' or '\' either, so the
  // target goes into JSON text as it is.
  if (!std::all_of(text.begin(), text.end(),
                   [](char c) { return c > ' ' && c < 0x7F && c != '"' && c != '\\'; })) {
    return std::nullopt;
  }
  const CurlUrl url = readUrl(text);
  if (!url || partOf(url, CURLUPART_USER) || partOf(url, CURLUPART_PASSWORD)) {
    return std::nullopt;  // user information is never part of a target
  }
  const auto scheme = partOf(url, CURLUPART_SCHEME);  // libcurl writes it in lower case
  auto host = partOf(url, CURLUPART_HOST);
  const auto path = partOf(url, CURLUPART_PATH);  // "/" for an empty path, dot segments removed
  if (!scheme || (*scheme != "https" && *scheme != "http") || !host || host->empty() || !path) {
    return std::nullopt;
  }
  std::transform(host->begin(), host->end(), host->begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  std::string target = *scheme + "://" + *host;
  if (const auto port = partOf(url, CURLUPART_PORT, CURLU_NO_DEFAULT_PORT)) {
    target += ':' + *port;
  }
  return target + *path;
}

}  // namespace tervala::platform
