#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Decodes Base32 text (RFC 4648 alphabet, upper or lower case). Trailing "=" padding may be
/// left out; a run of 1, 3, 4 or 6 "=" is accepted whatever the data length. Bits of the last
/// character that do not fill a byte are dropped. Absent when the text holds any other character
/// (line "String contains invalid characters.") or a data length of 1, 3 or 6 modulo 8 (line
/// "String length is invalid."); the empty text gives empty bytes.
TERVALA_EXPORT std::optional<Data> fromBase32(std::string_view text);

/// The bytes as lower-case hexadecimal text, two digits per byte, no separator.
TERVALA_EXPORT std::string fromHex(const Data& data);

/// The bytes as text: ASCII one character per byte; other bytes are read as UTF-8, and each byte
/// that is not part of a well-formed UTF-8 sequence becomes U+FFFD. Absent data gives "".
TERVALA_EXPORT std::string fromNSData(const std::optional<Data>& data);

/// The UTF-8 bytes of `text`; absent when `text` is not well-formed UTF-8.
TERVALA_EXPORT std::optional<Data> toNSData(std::string_view text);

/// The host's translation of `key` in its default GNU gettext text domain, or `key` itself when
/// there is none. `comment` is for translators and never changes the result.
TERVALA_EXPORT std::string localize(std::string_view key, std::string_view comment = {});

}  // namespace tervala
