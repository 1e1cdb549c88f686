// The keyed archive reader over arbitrary bytes and over edits of a valid token archive: it yields a
// token or nothing and never crashes; a token it yields archives again to the same token. Tokens
// made from fuzzed fields survive a round trip unchanged.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthToken.hpp>

#include "FuzzCheck.hpp"

namespace {

using tervala::fuzz::require;

// Reads the fuzz input as a sequence of small values.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  std::uint64_t word() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      value = (value << 8) | byte();
    }
    return value;
  }
  // A text up to the next zero byte.
  std::string text() {
    std::string value;
    while (!empty()) {
      const auto c = static_cast<char>(data_[at_++]);
      if (c == '\0') {
        break;
      }
      value.push_back(c);
    }
    return value;
  }
  tervala::Data rest() {
    tervala::Data value(data_ + at_, data_ + size_);
    at_ = size_;
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool validUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      point = c & 0x1FU;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      point = c & 0x0FU;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      point = c & 0x07U;
    } else {
      return false;
    }
    if (i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0U) != 0x80U) {
        return false;
      }
      point = (point << 6) | (next & 0x3FU);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    if (overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

bool sameToken(const tervala::OAuthToken& a, const tervala::OAuthToken& b) {
  return a.accessToken() == b.accessToken() && a.tokenType() == b.tokenType() &&
         a.expiresOn() == b.expiresOn() && a.refreshToken() == b.refreshToken() &&
         a.additionalData() == b.additionalData() && a.scope() == b.scope();
}

const tervala::Data& validArchive() {
  static const tervala::Data archive = [] {
    const tervala::OAuthToken token("2YotnFZFEjr1zCsicMWpAA", "Bearer", "tGzv3JOkF0XG5Qx2TlKWIA",
                                    tervala::Date(std::chrono::microseconds(1767225600123456)), "read,write",
                                    {{"id_token", "eyJhbGciOi"}, {"expires_in", "3600"}});
    const auto bytes = tervala::KeyedArchiver::archivedDataWithRootObject(token);
    require(bytes.has_value(), "a plain token archives");
    return *bytes;
  }();
  return archive;
}

// Whatever the reader makes of the bytes, a token it yields must archive to the same token again.
void readArchive(const tervala::Data& bytes) {
  const auto token = tervala::KeyedUnarchiver::unarchiveObjectWithData(bytes);
  if (!token) {
    return;
  }
  const auto archive = tervala::KeyedArchiver::archivedDataWithRootObject(*token);
  require(archive.has_value(), "a token read from an archive archives again");
  const auto again = tervala::KeyedUnarchiver::unarchiveObjectWithData(*archive);
  require(again != nullptr, "a token read from an archive archives readably again");
  require(sameToken(*token, *again), "a token read from an archive archives to the same token");
}

// Edits of a valid archive, three input bytes each: overwrite, insert, erase, or cut at a place.
void editArchive(Input& input) {
  tervala::Data archive = validArchive();
  while (!input.empty()) {
    const std::uint8_t operation = input.byte();
    const std::size_t place =
        (static_cast<std::size_t>(operation >> 2) << 8 | input.byte()) % (archive.size() + 1);
    const std::uint8_t value = input.byte();
    switch (operation & 3U) {
      case 0:
        if (place < archive.size()) {
          archive[place] = value;
        }
        break;
      case 1:
        archive.insert(archive.begin() + static_cast<std::ptrdiff_t>(place), value);
        break;
      case 2:
        if (place < archive.size()) {
          archive.erase(archive.begin() + static_cast<std::ptrdiff_t>(place));
        }
        break;
      default:
        archive.resize(place);
        break;
    }
  }
  readArchive(archive);
}

// A token from fuzzed fields: archived and read back it must equal itself when every text is UTF-8
// (the form a token's texts take); other bytes may be refused but never crash.
void roundTrip(Input& input) {
  std::string accessToken = input.text();
  std::string tokenType = input.text();
  std::string refreshToken = input.text();
  const std::string scope = input.text();
  // Any microsecond a time point of the system clock can hold.
  const auto micros =
      static_cast<std::int64_t>(input.word() % 18'000'000'000'000'000ULL) - 9'000'000'000'000'000LL;
  tervala::OAuthToken::AdditionalData additionalData;
  bool utf8 = validUtf8(accessToken) && validUtf8(tokenType) && validUtf8(refreshToken) && validUtf8(scope);
  while (!input.empty()) {
    std::string key = input.text();
    std::string value = input.text();
    utf8 = utf8 && validUtf8(key) && validUtf8(value);
    additionalData.emplace(std::move(key), std::move(value));
  }
  const tervala::OAuthToken token(std::move(accessToken), std::move(tokenType), std::move(refreshToken),
                                  tervala::Date(std::chrono::microseconds(micros)), scope, additionalData);
  const std::optional<tervala::Data> archive = tervala::KeyedArchiver::archivedDataWithRootObject(token);
  if (!archive) {
    require(!utf8, "a token whose texts are UTF-8 archives");
    return;
  }
  const auto back = tervala::KeyedUnarchiver::unarchiveObjectWithData(*archive);
  if (utf8) {
    require(back != nullptr, "an archived token reads back");
    require(sameToken(token, *back), "an archived token reads back unchanged");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool silenced = [] {
    tervala::setDebugSink(nullptr);
    return true;
  }();
  (void)silenced;

  // The first byte chooses the road; raw archives start with '{' or anything else.
  Input input(data, size);
  switch (size == 0 ? 0 : data[0]) {
    case 0x01:
      input.byte();
      editArchive(input);
      break;
    case 0x02:
      input.byte();
      roundTrip(input);
      break;
    default:
      readArchive(input.rest());
      break;
  }
  return 0;
}
