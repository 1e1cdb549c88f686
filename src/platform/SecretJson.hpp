#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {

/// Text whose heap buffer is wiped when it goes (a short one stays inline: see `SecretJson`).
using SecretString = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

/// A JSON document that holds secrets: every block it or its parser frees is wiped, the string
/// objects (with the inline bytes of short texts) and the parser's token buffer included.
using SecretJson = nlohmann::basic_json<std::map, std::vector, SecretString, bool, std::int64_t,
                                        std::uint64_t, double, CleansingAllocator>;

/// Wipes, in place, every string value (not the keys) of a document of a kind that does not wipe
/// itself; to be called before it goes.
template <class Json>
void cleanseStrings(Json& value) noexcept {
  if (auto* const text = value.template get_ptr<typename Json::string_t*>()) {
    cleanse(*text);
  } else if (auto* const array = value.template get_ptr<typename Json::array_t*>()) {
    for (auto& element : *array) {
      cleanseStrings(element);
    }
  } else if (auto* const object = value.template get_ptr<typename Json::object_t*>()) {
    for (auto& member : *object) {
      cleanseStrings(member.second);
    }
  }
}

/// A document of the host's kind with the values of `secret`; the caller wipes it with
/// `cleanseStrings` when done with it.
nlohmann::json plainCopy(const SecretJson& secret);

}  // namespace tervala::platform
