#include <tervala/SecretServiceStore.hpp>

#include <mutex>

#include "platform/ForkRenewedMutex.hpp"
#include "platform/SecretServiceCalls.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {
namespace {

// A NUL would cut the attribute short and so name another item.
bool usableName(std::string_view name) {
  return !name.empty() && name.size() <= SecretServiceStore::maxKeySize &&
         name.find('\0') == std::string_view::npos;
}

// The label the user sees in the keyring's manager: control bytes left out.
std::string labelOf(std::string_view application, std::string_view key) {
  std::string label;
  for (const char c : std::string(application) + ": " + std::string(key)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      label.push_back(c);
    }
  }
  return label;
}

}  // namespace

struct SecretServiceStore::State {
  std::string application;
  std::chrono::milliseconds timeout;
  mutable platform::ForkRenewedMutex mutex;  // held across a call to the keyring
  std::optional<std::string> problem;

  bool refused(std::string_view key) {
    if (usableName(key) && usableName(application)) {
      return false;
    }
    problem = "refusing the keyring key or application name: empty, longer than " +
              std::to_string(maxKeySize) + " bytes, or holding a NUL";
    return true;
  }
};

SecretServiceStore::SecretServiceStore(std::string application, std::chrono::milliseconds timeout)
    : state_(std::make_unique<State>()) {
  state_->application = std::move(application);
  state_->timeout = timeout > std::chrono::milliseconds::zero() ? timeout : defaultTimeout;
}

SecretServiceStore::~SecretServiceStore() = default;

bool SecretServiceStore::isBuiltIn() noexcept {
  return platform::secretService::builtIn();
}

std::optional<std::string> SecretServiceStore::unreachableReason() {
  try {
    return platform::secretService::unreachableReason(state_->timeout);
  } catch (...) {
    return "cannot ask the keyring: out of memory";
  }
}

bool SecretServiceStore::setData(std::string_view key, const Data& value) {
  try {
    const std::lock_guard lock(state_->mutex);
    if (state_->refused(key)) {
      return false;
    }
    if (value.size() > maxValueSize) {
      state_->problem = "refusing a keyring value larger than " + std::to_string(maxValueSize) + " bytes";
      return false;
    }
    state_->problem = platform::secretService::store(
        state_->application, key, labelOf(state_->application, key), value, state_->timeout);
    return !state_->problem;
  } catch (...) {
    return false;
  }
}

std::optional<Data> SecretServiceStore::data(std::string_view key) {
  try {
    const std::lock_guard lock(state_->mutex);
    if (state_->refused(key)) {
      return std::nullopt;
    }
    auto found = platform::secretService::lookup(state_->application, key, state_->timeout);
    state_->problem = std::move(found.problem);
    if (found.value && found.value->size() > maxValueSize) {
      platform::cleanse(found.value->data(), found.value->size());
      state_->problem =
          "the keyring's value under the key is larger than " + std::to_string(maxValueSize) + " bytes";
      return std::nullopt;
    }
    return std::move(found.value);
  } catch (...) {
    return std::nullopt;
  }
}

bool SecretServiceStore::remove(std::string_view key) {
  try {
    const std::lock_guard lock(state_->mutex);
    if (state_->refused(key)) {
      return false;
    }
    state_->problem = platform::secretService::clear(state_->application, key, state_->timeout);
    return !state_->problem;
  } catch (...) {
    return false;
  }
}

std::optional<std::string> SecretServiceStore::lastProblem() const {
  const std::lock_guard lock(state_->mutex);
  return state_->problem;
}

const std::string& SecretServiceStore::application() const noexcept {
  return state_->application;
}

std::chrono::milliseconds SecretServiceStore::timeout() const noexcept {
  return state_->timeout;
}

}  // namespace tervala
