#include "platform/SecretServiceCalls.hpp"

#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/CallDeadline.hpp"
#include "platform/GlibHandles.hpp"
#include "platform/VisibleText.hpp"

namespace tervala::platform::secretService {
namespace {

// The schema name is stored with each item too, so items of other programs that happen to use
// the same two attributes are never read or removed.
const SecretSchema schema = {"org.tervala.Secret",
                             SECRET_SCHEMA_NONE,
                             {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
                              {"key", SECRET_SCHEMA_ATTRIBUTE_STRING},
                              {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                             0,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr};

// A message of the bus or the daemon, for one line on a terminal.
std::string oneLine(std::string_view text) {
  return visibleText(text, Backslash::kept);
}

std::string failure(std::string_view doing, const GErrorHandle& error, const CallDeadline& deadline,
                    std::chrono::milliseconds timeout) {
  if (deadline.expired()) {
    return std::string(doing) + ": no answer from the keyring within " + std::to_string(timeout.count()) +
           " ms";
  }
  return std::string(doing) + ": " + (error ? oneLine(error->message) : std::string("unknown failure"));
}

// The Secret Service with an open session, or why there is none usable: no bus, no service on
// it, no default collection, or a locked one (which only a prompt could open).
struct Service {
  GObjectHandle<SecretService> handle;
  std::optional<std::string> problem;
};

// The first process to reach the bus. libsecret keeps its service proxy, and GIO the session bus
// connection under it, for the whole process, served by a GIO thread of their own: a forked child
// inherits both but not that thread, so its calls would go unanswered until their deadline, on a
// socket shared with the parent. Such a child is told so at once instead.
std::atomic<pid_t> busUser{0};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

bool busInheritedThroughFork() noexcept {
  const pid_t self = ::getpid();
  pid_t first = 0;
  return !busUser.compare_exchange_strong(first, self) && first != self;
}

Service openService(const CallDeadline& deadline, std::chrono::milliseconds timeout) {
  if (busInheritedThroughFork()) {
    return {nullptr,
            "the keyring cannot be reached from a forked child of a process that used it (its bus "
            "connection stays with the parent)"};
  }
  GError* raw = nullptr;
  GObjectHandle<SecretService> service(
      glib().serviceGetSync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(), &raw));
  GErrorHandle error(raw);
  if (!service) {
    return {nullptr, failure("no Secret Service keyring on the session bus", error, deadline, timeout)};
  }
  raw = nullptr;
  const GObjectHandle<SecretCollection> collection(glib().collectionForAliasSync(
      service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(), &raw));
  error.reset(raw);
  if (!collection) {
    if (error || deadline.expired()) {
      return {nullptr, failure("the keyring's default collection cannot be read", error, deadline, timeout)};
    }
    return {nullptr, "the Secret Service keyring has no default collection"};
  }
  if (glib().collectionGetLocked(collection.get()) != 0) {
    return {nullptr, "the Secret Service keyring is locked"};
  }
  return {std::move(service), std::nullopt};
}

// What each call on one item begins with: its deadline, the service, and the item's lookup
// attributes. The table borrows the texts, which live as long as the call.
struct ItemCall {
  ItemCall(std::string_view application, std::string_view key, std::chrono::milliseconds timeout)
      : timeout(timeout),
        deadline(timeout),
        service(openService(deadline, timeout)),
        applicationText(application),
        keyText(key),
        attributes(glib().hashTableNew(glib().strHash, glib().strEqual)) {
    glib().hashTableInsert(attributes.get(), const_cast<char*>("application"),
                           const_cast<char*>(applicationText.c_str()));
    glib().hashTableInsert(attributes.get(), const_cast<char*>("key"), const_cast<char*>(keyText.c_str()));
  }
  ItemCall(const ItemCall&) = delete;
  ItemCall& operator=(const ItemCall&) = delete;

  [[nodiscard]] std::string failed(std::string_view doing, const GErrorHandle& error) const {
    return failure(doing, error, deadline, timeout);
  }

  const std::chrono::milliseconds timeout;
  const CallDeadline deadline;
  const Service service;
  const std::string applicationText;
  const std::string keyText;
  const GHashTableHandle attributes;
};

// Why the keyring's library cannot be used, before anything of it is touched; absent once loaded.
std::optional<std::string> notLoaded() {
  if (SecretServiceLibrary::get() != nullptr) {
    return std::nullopt;
  }
  return SecretServiceLibrary::problem();
}

}  // namespace

bool builtIn() noexcept {
  return true;
}

std::optional<std::string> unreachableReason(std::chrono::milliseconds timeout) {
  if (auto problem = notLoaded()) {
    return problem;
  }
  const CallDeadline deadline(timeout);
  return openService(deadline, timeout).problem;
}

std::optional<std::string> store(std::string_view application, std::string_view key, std::string_view label,
                                 const Data& value, std::chrono::milliseconds timeout) {
  if (auto problem = notLoaded()) {
    return problem;
  }
  const ItemCall call(application, key, timeout);
  if (!call.service.handle) {
    return call.service.problem;
  }
  const std::string labelText(label);
  // Copied into libsecret's own memory, which it wipes when the value goes.
  const SecretValueHandle secret(
      glib().valueNew(value.empty() ? "" : reinterpret_cast<const gchar*>(value.data()),
                      static_cast<gssize>(value.size()), "application/octet-stream"));
  GError* raw = nullptr;
  const bool stored = glib().serviceStoreSync(call.service.handle.get(), &schema, call.attributes.get(),
                                              SECRET_COLLECTION_DEFAULT, labelText.c_str(), secret.get(),
                                              call.deadline.cancellable(), &raw) != 0;
  const GErrorHandle error(raw);
  if (!stored) {
    return call.failed("cannot write to the keyring", error);
  }
  return std::nullopt;
}

Lookup lookup(std::string_view application, std::string_view key, std::chrono::milliseconds timeout) {
  if (auto problem = notLoaded()) {
    return {std::nullopt, std::move(problem)};
  }
  const ItemCall call(application, key, timeout);
  if (!call.service.handle) {
    return {std::nullopt, call.service.problem};
  }
  GError* raw = nullptr;
  const SecretValueHandle secret(glib().serviceLookupSync(
      call.service.handle.get(), &schema, call.attributes.get(), call.deadline.cancellable(), &raw));
  const GErrorHandle error(raw);
  if (error || call.deadline.expired()) {
    return {std::nullopt, call.failed("cannot read the keyring", error)};
  }
  if (!secret) {
    return {};
  }
  gsize length = 0;
  const gchar* bytes = glib().valueGet(secret.get(), &length);
  const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
  return {Data(first, first + length), std::nullopt};
}

std::optional<std::string> clear(std::string_view application, std::string_view key,
                                 std::chrono::milliseconds timeout) {
  if (auto problem = notLoaded()) {
    return problem;
  }
  const ItemCall call(application, key, timeout);
  if (!call.service.handle) {
    return call.service.problem;
  }
  GError* raw = nullptr;
  // False without an error means there was nothing to remove.
  (void)glib().serviceClearSync(call.service.handle.get(), &schema, call.attributes.get(),
                                call.deadline.cancellable(), &raw);
  const GErrorHandle error(raw);
  if (error || call.deadline.expired()) {
    return call.failed("cannot remove from the keyring", error);
  }
  return std::nullopt;
}

}  // namespace tervala::platform::secretService
