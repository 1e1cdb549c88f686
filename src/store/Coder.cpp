#include <tervala/Coder.hpp>

#include <algorithm>

#include "platform/SecureMemory.hpp"

namespace tervala {

Coder::Coder(std::vector<Entry> entries) {
  entries_.reserve(entries.size());
  for (Entry& entry : entries) {
    encodeObject(std::move(entry.second), entry.first);
  }
}

Coder::~Coder() {
  for (auto& [key, value] : entries_) {
    if (auto* const text = std::get_if<std::string>(&value)) {
      platform::cleanse(*text);
    } else if (auto* const dictionary = std::get_if<CodedDictionary>(&value)) {
      platform::cleanse(*dictionary);
    }
  }
}

void Coder::encodeObject(CodedValue value, std::string_view key) {
  // Archives hold a handful of entries: a linear search beats any index here.
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::string(key), std::move(value));
}

const Coder::Entry* Coder::find(std::string_view key) const {
  const auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [key](const Entry& entry) { return entry.first == key; });
  return found == entries_.end() ? nullptr : &*found;
}

CodedValue Coder::decodeObject(std::string_view key) const {
  const Entry* entry = find(key);
  return entry == nullptr ? CodedValue{} : entry->second;
}

bool Coder::containsValueForKey(std::string_view key) const {
  return find(key) != nullptr;
}

}  // namespace tervala
