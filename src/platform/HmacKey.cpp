// The HMAC runs on the low-level SHA contexts: copying a prepared context is a plain struct copy,
// whereas every EVP route (EVP_MAC_CTX_dup, EVP_MD_CTX_copy_ex) allocates and goes through the
// provider per code, which costs several times the two compressions (see bench/README.md).
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/HmacKey.hpp"

#include <openssl/sha.h>

#include <algorithm>
#include <variant>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {
namespace {

// One hash's low-level interface, so the HMAC below is written once for the three.
struct Sha1 {
  using Context = SHA_CTX;
  static constexpr std::size_t blockSize = SHA_CBLOCK;
  static constexpr std::size_t digestLength = SHA_DIGEST_LENGTH;
  static int init(Context* c) { return SHA1_Init(c); }
  static int update(Context* c, const void* d, std::size_t n) { return SHA1_Update(c, d, n); }
  static int final(std::uint8_t* out, Context* c) { return SHA1_Final(out, c); }
};
struct Sha256 {
  using Context = SHA256_CTX;
  static constexpr std::size_t blockSize = SHA256_CBLOCK;
  static constexpr std::size_t digestLength = SHA256_DIGEST_LENGTH;
  static int init(Context* c) { return SHA256_Init(c); }
  static int update(Context* c, const void* d, std::size_t n) { return SHA256_Update(c, d, n); }
  static int final(std::uint8_t* out, Context* c) { return SHA256_Final(out, c); }
};
struct Sha512 {
  using Context = SHA512_CTX;
  static constexpr std::size_t blockSize = SHA512_CBLOCK;
  static constexpr std::size_t digestLength = SHA512_DIGEST_LENGTH;
  static int init(Context* c) { return SHA512_Init(c); }
  static int update(Context* c, const void* d, std::size_t n) { return SHA512_Update(c, d, n); }
  static int final(std::uint8_t* out, Context* c) { return SHA512_Final(out, c); }
};

template <class Hash>
struct Prepared {
  typename Hash::Context inner;
  typename Hash::Context outer;
};

template <class Hash>
bool prepare(Prepared<Hash>& prepared, std::span<const std::uint8_t> key) {
  // The padded key blocks are key material: they live in wiped memory, never on the stack.
  SecretBytes block(Hash::blockSize);
  if (key.size() > Hash::blockSize) {
    typename Hash::Context shortening;
    const bool hashed = Hash::init(&shortening) == 1 &&
                        Hash::update(&shortening, key.data(), key.size()) == 1 &&
                        Hash::final(block.data(), &shortening) == 1;
    cleanse(&shortening, sizeof shortening);
    if (!hashed) {
      return false;
    }
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  SecretBytes pad(Hash::blockSize);
  for (std::size_t i = 0; i < Hash::blockSize; ++i) {
    pad[i] = static_cast<std::uint8_t>(block[i] ^ 0x36u);
  }
  if (Hash::init(&prepared.inner) != 1 || Hash::update(&prepared.inner, pad.data(), pad.size()) != 1) {
    return false;
  }
  for (std::size_t i = 0; i < Hash::blockSize; ++i) {
    pad[i] = static_cast<std::uint8_t>(block[i] ^ 0x5Cu);
  }
  return Hash::init(&prepared.outer) == 1 && Hash::update(&prepared.outer, pad.data(), pad.size()) == 1;
}

template <class Hash>
std::size_t sign(const Prepared<Hash>& prepared, std::span<const std::uint8_t> message,
                 HmacKey::Digest& digest) noexcept {
  // Copies on the stack (no allocation per code): the prepared states stay untouched, whatever
  // thread signs, and the copies and the inner digest are wiped before returning.
  typename Hash::Context work = prepared.inner;
  std::array<std::uint8_t, Hash::digestLength> innerDigest{};
  bool signedOk =
      Hash::update(&work, message.data(), message.size()) == 1 && Hash::final(innerDigest.data(), &work) == 1;
  if (signedOk) {
    work = prepared.outer;
    signedOk = Hash::update(&work, innerDigest.data(), innerDigest.size()) == 1 &&
               Hash::final(digest.data(), &work) == 1;
  }
  cleanse(&work, sizeof work);
  cleanse(innerDigest.data(), innerDigest.size());
  return signedOk ? Hash::digestLength : 0;
}

}  // namespace

struct HmacKey::States {
  std::variant<Prepared<Sha1>, Prepared<Sha256>, Prepared<Sha512>> prepared;
};

HmacKey::HmacKey(std::unique_ptr<States> states) noexcept : states_(std::move(states)) {}

HmacKey::~HmacKey() {
  if (states_) {
    cleanse(states_.get(), sizeof(States));
  }
}

std::unique_ptr<HmacKey> HmacKey::make(HmacAlgorithm algorithm, std::span<const std::uint8_t> key) {
  auto states = std::make_unique<States>();
  bool prepared = false;
  switch (algorithm) {
    case HmacAlgorithm::SHA1:
      prepared = prepare(states->prepared.emplace<Prepared<Sha1>>(), key);
      break;
    case HmacAlgorithm::SHA256:
      prepared = prepare(states->prepared.emplace<Prepared<Sha256>>(), key);
      break;
    case HmacAlgorithm::SHA512:
      prepared = prepare(states->prepared.emplace<Prepared<Sha512>>(), key);
      break;
  }
  // Even a refused key leaves key material in the states: the key's destructor wipes them.
  auto made = std::make_unique<HmacKey>(std::move(states));
  if (!prepared) {
    return nullptr;
  }
  return made;
}

std::size_t HmacKey::sign(std::span<const std::uint8_t> message, Digest& digest) const noexcept {
  if (const auto* sha1 = std::get_if<Prepared<Sha1>>(&states_->prepared)) {
    return platform::sign(*sha1, message, digest);
  }
  if (const auto* sha256 = std::get_if<Prepared<Sha256>>(&states_->prepared)) {
    return platform::sign(*sha256, message, digest);
  }
  if (const auto* sha512 = std::get_if<Prepared<Sha512>>(&states_->prepared)) {
    return platform::sign(*sha512, message, digest);
  }
  return 0;
}

}  // namespace tervala::platform
