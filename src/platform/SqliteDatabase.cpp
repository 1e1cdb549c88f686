#include "platform/SqliteDatabase.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "platform/SystemError.hpp"
#include "platform/VisibleText.hpp"

namespace tervala::platform {
namespace {

// Long enough to wait out another thread's or process's commit, short enough that a stuck
// lock still ends in a failure value.
constexpr int busyTimeoutMilliseconds = 5000;
constexpr int busyPollMicroseconds = 1000;

// Replaced values (tokens among them) are overwritten in the file, not left in freed pages.
constexpr const char* secureDelete = "PRAGMA secure_delete = ON";
// Neither triggers nor views nor functions named in a file's schema run with more trust than
// the file deserves.
constexpr const char* distrustSchema = "PRAGMA trusted_schema = OFF";
constexpr const char* createTable =
    "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)";
// The schema of a store made by this library: the table as SQLite records it, and the index
// SQLite makes for its primary key.
constexpr std::string_view ownTableSql =
    "CREATE TABLE settings (key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)";
constexpr std::string_view ownIndexName = "sqlite_autoindex_settings_1";
constexpr const char* selectSchema = "SELECT type, name, tbl_name, sql FROM sqlite_master";
// length() of a blob does not read the blob, so an oversized value is skipped unread.
constexpr const char* selectValue = "SELECT value FROM settings WHERE key = ?1 AND length(value) <= ?2";
constexpr const char* upsertValue =
    "INSERT INTO settings (key, value) VALUES (?1, ?2) ON CONFLICT (key) DO UPDATE SET value = "
    "excluded.value";

// The message of the current errno, safe to build on any thread.
SqliteDatabase::Failure refusal(std::string_view what, const std::filesystem::path& path,
                                std::string_view why) {
  return {true,
          "refusing settings " + std::string(what) + " " + describedPath(path) + ": " + std::string(why)};
}

SqliteDatabase::Failure unreadable(const std::filesystem::path& path, std::string_view why) {
  return {false, "corrupt or unreadable settings file " + describedPath(path) + ": " + std::string(why)};
}

// The file `name` in `folder`, which `file` names.
std::optional<SqliteDatabase::Failure> checkFile(const PinnedFolder& folder, const std::string& name,
                                                 const std::filesystem::path& file) {
  // O_NONBLOCK: a FIFO planted at the file's place must not hang the open.
  const FileDescriptor fd(
      ::openat(folder.descriptor(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ELOOP) {
      return refusal("file", file, "it is a symbolic link");
    }
    return unreadable(file, errnoText());
  }
  if (std::string why = whyFileIsNotPrivate(fd.get()); !why.empty()) {
    return refusal("file", file, why);
  }
  return std::nullopt;
}

enum class Schema { empty, ours, foreign, unreadable };

// Whether the file holds exactly the store's own table (or nothing yet). Anything else, such as
// a trigger that swallows or copies writes, makes it a file that is not ours.
Schema inspectSchema(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, selectSchema, -1, &raw, nullptr) != SQLITE_OK) {
    return Schema::unreadable;
  }
  const SqliteDatabase::Statement statement(raw);
  bool table = false;
  for (;;) {
    const int stepped = sqlite3_step(statement.get());
    if (stepped == SQLITE_DONE) {
      return table ? Schema::ours : Schema::empty;
    }
    if (stepped != SQLITE_ROW) {
      return Schema::unreadable;
    }
    const auto column = [&](int index) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), index));
      return text != nullptr ? std::optional<std::string_view>(text) : std::nullopt;
    };
    const auto type = column(0);
    const auto name = column(1);
    const auto sql = column(3);
    if (type == "table" && name == "settings" && sql == ownTableSql && !table) {
      table = true;
    } else if (!(type == "index" && name == ownIndexName && column(2) == "settings" && !sql)) {
      return Schema::foreign;
    }
  }
}

// Creates the file owner-only before SQLite sees it, so it is never readable by others, not
// even for a moment. An existing file is left as it is.
void createPrivateFile(const PinnedFolder& folder, const std::string& name) {
  const FileDescriptor fd(::openat(folder.descriptor(), name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, privateFileMode));
  if (fd.valid()) {
    (void)::fchmod(fd.get(), privateFileMode);  // the umask may have taken bits we need; failure leaves fewer
  }
  // Else it exists already, or cannot be created: opening decides what that means.
}

// SQLite's unix VFS turns every symbolic link of a path into its target's name before it opens
// a file, and /proc/self/fd/N is such a link: turned into a name, the folder could be swapped
// again before the open. This VFS is the unix one taking an absolute path as it is, so the
// kernel resolves /proc/self/fd/N to the pinned folder itself, for the file and for the journal
// made beside it. Registered once, never as the default.
constexpr const char* pinnedVfsName = "tervala-pinned";

