#pragma once

#include <string_view>

namespace tervala::platform {

// The fixed texts of the keyed archive document, shared by its writer and its reader.
namespace archive {
constexpr std::string_view formatKey = "format";
constexpr std::string_view formatName = "Tervala.KeyedArchive";
constexpr std::string_view versionKey = "version";
constexpr std::string_view classKey = "class";
constexpr std::string_view entriesKey = "entries";
constexpr std::string_view entryKey = "key";
constexpr std::string_view entryKindKey = "kind";
constexpr std::string_view entryValueKey = "value";
constexpr std::string_view nullKind = "null";
constexpr std::string_view textKind = "text";
constexpr std::string_view dateKind = "date";  // microseconds since 1970-01-01 00:00:00 UTC
constexpr std::string_view dictionaryKind = "dictionary";
}  // namespace archive

}  // namespace tervala::platform
