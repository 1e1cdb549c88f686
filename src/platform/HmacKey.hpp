#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include <tervala/HmacAlgorithm.hpp>

namespace tervala::platform {

/// An HMAC key prepared once (RFC 2104): the hash states after the inner and the outer padded
/// key block. Each `sign` copies those states and runs only the message and the final blocks,
/// so one code costs the two compressions of the HMAC and nothing per key.
///
/// The prepared states are never updated after construction, so `sign` is safe from any number
/// of threads at once. They are key material and are wiped when the key goes.
class HmacKey {
 public:
  /// The largest digest, SHA-512's.
  static constexpr std::size_t maxDigestLength = 64;
  using Digest = std::array<std::uint8_t, maxDigestLength>;

  /// A key for one of the three hashes; null when the hash fails.
  static std::unique_ptr<HmacKey> make(HmacAlgorithm algorithm, std::span<const std::uint8_t> key);

  HmacKey(const HmacKey&) = delete;
  HmacKey& operator=(const HmacKey&) = delete;
  ~HmacKey();

  /// Writes the HMAC of `message` to the front of `digest`; returns the digest length, or 0 when
  /// the hash failed.
  std::size_t sign(std::span<const std::uint8_t> message, Digest& digest) const noexcept;

  /// The prepared states; defined where the hashes are.
  struct States;
  /// Takes prepared states (only `make` has them to give).
  explicit HmacKey(std::unique_ptr<States> states) noexcept;

 private:
  std::unique_ptr<States> states_;
};

}  // namespace tervala::platform