int pathAsGiven(sqlite3_vfs* /*unused*/, const char* name, int size, char* out) {
  const std::size_t length = std::strlen(name);
  if (name[0] != '/' || size < 0 || length >= static_cast<std::size_t>(size)) {
    return SQLITE_CANTOPEN;
  }
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

const char* pinnedVfs() {
  static const bool registered = [] {
    const sqlite3_vfs* unixVfs = sqlite3_vfs_find("unix");
    if (unixVfs == nullptr) {
      return false;
    }
    static sqlite3_vfs vfs = *unixVfs;
    vfs.zName = pinnedVfsName;
    vfs.pNext = nullptr;
    vfs.xFullPathname = &pathAsGiven;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
  }();
  return registered ? pinnedVfsName : nullptr;
}

// Resets a statement (and its bindings) on every way out of a use.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : statement_(statement) {}
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  ~StatementUse() {
    (void)sqlite3_reset(statement_);  // the step's own result was already examined
    (void)sqlite3_clear_bindings(statement_);
  }

 private:
  sqlite3_stmt* statement_;
};

// Waits for a lock that another connection holds by trying again every millisecond. SQLite's
// own timeout handler sleeps up to 100 ms between tries, so beside a process that writes again
// and again it wakes almost only while the lock is taken, and gives up although the lock was
// free many times.
int waitForLock(void* /*unused*/, int attempts) {
  if (attempts >= busyTimeoutMilliseconds * 1000 / busyPollMicroseconds) {
    return 0;  // give up: the caller reports the failure
  }
  (void)::usleep(busyPollMicroseconds);
  return 1;
}

bool bindKey(sqlite3_stmt* statement, std::string_view key) {
  return key.size() <= static_cast<std::size_t>(INT_MAX) &&
         sqlite3_bind_text(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC) ==
             SQLITE_OK;
}

}  // namespace

void SqliteDatabase::CloseDatabase::operator()(sqlite3* db) const noexcept {
  (void)sqlite3_close_v2(db);  // statements are finalised first, so nothing keeps it open
}

void SqliteDatabase::FinalizeStatement::operator()(sqlite3_stmt* statement) const noexcept {
  (void)sqlite3_finalize(statement);  // returns the last step's error, already handled
}

SqliteDatabase::SqliteDatabase(PinnedFolder folder, Handle db, Statement select, Statement upsert)
    : folder_(std::move(folder)),
      db_(std::move(db)),
      select_(std::move(select)),
      upsert_(std::move(upsert)) {}

