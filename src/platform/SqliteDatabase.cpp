#include "platform/SqliteDatabase.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

namespace tervala::platform {
namespace {

// Long enough to wait out another thread's or process's commit, short enough that a stuck
// lock still ends in a failure value.
constexpr int busyTimeoutMilliseconds = 5000;
constexpr int busyPollMicroseconds = 1000;

// Replaced values (tokens among them) are overwritten in the file, not left in freed pages.
constexpr const char* secureDelete = "PRAGMA secure_delete = ON";
constexpr const char* createTable =
    "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)";
// length() of a blob does not read the blob, so an oversized value is skipped unread.
constexpr const char* selectValue = "SELECT value FROM settings WHERE key = ?1 AND length(value) <= ?2";
constexpr const char* upsertValue =
    "INSERT INTO settings (key, value) VALUES (?1, ?2) ON CONFLICT (key) DO UPDATE SET value = "
    "excluded.value";

constexpr mode_t privateFolderMode = 0700;
constexpr mode_t privateFileMode = 0600;

// Creates the file owner-only before SQLite sees it, so it is never readable by others, not
// even for a moment. An existing file is left as it is.
void createPrivateFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, privateFileMode);
  if (fd < 0) {
    return;  // exists already, or cannot be created: opening decides what that means
  }
  (void)::fchmod(fd, privateFileMode);  // the umask may have taken bits we need; failure leaves fewer
  (void)::close(fd);
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

SqliteDatabase::SqliteDatabase(Handle db, Statement select, Statement upsert)
    : db_(std::move(db)), select_(std::move(select)), upsert_(std::move(upsert)) {}

SqliteDatabase::~SqliteDatabase() {
  // The statements must go before the connection.
  select_.reset();
  upsert_.reset();
}

bool createPrivateFolders(const std::filesystem::path& folder) {
  std::error_code error;
  if (folder.empty() || std::filesystem::is_directory(folder, error)) {
    return true;
  }
  if (folder.has_parent_path() && folder.parent_path() != folder &&
      !createPrivateFolders(folder.parent_path())) {
    return false;
  }
  if (::mkdir(folder.c_str(), privateFolderMode) != 0) {
    return errno == EEXIST && std::filesystem::is_directory(folder, error);
  }
  return ::chmod(folder.c_str(), privateFolderMode) == 0;
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::filesystem::path& file) {
  std::error_code error;
  // An absolute path can never be taken for an SQLite "file:" URI.
  const std::filesystem::path path = std::filesystem::absolute(file, error);
  if (file.empty() || error || !createPrivateFolders(path.parent_path())) {
    return nullptr;
  }
  createPrivateFile(path);

  sqlite3* raw = nullptr;
  // SQLITE_OPEN_CREATE is left out: the file was made above with the right permissions. A file
  // that cannot be written opens read-only, so reads still work.
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Handle db(raw);
  if (opened != SQLITE_OK) {
    return nullptr;
  }
  if (sqlite3_extended_result_codes(db.get(), 1) != SQLITE_OK ||
      sqlite3_busy_handler(db.get(), &waitForLock, nullptr) != SQLITE_OK ||
      sqlite3_exec(db.get(), secureDelete, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db.get(), createTable, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return nullptr;
  }
  sqlite3_stmt* rawSelect = nullptr;
  if (sqlite3_prepare_v3(db.get(), selectValue, -1, SQLITE_PREPARE_PERSISTENT, &rawSelect, nullptr) !=
      SQLITE_OK) {
    return nullptr;
  }
  Statement select(rawSelect);
  sqlite3_stmt* rawUpsert = nullptr;
  if (sqlite3_prepare_v3(db.get(), upsertValue, -1, SQLITE_PREPARE_PERSISTENT, &rawUpsert, nullptr) !=
      SQLITE_OK) {
    return nullptr;
  }
  Statement upsert(rawUpsert);
  return std::make_unique<SqliteDatabase>(std::move(db), std::move(select), std::move(upsert));
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
