#include "store/TokenShelf.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdlib>

#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>

#include "platform/SecureMemory.hpp"
#include "text/HexText.hpp"

namespace tervala {
namespace {

void wipe(std::optional<Data>& archive) {
  if (archive) {
    platform::cleanse(archive->data(), archive->size());  // the archive holds the tokens in clear
  }
}

// An absolute folder named by `variable`; a relative one is invalid by the XDG rules.
std::optional<std::filesystem::path> folderFrom(const char* variable) {
  if (const char* value = ::secure_getenv(variable); value != nullptr && value[0] == '/') {
    return std::filesystem::path(value);
  }
  return std::nullopt;
}

}  // namespace

std::string fingerprint(std::initializer_list<std::string_view> parts) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  bool done = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  for (const auto part : parts) {
    done = done && EVP_DigestUpdate(context, part.data(), part.size()) == 1 &&
           EVP_DigestUpdate(context, "", 1) == 1;
  }
  done = done && EVP_DigestFinal_ex(context, digest.data(), &length) == 1;
  EVP_MD_CTX_free(context);
  if (!done) {
    return {};
  }
  std::string text;
  appendHex(text, std::span(digest).first(length));
  return text;
}

TokenShelf::Read SettingsShelf::read() {
  Read found{settings_.data(key_), std::nullopt};
  if (auto problem = settings_.lastProblem()) {
    found.problem = std::move(problem->reason);
  }
  return found;
}

TokenShelf::Replaced SettingsShelf::replace(const Data& expected, const Data& next) {
  bool changed = false;
  // The one moment the database's write lock is held: a compare and a write, no network.
  const auto done = settings_.update(key_, [&](const std::optional<Data>& current) -> std::optional<Data> {
    if (!current || *current != expected) {
      changed = true;
      return std::nullopt;
    }
    return next;
  });
  if (done == SettingsStore::UpdateOutcome::failed) {
    return Replaced::failed;
  }
  return changed ? Replaced::changedMeanwhile : Replaced::written;
}

std::optional<std::string> SettingsShelf::lastProblem() const {
  const auto problem = settings_.lastProblem();
  return problem ? std::optional(problem->reason) : std::nullopt;
}

std::optional<std::filesystem::path> SettingsShelf::lockFile() const {
  auto file = settings_.location();
  file += ".refresh-lock";
  return file;
}

TokenShelf::Read KeyringShelf::read() {
  return {keyring_.data(key_), keyring_.lastProblem()};
}

TokenShelf::Replaced KeyringShelf::replace(const Data& expected, const Data& next) {
  // The keyring has no compare-and-set; every refresher holds the lock file, so only a writer
  // that is no refresher (a new login) can come between this read and the write.
  auto current = keyring_.data(key_);
  if (keyring_.lastProblem()) {
    return Replaced::failed;
  }
  const bool same = current && *current == expected;
  wipe(current);
  if (!same) {
    return Replaced::changedMeanwhile;
  }
  return keyring_.setData(key_, next) ? Replaced::written : Replaced::failed;
}

std::optional<std::string> KeyringShelf::lastProblem() const {
  return keyring_.lastProblem();
}

std::optional<std::filesystem::path> KeyringShelf::lockFile() const {
  // The runtime folder is the user's own and emptied at logout; the data folder stands in.
  auto folder = folderFrom("XDG_RUNTIME_DIR");
  if (!folder) {
    folder = folderFrom("XDG_DATA_HOME");
    if (!folder) {
      const auto home = folderFrom("HOME");
      if (!home) {
        return std::nullopt;
      }
      folder = *home / ".local" / "share";
    }
  }
  // The item's name may hold any byte; its digest makes a safe, fixed-length file name.
  return *folder / "tervala" / ("refresh-" + fingerprint({keyring_.application(), key_}) + ".lock");
}

}  // namespace tervala
