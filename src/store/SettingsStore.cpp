#include <tervala/SettingsStore.hpp>

#include <pwd.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <string>
#include <vector>

#include "platform/ForkRenewedMutex.hpp"
#include "platform/SqliteDatabase.hpp"

namespace tervala {
namespace {

constexpr std::string_view fallbackApplicationName = "tervala";
constexpr std::string_view databaseFileName = "settings.sqlite3";

// The program's own name, usable as one folder name.
std::string applicationName() {
  const std::string_view name = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    return std::string(fallbackApplicationName);
  }
  return std::string(name);
}

std::optional<std::filesystem::path> homeFolder() {
  if (const char* home = ::secure_getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::filesystem::path(home);
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384U);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return std::filesystem::path(found->pw_dir);
}

std::optional<std::filesystem::path> configFolder() {
  // A relative $XDG_CONFIG_HOME is invalid by the XDG rules and is ignored.
  if (const char* config = ::secure_getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
    return std::filesystem::path(config);
  }
  const auto home = homeFolder();
  return home ? std::optional(*home / ".config") : std::nullopt;
}

}  // namespace

struct SettingsStore::State {
  mutable platform::ForkRenewedMutex mutex;  // a refresh in flight holds it at a fork
  std::filesystem::path file;
  std::unique_ptr<platform::SqliteDatabase> database;
  pid_t openedBy = 0;
  std::optional<Problem> problem;

  // The open connection, opening it first when needed. Called with `mutex` held.
  platform::SqliteDatabase* connection() {
    problem.reset();
    const pid_t self = ::getpid();
    if (database && openedBy != self) {
      // A connection inherited through fork() belongs to the parent: SQLite must not use it in
      // the child, nor close it there, so the child leaves it alone and opens its own.
      (void)database.release();
    }
    if (!database) {
      platform::SqliteDatabase::Failure failure;
      database = platform::SqliteDatabase::open(file, failure);
      openedBy = self;
      if (!database) {
        problem = Problem{failure.refused ? Problem::Kind::refused : Problem::Kind::failed,
                          std::move(failure.reason)};
      }
    }
    return database.get();
  }

  // The connection for a call on `key`; null for a key too long to keep (the file was not the
  // problem) or a file that cannot be opened. Called with `mutex` held.
  platform::SqliteDatabase* connectionFor(std::string_view key) {
    if (key.size() > maxKeySize) {
      problem.reset();
      return nullptr;
    }
    return connection();
  }

  // Notes a failed read or write of the open connection, which is then dropped: the file may
  // have been replaced or repaired by the next call.
  void failed(std::string_view doing, Problem::Kind kind = Problem::Kind::failed) {
    problem = Problem{kind, std::string(doing) + " settings file " + platform::describedPath(file) + ": " +
                                (database ? database->lastMessage() : std::string())};
    database.reset();
  }
};

SettingsStore::SettingsStore(std::filesystem::path databaseFile) : state_(std::make_unique<State>()) {
  state_->file = std::move(databaseFile);
}

SettingsStore::~SettingsStore() = default;

std::optional<std::filesystem::path> SettingsStore::defaultLocation() {
  try {
    const auto folder = configFolder();
    if (!folder) {
      return std::nullopt;
    }
    return *folder / applicationName() / databaseFileName;
  } catch (...) {
    return std::nullopt;
  }
}

SettingsStore& SettingsStore::standard() {
  // Never destroyed, so it stays usable by threads still running while the process exits.
  static auto* const instance = new SettingsStore(defaultLocation().value_or(std::filesystem::path()));
  return *instance;
}

void SettingsStore::setStandardLocation(std::filesystem::path databaseFile) {
  SettingsStore& store = standard();
  const std::lock_guard lock(store.state_->mutex);
  store.state_->database.reset();
  store.state_->file = std::move(databaseFile);
}

bool SettingsStore::setData(std::string_view key, const Data& value) {
  try {
    const std::lock_guard lock(state_->mutex);
    if (value.size() > maxValueSize) {
      state_->problem.reset();  // the file was not the problem
      return false;
    }
    platform::SqliteDatabase* const database = state_->connectionFor(key);
    if (database == nullptr) {
      return false;
    }
    if (!database->put(key, value)) {
      state_->failed("cannot write");
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool SettingsStore::removeData(std::string_view key) {
  try {
    const std::lock_guard lock(state_->mutex);
    platform::SqliteDatabase* const database = state_->connectionFor(key);
    if (database == nullptr) {
      return false;
    }
    if (!database->remove(key)) {
      state_->failed("cannot write");
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

std::optional<Data> SettingsStore::data(std::string_view key) {
  try {
    const std::lock_guard lock(state_->mutex);
    platform::SqliteDatabase* const database = state_->connectionFor(key);
    if (database == nullptr) {
      return std::nullopt;
    }
    Data value;
    switch (database->get(key, maxValueSize, value)) {
      case platform::SqliteDatabase::Outcome::found:
        return value;
      case platform::SqliteDatabase::Outcome::missing:
        return std::nullopt;
      case platform::SqliteDatabase::Outcome::failed:
        state_->failed("corrupt or unreadable");
        return std::nullopt;
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<SettingsStore::Problem> SettingsStore::lastProblem() const {
  const std::lock_guard lock(state_->mutex);
  return state_->problem;
}

SettingsStore::UpdateOutcome SettingsStore::update(std::string_view key, const Change& change) {
  try {
    const std::lock_guard lock(state_->mutex);
    platform::SqliteDatabase* const database = state_->connectionFor(key);
    if (database == nullptr) {
      return UpdateOutcome::failed;
    }
    if (!database->beginImmediate()) {
      // A busy lock is worth waiting for again (a token refresh may hold it for a request's length).
      state_->failed("cannot lock", database->lastWasBusy() ? Problem::Kind::busy : Problem::Kind::failed);
      return UpdateOutcome::failed;
    }
    // The transaction is rolled back on every way out but a commit (a throwing `change`
    // included) before a failure drops the connection.
    const char* failure = nullptr;
    UpdateOutcome outcome = UpdateOutcome::failed;
    {
      struct Rollback {
        platform::SqliteDatabase* database;
        ~Rollback() { database->rollback(); }
      } const rollback{database};
      Data current;
      std::optional<Data> found;
      switch (database->get(key, maxValueSize, current)) {
        case platform::SqliteDatabase::Outcome::found:
          found = std::move(current);
          break;
        case platform::SqliteDatabase::Outcome::missing:
          break;
        case platform::SqliteDatabase::Outcome::failed:
          failure = "corrupt or unreadable";
          break;
      }
      if (failure == nullptr) {
        const std::optional<Data> next = change(found);
        if (!next) {
          outcome = UpdateOutcome::unchanged;
        } else if (next->size() <= maxValueSize) {
          if (database->put(key, *next) && database->commit()) {
            outcome = UpdateOutcome::written;
          } else {
            failure = "cannot write";
          }
        }
      }
    }
    if (failure != nullptr) {
      state_->failed(failure);
    }
    return outcome;
  } catch (...) {
    return UpdateOutcome::failed;
  }
}

std::filesystem::path SettingsStore::location() const {
  const std::lock_guard lock(state_->mutex);
  return state_->file;
}

}  // namespace tervala
