#pragma once

#include <string>
#include <string_view>

namespace tervala {

/// The reply body with every value written as "***" (a bare one too) unless it stands under
/// one of the harmless keys token_type, expires_in, scope, error, error_description, error_uri,
/// at any depth, keys written with escapes included; texts and unquoted words that are no key's
/// value are masked too. Structure is kept and every blank is one space, so the text is one line;
/// hidden characters in what stays become \u escapes, so JSON stays JSON and nothing shown acts
/// on a terminal; a byte order mark is left out. A body that does not open as JSON does ("{" or
/// "[") is read as a form: name=value pieces keep their names and only the harmless values, and
/// every other piece is masked whole. Works on any text.
std::string redactReplyBody(std::string_view body);

}  // namespace tervala
