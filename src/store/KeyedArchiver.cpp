#include <tervala/KeyedArchiver.hpp>

#include <nlohmann/json.hpp>
#include <ostream>
#include <streambuf>
#include <tervala/OAuthToken.hpp>

#include "platform/ArchiveFormat.hpp"
#include "platform/SecretJson.hpp"
#include "platform/SecureMemory.hpp"

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

// The archive's text, written straight into wiped memory: a std::string would leave the tokens
// in every block it outgrows.
class SecretTextBuffer : public std::streambuf {
 public:
  explicit SecretTextBuffer(platform::SecretText& text) : text_(text) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      text_.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char_type* s, std::streamsize count) override {
    text_.insert(text_.end(), s, s + count);
    return count;
  }

 private:
  platform::SecretText& text_;
};

// The document holds copies of the tokens: wiped in place when it goes.
struct WipedDocument {
  Document value;
  explicit WipedDocument(Document initial) noexcept : value(std::move(initial)) {}
  WipedDocument(const WipedDocument&) = delete;
  WipedDocument& operator=(const WipedDocument&) = delete;
  ~WipedDocument() { platform::cleanseStrings(value); }
};

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

std::optional<Data> KeyedArchiver::archivedData(const Coder& coder, std::string_view className) noexcept {
  try {
    WipedDocument document(Document::object());
    document.value[archive::formatKey] = archive::formatName;
    document.value[archive::versionKey] = archiveVersion;
    document.value[archive::classKey] = className;
    Document& entries = document.value[archive::entriesKey] = Document::array();
    entries.get_ref<Document::array_t&>().reserve(coder.entries().size());  // moved in, never regrown
    for (const auto& [key, value] : coder.entries()) {
      Document& entry = entries.emplace_back(Document::object());
      entry[archive::entryKey] = key;
      std::visit(EntryWriter{entry}, value);
    }
    // A stream writes with the strict error handler, which refuses texts that are not UTF-8
    // rather than altering them.
    platform::SecretText text;
    SecretTextBuffer buffer(text);
    std::ostream out(&buffer);
    out.exceptions(std::ios::badbit);
    out << document.value;
    return Data(text.begin(), text.end());  // only the returned copy keeps the tokens
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const OAuthToken& token) noexcept {
  try {
    Coder coder;
    token.encodeWithCoder(coder);
    return archivedData(coder, OAuthToken::className);
  } catch (...) {
    return std::nullopt;  // a derived token's encodeWithCoder may throw
  }
}

}  // namespace tervala
