#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The kinds of value a keyed archive holds: null, text, a date (kept to the microsecond) and
/// a dictionary of text keys to text values.
using CodedDictionary = std::map<std::string, std::string>;
using CodedValue = std::variant<std::monostate, std::string, Date, CodedDictionary>;

/// The keyed entries of one archived object, in the order they were written.
///
/// An object writes itself with `encodeObject` (its `encodeWithCoder`) and reads itself back
/// with `decodeObject` (its archive constructor). `KeyedArchiver` turns the entries into bytes
/// and `KeyedUnarchiver` turns bytes back into entries.
class TERVALA_EXPORT Coder {
 public:
  using Entry = std::pair<std::string, CodedValue>;

  Coder() = default;
  Coder(const Coder&) = default;
  Coder(Coder&&) noexcept = default;
  Coder& operator=(const Coder&) = default;
  Coder& operator=(Coder&&) noexcept = default;
  /// Wipes the texts: a coder holds an object's secrets, a token's for one.
  ~Coder();
  /// Entries as given; a later entry under a key already present replaces its value in place.
  explicit Coder(std::vector<Entry> entries);

  /// Writes `value` under `key`; std::monostate writes a null entry. Writing a key again
  /// replaces its value and keeps its first position.
  void encodeObject(CodedValue value, std::string_view key);

  /// The value under `key`; null (std::monostate) when the key is missing or holds null.
  [[nodiscard]] CodedValue decodeObject(std::string_view key) const;

  /// True when `key` has an entry, a null entry included.
  [[nodiscard]] bool containsValueForKey(std::string_view key) const;

  /// The entries in the order they were first written.
  [[nodiscard]] const std::vector<Entry>& entries() const noexcept { return entries_; }

 private:
  [[nodiscard]] const Entry* find(std::string_view key) const;

  std::vector<Entry> entries_;
};

}  // namespace tervala