SqliteDatabase::~SqliteDatabase() {
  // The statements must go before the connection.
  select_.reset();
  upsert_.reset();
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::filesystem::path& file, Failure& failure) {
  std::error_code error;
  // An absolute path can never be taken for an SQLite "file:" URI.
  const std::filesystem::path path = std::filesystem::absolute(file, error);
  if (file.empty() || error) {
    failure = unreadable(file, "no usable path");
    return nullptr;
  }
  const std::string name = path.filename().string();
  if (name.empty() || name == "." || name == "..") {
    failure = unreadable(file, "no usable path");
    return nullptr;
  }
  // The folder is walked to and checked once, and everything below goes through the descriptor
  // that walk ends on, so someone who can rename a folder above cannot swap in one of theirs.
  PinnedFolder::Failure walk;
  auto folder = PinnedFolder::open(path.parent_path(), walk);
  if (!folder) {
    failure = walk.refused ? refusal("folder", walk.named, walk.why)
                           : unreadable(path, "its folder cannot be used (" + describedPath(walk.named) +
                                                  ": " + walk.why + ")");
    return nullptr;
  }
  createPrivateFile(*folder, name);
  if (auto refused = checkFile(*folder, name, path)) {
    failure = std::move(*refused);
    return nullptr;
  }

  sqlite3* raw = nullptr;
  // SQLITE_OPEN_CREATE is left out: the file was made above with the right permissions. A file
  // that cannot be written opens read-only, so reads still work. The file was checked above
  // through a descriptor that would not follow a link; SQLite must not follow one either.
  const int opened =
      sqlite3_open_v2(folder->entryPath(name).c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, pinnedVfs());
  Handle db(raw);
  if (opened != SQLITE_OK) {
    failure = unreadable(path, raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(opened));
    return nullptr;
  }
  if (sqlite3_extended_result_codes(db.get(), 1) != SQLITE_OK ||
      sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) != SQLITE_OK ||
      sqlite3_exec(db.get(), distrustSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_busy_handler(db.get(), &waitForLock, nullptr) != SQLITE_OK) {
    failure = unreadable(path, sqlite3_errmsg(db.get()));
    return nullptr;
  }
  switch (inspectSchema(db.get())) {
    case Schema::foreign:
      failure =
          refusal("file", path, "it holds tables, indexes, views or triggers that are not the store's own");
      return nullptr;
    case Schema::unreadable:
      failure = unreadable(path, sqlite3_errmsg(db.get()));
      return nullptr;
    case Schema::empty:
      if (sqlite3_exec(db.get(), createTable, nullptr, nullptr, nullptr) != SQLITE_OK) {
        failure = unreadable(path, sqlite3_errmsg(db.get()));
        return nullptr;
      }
      break;
    case Schema::ours:
      break;
  }
  sqlite3_stmt* rawSelect = nullptr;
  if (sqlite3_exec(db.get(), secureDelete, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(db.get(), selectValue, -1, SQLITE_PREPARE_PERSISTENT, &rawSelect, nullptr) !=
          SQLITE_OK) {
    failure = unreadable(path, sqlite3_errmsg(db.get()));
    return nullptr;
  }
  Statement select(rawSelect);
  sqlite3_stmt* rawUpsert = nullptr;
  if (sqlite3_prepare_v3(db.get(), upsertValue, -1, SQLITE_PREPARE_PERSISTENT, &rawUpsert, nullptr) !=
      SQLITE_OK) {
    failure = unreadable(path, sqlite3_errmsg(db.get()));
    return nullptr;
  }
  Statement upsert(rawUpsert);
  return std::make_unique<SqliteDatabase>(std::move(*folder), std::move(db), std::move(select),
                                          std::move(upsert));
}

std::string SqliteDatabase::lastMessage() const {
  return sqlite3_errmsg(db_.get());
}

bool SqliteDatabase::lastWasBusy() const {
  return (static_cast<unsigned>(sqlite3_extended_errcode(db_.get())) & 0xFFU) == SQLITE_BUSY;
}

std::string describedPath(const std::filesystem::path& path) {
  // The reason is printed on terminals and logged: what would steer a terminal is escaped.
  return visibleText(path.native(), Backslash::kept);
}

SqliteDatabase::Outcome SqliteDatabase::get(std::string_view key, std::size_t maxSize, Data& value) {
  sqlite3_stmt* const statement = select_.get();
  const StatementUse use(statement);
  if (!bindKey(statement, key) ||
      sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(maxSize)) != SQLITE_OK) {
    return Outcome::failed;
  }
  const int stepped = sqlite3_step(statement);
  if (stepped == SQLITE_DONE) {
    return Outcome::missing;
  }
  if (stepped != SQLITE_ROW) {
    return Outcome::failed;
  }
  const void* bytes = sqlite3_column_blob(statement, 0);
  const int size = sqlite3_column_bytes(statement, 0);
  if (size < 0 || static_cast<std::size_t>(size) > maxSize || (bytes == nullptr && size > 0)) {
    return Outcome::failed;
  }
  const auto* first = static_cast<const std::uint8_t*>(bytes);
  value.assign(first, first + size);
  return Outcome::found;
}

bool SqliteDatabase::put(std::string_view key, const Data& value) {
  sqlite3_stmt* const statement = upsert_.get();
  const StatementUse use(statement);
  // One statement in autocommit mode is one transaction: SQLITE_DONE means it is committed.
  return bindKey(statement, key) && value.size() <= static_cast<std::size_t>(INT_MAX) &&
         sqlite3_bind_blob(statement, 2, value.empty() ? "" : static_cast<const void*>(value.data()),
                           static_cast<int>(value.size()), SQLITE_STATIC) == SQLITE_OK &&
         sqlite3_step(statement) == SQLITE_DONE;
}

bool SqliteDatabase::remove(std::string_view key) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(), "DELETE FROM settings WHERE key = ?1", -1, &raw, nullptr) != SQLITE_OK) {
    return false;
  }
  const Statement statement(raw);
  return bindKey(statement.get(), key) && sqlite3_step(statement.get()) == SQLITE_DONE;
}

bool SqliteDatabase::keys(std::string_view prefix, std::vector<std::string>& keys) {
  sqlite3_stmt* raw = nullptr;
  // A prefix compared as bytes: LIKE and GLOB would read '%', '_' or '*' in it as patterns.
  if (sqlite3_prepare_v2(db_.get(),
                         "SELECT key FROM settings WHERE substr(key, 1, length(?1)) = ?1 ORDER BY key", -1,
                         &raw, nullptr) != SQLITE_OK) {
    return false;
  }
  const Statement statement(raw);
  if (!bindKey(statement.get(), prefix)) {
    return false;
  }
  int stepped = SQLITE_ROW;
  while ((stepped = sqlite3_step(statement.get())) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(statement.get(), 0);
    const int size = sqlite3_column_bytes(statement.get(), 0);
    if (text != nullptr && size >= 0) {
      keys.emplace_back(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
    }
  }
  return stepped == SQLITE_DONE;
}

bool SqliteDatabase::beginImmediate() {
  return sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteDatabase::commit() {
  return sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void SqliteDatabase::rollback() noexcept {
  if (sqlite3_get_autocommit(db_.get()) == 0) {
    (void)sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);  // nothing more to do on failure
  }
}

}  // namespace tervala::platform
