#pragma once

#include <string_view>

namespace tervala {

/// Checks for texts that end up in an HTTP header value built from a token.
struct HeaderText {
  /// Visible ASCII and the blank (%x20-7E), what an access token may hold.
  [[nodiscard]] static bool isAccessToken(std::string_view text) noexcept;
  /// One or more token characters (letters, digits and !#$%&'*+-.^_`|~), what a token type may
  /// hold.
  [[nodiscard]] static bool isTokenType(std::string_view text) noexcept;
  /// No control character, line break, DEL or byte beyond ASCII: safe inside one header line.
  [[nodiscard]] static bool isHeaderSafe(std::string_view text) noexcept;
  /// True for the token type "DPoP", in any case: a token that goes only with a proof.
  [[nodiscard]] static bool isDpopType(std::string_view text) noexcept;
};

}  // namespace tervala
