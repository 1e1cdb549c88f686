#include <tervala/Text.hpp>

#include <libintl.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/DebugLog.hpp"
#include "platform/Utf8.hpp"
#include "text/Base32Secret.hpp"
#include "text/HexText.hpp"

namespace tervala {
namespace {

constexpr std::uint8_t invalidEntry = 255;

constexpr std::array<std::uint8_t, 256> makeBase32Table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) {
    entry = invalidEntry;
  }
  for (std::size_t letter = 0; letter < 26; ++letter) {
    table['A' + letter] = static_cast<std::uint8_t>(letter);
    table['a' + letter] = static_cast<std::uint8_t>(letter);
  }
  for (std::size_t digit = 0; digit < 6; ++digit) {
    table['2' + digit] = static_cast<std::uint8_t>(26 + digit);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> base32Table = makeBase32Table();

// Only runs of 1, 3, 4 or 6 "=" count as padding; longer runs are capped at 6 so the rest of
// the run then shows up as invalid characters before the padding.
std::size_t paddingLength(std::string_view text) {
  if (text.ends_with("======")) {
    return 6;
  }
  if (text.ends_with("====")) {
    return 4;
  }
  if (text.ends_with("===")) {
    return 3;
  }
  if (text.ends_with("=")) {
    return 1;
  }
  return 0;
}

// Writes the five bytes of one 40-bit group, keeping the first `count` of them.
void writeGroup(const std::array<std::uint8_t, 8>& v, std::uint8_t* out, std::size_t count) {
  const std::array<std::uint8_t, 5> bytes{
      static_cast<std::uint8_t>((v[0] << 3) | (v[1] >> 2)),
      static_cast<std::uint8_t>((v[1] << 6) | (v[2] << 1) | (v[3] >> 4)),
      static_cast<std::uint8_t>((v[3] << 4) | (v[4] >> 1)),
      static_cast<std::uint8_t>((v[4] << 7) | (v[5] << 2) | (v[6] >> 3)),
      static_cast<std::uint8_t>((v[6] << 5) | v[7]),
  };
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = bytes[i];
  }
}

}  // namespace

std::optional<platform::SecretBytes> decodeBase32(std::string_view text) {
  // Every accepted character before the padding is ASCII, so working on the UTF-8 bytes gives
  // the same verdicts as working on characters: a non-ASCII byte is always invalid.
  const std::size_t count = text.size();
  if (count == 0) {
    return platform::SecretBytes{};
  }
  const std::size_t padding = paddingLength(text);
  const std::size_t n = count - padding;
  for (std::size_t i = 0; i < count; ++i) {
    if (base32Table[static_cast<unsigned char>(text[i])] == invalidEntry) {
      if (i != n) {
        platform::debugLine("String contains invalid characters.");
        return std::nullopt;
      }
      break;
    }
  }
  static constexpr std::array<std::size_t, 8> extraBytes{0, 0, 1, 0, 2, 3, 0, 4};
  const std::size_t remainder = n % 8;
  if (remainder == 1 || remainder == 3 || remainder == 6) {
    platform::debugLine("String length is invalid.");
    return std::nullopt;
  }
  platform::SecretBytes out(5 * (n / 8) + extraBytes[remainder], 0);
  std::uint8_t* write = out.data();
  std::size_t at = 0;
  std::array<std::uint8_t, 8> values{};
  for (; at + 8 <= n; at += 8, write += 5) {
    for (std::size_t i = 0; i < 8; ++i) {
      values[i] = base32Table[static_cast<unsigned char>(text[at + i])];
    }
    writeGroup(values, write, 5);
  }
  if (remainder != 0) {
    values.fill(0);
    for (std::size_t i = 0; i < remainder; ++i) {
      values[i] = base32Table[static_cast<unsigned char>(text[at + i])];
    }
    writeGroup(values, write, extraBytes[remainder]);
  }
  return out;
}

std::optional<Data> fromBase32(std::string_view text) {
  auto bytes = decodeBase32(text);
  if (!bytes) {
    return std::nullopt;
  }
  return Data(bytes->begin(), bytes->end());
}

std::string fromHex(const Data& data) {
  std::string text;
  appendHex(text, data);
  return text;
}

std::string fromNSData(const std::optional<Data>& data) {
  if (!data) {
    return {};
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
  return platform::decodeUtf8Leniently(bytes);
}

std::optional<Data> toNSData(std::string_view text) {
  if (!platform::isWellFormedUtf8(text)) {
    return std::nullopt;
  }
  return Data(text.begin(), text.end());
}

std::string localize(std::string_view key, std::string_view /*comment*/) {
  // gettext("") yields a catalogue's header, and a key with a NUL byte cannot be looked up
  // whole: neither is a translation, so both stand for themselves.
  if (key.empty() || key.find('\0') != std::string_view::npos) {
    return std::string(key);
  }
  try {
    const std::string zeroTerminated(key);
    return std::string(::gettext(zeroTerminated.c_str()));
  } catch (...) {
    return std::string(key);
  }
}

}  // namespace tervala
