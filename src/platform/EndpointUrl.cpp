#include "platform/EndpointUrl.hpp"

#include <memory>

#include "platform/CurlHandles.hpp"

namespace tervala::platform {
std::optional<ParsedUrl> parseEndpointUrl(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  for (const char c : text) {
    // libcurl would percent-encode or trim some of these; the endpoint text must stand as given.
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
      return std::nullopt;
    }
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
