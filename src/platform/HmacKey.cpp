// The HMAC runs on the low-level SHA contexts: copying a prepared context is a plain struct copy,
// whereas every EVP route (EVP_MAC_CTX_dup, EVP_MD_CTX_copy_ex) allocates and goes through the
// provider per code, which costs several times the two compressions (see bench/README.md).
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/HmacKey.hpp"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <variant>

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

// Wipes a value of trivially copyable type when it goes out of scope.
template <class T>
class Wiped {
 public:
  T value{};
  Wiped() = default;
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { OPENSSL_cleanse(&value, sizeof value); }
};

template <class Hash>
bool prepare(Prepared<Hash>& prepared, std::span<const std::uint8_t> key) {
  Wiped<std::array<std::uint8_t, Hash::blockSize>> block;
  if (key.size() > Hash::blockSize) {
    Wiped<typename Hash::Context> shortening;
    if (Hash::init(&shortening.value) != 1 || Hash::update(&shortening.value, key.data(), key.size()) != 1 ||
        Hash::final(block.value.data(), &shortening.value) != 1) {
      return false;
    }
  } else {
    std::copy(key.begin(), key.end(), block.value.begin());
  }
  Wiped<std::array<std::uint8_t, Hash::blockSize>> pad;
  for (std::size_t i = 0; i < Hash::blockSize; ++i) {
    pad.value[i] = static_cast<std::uint8_t>(block.value[i] ^ 0x36u);
  }
  if (Hash::init(&prepared.inner) != 1 ||
      Hash::update(&prepared.inner, pad.value.data(), pad.value.size()) != 1) {
    return false;
  }
  for (std::size_t i = 0; i < Hash::blockSize; ++i) {
    pad.value[i] = static_cast<std::uint8_t>(block.value[i] ^ 0x5Cu);
  }
  return Hash::init(&prepared.outer) == 1 &&
         Hash::update(&prepared.outer, pad.value.data(), pad.value.size()) == 1;
}

template <class Hash>
std::size_t sign(const Prepared<Hash>& prepared, std::span<const std::uint8_t> message,
                 HmacKey::Digest& digest) noexcept {
  // Copies on the stack: the prepared states stay untouched, whatever thread signs.
  Wiped<typename Hash::Context> work;
  work.value = prepared.inner;
  std::array<std::uint8_t, Hash::digestLength> innerDigest{};
  if (Hash::update(&work.value, message.data(), message.size()) != 1 ||
      Hash::final(innerDigest.data(), &work.value) != 1) {
    return 0;
  }
  work.value = prepared.outer;
  if (Hash::update(&work.value, innerDigest.data(), innerDigest.size()) != 1 ||
      Hash::final(digest.data(), &work.value) != 1) {
    return 0;
  }
  return Hash::digestLength;
}

}  // namespace

struct HmacKey::States {
  std::variant<Prepared<Sha1>, Prepared<Sha256>, Prepared<Sha512>> prepared;
};

HmacKey::HmacKey(std::unique_ptr<States> states) noexcept : states_(std::move(states)) {}

HmacKey::~HmacKey() {
  if (states_) {
    OPENSSL_cleanse(states_.get(), sizeof(States));
  }
}

std::unique_ptr<HmacKey> HmacKey::make(std::uint32_t identifier, std::span<const std::uint8_t> key) {
  auto states = std::make_unique<States>();
  bool prepared = false;
  switch (identifier) {
    case 0:
      prepared = prepare(states->prepared.emplace<Prepared<Sha1>>(), key);
      break;
    case 2:
      prepared = prepare(states->prepared.emplace<Prepared<Sha256>>(), key);
      break;
    case 4:
      prepared = prepare(states->prepared.emplace<Prepared<Sha512>>(), key);
      break;
    default:
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
