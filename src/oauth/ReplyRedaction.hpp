#pragma once

#include <string>
#include <string_view>

namespace tervala {

/// The reply body with every value written as "***" (a bare one too) unless it stands under
/// one of the harmless keys token_type, expires_in, scope, error, error_description, error_uri,
/// at any depth, keys written with escapes included; texts that are no key's value are masked
/// too. Every other character is kept. Works on any text, JSON or not.
std::string redactReplyBody(std::string_view body);

}  // namespace tervala
