#include "store/TokenKeyBinding.hpp"

#include <map>
#include <mutex>

#include "platform/ForkRenewedMutex.hpp"

namespace tervala {
namespace {

struct Bindings {
  platform::ForkRenewedMutex mutex;
  std::map<const OAuthToken*, platform::SecretText> keys;
};

Bindings& bindings() {
  // Tokens may be destroyed while the process exits, after static objects would have gone.
  static Bindings* const held = new Bindings();  // NOLINT(cppcoreguidelines-owning-memory)
  return *held;
}

}  // namespace

void TokenKeyBinding::bind(const OAuthToken& token, std::optional<std::string_view> privateJwk) {
  auto& held = bindings();
  const std::lock_guard lock(held.mutex);
  if (!privateJwk) {
    held.keys.erase(&token);
    return;
  }
  held.keys.insert_or_assign(&token, platform::SecretText(privateJwk->begin(), privateJwk->end()));
}

std::optional<platform::SecretText> TokenKeyBinding::of(const OAuthToken& token) {
  auto& held = bindings();
  const std::lock_guard lock(held.mutex);
  if (const auto found = held.keys.find(&token); found != held.keys.end()) {
    return found->second;
  }
  return std::nullopt;
}

void TokenKeyBinding::copy(const OAuthToken& from, const OAuthToken& to) {
  if (&from == &to) {
    return;
  }
  auto key = of(from);
  bind(to, key ? std::optional<std::string_view>(platform::view(*key)) : std::nullopt);
}

void TokenKeyBinding::unbind(const OAuthToken& token) noexcept {
  auto& held = bindings();
  const std::lock_guard lock(held.mutex);
  held.keys.erase(&token);
}

}  // namespace tervala
