#pragma once

#include <string>
#include <string_view>

namespace tervala {

/// The reply body with the string values under "access_token", "refresh_token" and "id_token"
/// written as "***", at any depth; every other character is kept. Works on any text, JSON or not.
std::string redactReplyBody(std::string_view body);

}  // namespace tervala
