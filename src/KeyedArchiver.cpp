#include <tervala/KeyedArchiver.hpp>

#include <openssl/crypto.h>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>

#include "platform/ArchiveFormat.hpp"

namespace tervala {
namespace {

namespace archive = platform::archive;
using Document = nlohmann::ordered_json;

// Microseconds since 1970, rounded down; the earliest dates round up instead so that every
// written count converts back into a date.
std::int64_t microsecondsOf(Date date) {
  using std::chrono::microseconds;
  const auto floor = std::chrono::floor<microseconds>(date.time_since_epoch());
  const auto earliest = std::chrono::ceil<microseconds>(Date::min().time_since_epoch());
  return std::max(floor, earliest).count();
}

struct EntryWriter {
  Document& entry;
  void operator()(const std::monostate&) const { entry[archive::entryKindKey] = archive::nullKind; }
  void operator()(const std::string& text) const {
    entry[archive::entryKindKey] = archive::textKind;
    entry[archive::entryValueKey] = text;
  }
  void operator()(const Date& date) const {
    entry[archive::entryKindKey] = archive::dateKind;
    entry[archive::entryValueKey] = microsecondsOf(date);
  }
  void operator()(const CodedDictionary& dictionary) const {
    entry[archive::entryKindKey] = archive::dictionaryKind;
    entry[archive::entryValueKey] = dictionary;
  }
};

}  // namespace

std::optional<Data> KeyedArchiver::archivedData(const Coder& coder, std::string_view className) {
  try {
    Document entries = Document::array();
    for (const auto& [key, value] : coder.entries()) {
      Document entry = Document::object();
      entry[archive::entryKey] = key;
      std::visit(EntryWriter{entry}, value);
      entries.push_back(std::move(entry));
    }
    Document document = Document::object();
    document[archive::formatKey] = archive::formatName;
    document[archive::versionKey] = archiveVersion;
    document[archive::classKey] = className;
    document[archive::entriesKey] = std::move(entries);
    // The strict error handler refuses texts that are not UTF-8 rather than altering them.
    std::string text = document.dump();
    Data data(text.begin(), text.end());
    OPENSSL_cleanse(text.data(), text.size());  // only the returned copy keeps the tokens
    return data;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const OAuthToken& token) {
  try {
    Coder coder;
    token.encodeWithCoder(coder);
    return archivedData(coder, OAuthToken::className);
  } catch (...) {
    return std::nullopt;  // a derived token's encodeWithCoder may throw
  }
}

}  // namespace tervala
