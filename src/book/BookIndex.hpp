#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/OtpAccountBook.hpp>

namespace tervala::book {

/// The settings key of the index, and the key prefixes of an account's rows and keyring items.
inline constexpr std::string_view indexKey = "otp-book";
inline constexpr std::string_view secretKeyPrefix = "otp-book/key/";
inline constexpr std::string_view counterKeyPrefix = "otp-book/counter/";

/// The index as stored: a header line, then one line per account (id, place, type, issuer and
/// name, tab-separated, with '%', tab, CR and LF of the names percent-escaped). Holds no secret.
Data encodeIndex(const std::vector<OtpAccount>& accounts);
/// Absent when `data` is not an index this version wrote.
std::optional<std::vector<OtpAccount>> decodeIndex(const Data& data);

/// `text` for a reason line, escaped as the tool escapes everything it shows
/// (platform::visibleText): no name can move a cursor, reorder a line or forge another.
std::string escaped(std::string_view text);

/// "'Issuer:name'" escaped, for reasons.
std::string quotedLabel(const OtpAccount& account);

/// A fresh account id: 16 hex digits from the random generator; absent if it failed.
std::optional<std::string> freshId();

}  // namespace tervala::book
