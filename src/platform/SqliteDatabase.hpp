#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Data.hpp>

#include "platform/PinnedFolder.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace tervala::platform {

/// One connection to a key-to-bytes table in an SQLite file, with its two statements prepared.
/// Not safe for concurrent use: the caller serialises access.
class SqliteDatabase {
 public:
  enum class Outcome { found, missing, failed };

  /// Why `open` gave no connection: `refused` for a file or folder that is not safely ours
  /// (a link, another user's, writable by others, a foreign schema), `unreadable` otherwise.
  struct Failure {
    bool refused = false;
    std::string reason;
  };

  /// Opens (creating when missing, owner-only) `file`, its missing folders and its table; null
  /// when that fails, with `failure` telling why. The folders are checked on the way down from
  /// "/" (see PinnedFolder) and the file is opened through the folder checked last. A folder or
  /// file of ours that others can read is made owner-only; one that is not safely ours is left
  /// exactly as it is.
  static std::unique_ptr<SqliteDatabase> open(const std::filesystem::path& file, Failure& failure);

  /// SQLite's own message for the last failed call on this connection.
  [[nodiscard]] std::string lastMessage() const;
  /// Whether the last failed call gave up waiting for a lock another connection held.
  [[nodiscard]] bool lastWasBusy() const;

  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;
  ~SqliteDatabase();

  /// Reads the value under `key` into `value` when it is at most `maxSize` bytes (a larger
  /// one counts as missing).
  Outcome get(std::string_view key, std::size_t maxSize, Data& value);

  /// Writes `value` under `key` as one transaction; true once committed.
  bool put(std::string_view key, const Data& value);

  /// Deletes the value under `key`, if any, as one transaction (its pages are overwritten, as
  /// secure_delete is on); true once committed.
  bool remove(std::string_view key);

  /// The keys that start with `prefix`, in order, into `keys`; false when the table cannot be read.
  bool keys(std::string_view prefix, std::vector<std::string>& keys);

  /// Starts a transaction that takes the write lock at once (BEGIN IMMEDIATE), so what it reads
  /// stays current until `commit`; `get` and `put` then run inside it.
  bool beginImmediate();
  /// Commits the transaction; true once it is durable.
  bool commit();
  /// Abandons the transaction, if one is open.
  void rollback() noexcept;

  struct CloseDatabase {
    void operator()(sqlite3* db) const noexcept;
  };
  struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const noexcept;
  };
  using Handle = std::unique_ptr<sqlite3, CloseDatabase>;
  using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

  /// Takes a prepared connection and the folder it reaches its files through; `open` is the way
  /// to get one.
  SqliteDatabase(PinnedFolder folder, Handle db, Statement select, Statement upsert);

 private:
  PinnedFolder folder_;  // first, so it closes last: SQLite makes its journal through it
  Handle db_;
  Statement select_;
  Statement upsert_;
};

/// `path` for a one-line message: control characters written as \xNN.
std::string describedPath(const std::filesystem::path& path);

}  // namespace tervala::platform
