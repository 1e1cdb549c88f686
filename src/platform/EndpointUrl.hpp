#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tervala::platform {

/// The parts of an accepted endpoint URL that a request needs.
struct ParsedUrl {
  std::string text;  ///< the URL exactly as given
  std::string host;  ///< the host name or address, without IPv6 brackets
};

/// Accepts an absolute URL with a scheme and a host, as libcurl's URL parser reads it; refuses
/// empty text, text with a blank, a control or format character (isHiddenCharacter) or a byte
/// that is not UTF-8, and text without a scheme.
std::optional<ParsedUrl> parseEndpointUrl(std::string_view text);

/// The target URI of a request to an http or https URL (RFC 9110 section 7.1) without its query
/// and fragment, written the one way a server normalises it to: scheme and host in lower case,
/// the scheme's default port left out, the path as libcurl sends it ("/" when empty). Absent for
/// a URL `parseEndpointUrl` refuses, another scheme, user information, a character beyond
/// visible ASCII, '"' or '\'.
std::optional<std::string> httpTargetWithoutQuery(std::string_view text);

}  // namespace tervala::platform
