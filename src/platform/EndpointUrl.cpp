#include "platform/EndpointUrl.hpp"

#include <memory>

#include "platform/CurlHandles.hpp"
#include "platform/Utf8.hpp"
#include "platform/VisibleText.hpp"

namespace tervala::platform {
std::optional<ParsedUrl> parseEndpointUrl(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  // libcurl would percent-encode or trim some of these; the endpoint text must stand as given. A
  // URL is also shown and handed to a browser: no control or format character (a BiDi override
  // makes it read as another address) and no byte that is not UTF-8.
  for (std::size_t at = 0; at < text.size();) {
    const auto point = readCodePoint(text, at);
    if (!point || point->value == ' ' || isHiddenCharacter(point->value)) {
      return std::nullopt;
    }
    at += point->length;
  }
  // The host must stand right after "scheme://": libcurl alone would read "http:///x" as host "x".
  const std::size_t authority = text.find("://");
  if (authority == std::string_view::npos || authority == 0 || authority + 3 >= text.size() ||
      text[authority + 3] == '/') {
    return std::nullopt;
  }
  if (!ensureCurlGlobalInit()) {
    return std::nullopt;
  }
  const CurlUrl url(curl_url());
  if (!url) {
    return std::nullopt;
  }
  const std::string whole(text);
  // No CURLU_DEFAULT_SCHEME and no CURLU_GUESS_SCHEME: a URL without a scheme is refused.
  if (curl_url_set(url.get(), CURLUPART_URL, whole.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return std::nullopt;
  }
  char* rawHost = nullptr;
  if (curl_url_get(url.get(), CURLUPART_HOST, &rawHost, 0) != CURLUE_OK || rawHost == nullptr) {
    return std::nullopt;
  }
  const CurlText hostText(rawHost);
  std::string host(hostText.get());
  if (host.empty()) {
    return std::nullopt;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return ParsedUrl{whole, std::move(host)};
}

}  // namespace tervala::platform
