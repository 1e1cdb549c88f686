#include <tervala/KeyedUnarchiver.hpp>

#include <limits>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/OAuthToken.hpp>

#include "platform/ArchiveFormat.hpp"
#include "platform/JsonNesting.hpp"
#include "platform/SecretJson.hpp"

namespace tervala {
namespace {

namespace archive = platform::archive;
// The archive holds the tokens: the parser's buffers and the document wipe themselves.
using json = platform::SecretJson;
using Text = json::string_t;

std::string plainText(const Text& text) {
  return {text.data(), text.size()};
}

const json* member(const json& object, std::string_view key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

const Text* textMember(const json& object, std::string_view key) {
  const json* value = member(object, key);
  return value != nullptr && value->is_string() ? &value->get_ref<const Text&>() : nullptr;
}

std::optional<Date> dateFrom(const json& value) {
  using std::chrono::microseconds;
  if (!value.is_number_integer()) {
    return std::nullopt;
  }
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  const auto count = value.get<std::int64_t>();
  const auto earliest = std::chrono::ceil<microseconds>(Date::min().time_since_epoch()).count();
  const auto latest = std::chrono::floor<microseconds>(Date::max().time_since_epoch()).count();
  if (count < earliest || count > latest) {
    return std::nullopt;
  }
  return Date(std::chrono::duration_cast<Date::duration>(microseconds(count)));
}

std::optional<CodedDictionary> dictionaryFrom(const json& value) {
  if (!value.is_object()) {
    return std::nullopt;
  }
  CodedDictionary dictionary;
  for (const auto& [key, item] : value.items()) {
    if (!item.is_string()) {
      return std::nullopt;
    }
    dictionary.emplace(plainText(key), plainText(item.get_ref<const Text&>()));
  }
  return dictionary;
}

std::optional<CodedValue> valueFrom(const json& entry) {
  const Text* kind = textMember(entry, archive::entryKindKey);
  if (kind == nullptr) {
    return std::nullopt;
  }
  const json* value = member(entry, archive::entryValueKey);
  const std::size_t expectedSize = value == nullptr ? 2 : 3;
  if (entry.size() != expectedSize) {
    return std::nullopt;  // unknown members: not an entry this version writes
  }
  if (*kind == archive::nullKind) {
    return value == nullptr ? std::optional<CodedValue>(CodedValue{}) : std::nullopt;
  }
  if (value == nullptr) {
    return std::nullopt;
  }
  if (*kind == archive::textKind) {
    return value->is_string() ? std::optional<CodedValue>(plainText(value->get_ref<const Text&>()))
                              : std::nullopt;
  }
  if (*kind == archive::dateKind) {
    const auto date = dateFrom(*value);
    return date ? std::optional<CodedValue>(*date) : std::nullopt;
  }
  if (*kind == archive::dictionaryKind) {
    auto dictionary = dictionaryFrom(*value);
    return dictionary ? std::optional<CodedValue>(std::move(*dictionary)) : std::nullopt;
  }
  return std::nullopt;
}

std::optional<KeyedUnarchiver::Contents> contentsOf(const json& document) {
  if (!document.is_object() || document.size() != 4) {
    return std::nullopt;
  }
  const Text* format = textMember(document, archive::formatKey);
  const json* version = member(document, archive::versionKey);
  const Text* className = textMember(document, archive::classKey);
  const json* entries = member(document, archive::entriesKey);
  if (format == nullptr || *format != archive::formatName || version == nullptr ||
      !version->is_number_integer() || version->get<std::int64_t>() != KeyedArchiver::archiveVersion ||
      className == nullptr || entries == nullptr || !entries->is_array()) {
    return std::nullopt;
  }
  std::vector<Coder::Entry> decoded;
  decoded.reserve(entries->size());
  std::set<std::string, std::less<>> seen;
  for (const json& entry : *entries) {
    if (!entry.is_object()) {
      return std::nullopt;
    }
    const Text* key = textMember(entry, archive::entryKey);
    if (key == nullptr || !seen.insert(plainText(*key)).second) {
      return std::nullopt;  // a key twice would make the archive ambiguous
    }
    auto value = valueFrom(entry);
    if (!value) {
      return std::nullopt;
    }
    decoded.emplace_back(plainText(*key), std::move(*value));
  }
  return KeyedUnarchiver::Contents{plainText(*className), Coder(std::move(decoded))};
}

}  // namespace

std::optional<KeyedUnarchiver::Contents> KeyedUnarchiver::contents(const Data& data) noexcept {
  try {
    if (data.empty() || data.size() > maxArchiveSize ||
        platform::jsonNestingExceeds(
            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), maxNesting)) {
      return std::nullopt;
    }
    const json document = json::parse(data.begin(), data.end(), nullptr, false);
    if (document.is_discarded()) {
      return std::nullopt;
    }
    return contentsOf(document);
  } catch (...) {
    return std::nullopt;
  }
}

std::shared_ptr<OAuthToken> KeyedUnarchiver::unarchiveObjectWithData(const Data& data) noexcept {
  try {
    const auto read = contents(data);
    if (!read || read->className != OAuthToken::className) {
      return nullptr;
    }
    return OAuthToken::make(read->coder);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tervala
