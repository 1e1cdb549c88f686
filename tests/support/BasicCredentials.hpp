#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/Base64.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala::test {

/// The client id and secret of a request's "Authorization: Basic" header, read as an
/// authorization server does: Base64-decoded, split at the one ":", each part form-decoded.
/// Absent without such a header, or when it is malformed.
inline std::optional<std::pair<std::string, std::string>> basicCredentials(const RecordedRequest& request) {
  const auto header = request.header("Authorization");
  if (!header || !header->starts_with("Basic ")) {
    return std::nullopt;
  }
  const auto decoded = platform::decodeBase64(std::string_view(*header).substr(6));
  if (!decoded) {
    return std::nullopt;
  }
  const std::string pair(decoded->begin(), decoded->end());
  const std::size_t colon = pair.find(':');
  if (colon == std::string::npos || pair.find(':', colon + 1) != std::string::npos) {
    return std::nullopt;  // an unencoded ":" in either part
  }
  // decodeForm reads a lone "part" as a field name without a value.
  const auto decodePart = [](std::string_view part) {
    return part.empty() ? std::string() : decodeForm(part).front().first;
  };
  return std::pair(decodePart(std::string_view(pair).substr(0, colon)),
                   decodePart(std::string_view(pair).substr(colon + 1)));
}

}  // namespace tervala::test
