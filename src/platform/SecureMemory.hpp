#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervala::platform {

/// Overwrites `size` bytes at `data` in a way the compiler may not remove. Inline, so that the
/// tool and the tests may hold secrets too while the shared library exports nothing internal.
inline void cleanse(void* data, std::size_t size) noexcept {
  OPENSSL_cleanse(data, size);
}

/// An allocator that wipes every block before giving it back, so a secret leaves no copy behind
/// when its container grows, shrinks or goes, whichever way it was copied in.
template <class T>
struct CleansingAllocator {
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <class U>
  explicit CleansingAllocator(const CleansingAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
  void deallocate(T* block, std::size_t count) noexcept {
    cleanse(block, count * sizeof(T));
    std::allocator<T>{}.deallocate(block, count);
  }

  template <class U>
  bool operator==(const CleansingAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

/// Secret bytes: decoded one-time-password secrets, key material, archives holding tokens.
/// A vector has no inline buffer, so unlike a short std::string nothing stays behind on a move.
using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

/// Secret text: passwords, client secrets, codes, tokens, request and reply bodies.
using SecretText = std::vector<char, CleansingAllocator<char>>;

/// Wipes a std::string that a library handed over, in place, the inline buffer in which a short
/// text keeps its bytes included, and leaves it empty.
template <class Allocator>
void cleanse(std::basic_string<char, std::char_traits<char>, Allocator>& text) noexcept {
  text.resize(text.capacity());  // within the capacity: no new block, and the tail is covered
  cleanse(text.data(), text.size());
  text.clear();
}

/// Wipes an optional text when there is one: a refresh token.
inline void cleanse(std::optional<std::string>& text) noexcept {
  if (text) {
    cleanse(*text);
  }
}

/// Wipes the values of a reply's or token's extras, which may be tokens too (an id_token).
inline void cleanse(std::map<std::string, std::string>& extras) noexcept {
  for (auto& entry : extras) {
    cleanse(entry.second);
  }
}

/// Wipes each of a result's or token's secrets: its access token, refresh token and extras.
template <class... Secrets>
void cleanseEach(Secrets&... secrets) noexcept {
  (cleanse(secrets), ...);
}

inline SecretText secretText(std::string_view text) {
  return {text.begin(), text.end()};
}
inline std::string_view view(const SecretText& text) noexcept {
  return {text.data(), text.size()};
}

}  // namespace tervala::platform
