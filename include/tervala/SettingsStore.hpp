#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The application's persistent settings: a key-to-bytes table in one SQLite file.
///
/// The file and the folders created for it are owner-only (0600 and 0700); an existing file or
/// folder of the user's that others can read is made so before use. A file that is a symbolic
/// link, a file or folder of another user or one that others can write, and a database holding
/// anything but the store's own table are refused and left exactly as they are. So is a store
/// below a folder that is not the user's or root's, or that others can write to without the sticky
/// bit; the folders are checked on the way down from "/" and the file is opened through the
/// folder checked last, so renaming a folder above cannot swap another in. Each write is one
/// transaction, so threads and processes writing at once never lose or tear a value, and a
/// writer killed mid-write leaves the last committed value. The database opens on first use
/// and again after a failure; failures are reported as values, never thrown.
class TERVALA_EXPORT SettingsStore {
 public:
  /// Values larger than this are neither written nor read.
  static constexpr std::size_t maxValueSize = 1U << 20U;
  /// Keys longer than this are refused.
  static constexpr std::size_t maxKeySize = 1024;

  /// A store kept in `databaseFile`; nothing is opened yet.
  explicit SettingsStore(std::filesystem::path databaseFile);
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;
  ~SettingsStore();

  /// The process-wide store, created on first use and never destroyed. It lives in
  /// `$XDG_CONFIG_HOME` (else `~/.config`) / the program's name / "settings.sqlite3", unless
  /// `setStandardLocation` chose another file.
  static SettingsStore& standard();

  /// Moves the process-wide store to `databaseFile` (for a host, the tests, the CLI's
  /// `--settings`); later reads and writes of `standard()` use that file.
  static void setStandardLocation(std::filesystem::path databaseFile);

  /// The default file of `standard()`, or absent when no home folder can be found.
  static std::optional<std::filesystem::path> defaultLocation();

  /// Stores `value` under `key` in one transaction; true only once it is committed. On
  /// failure the earlier value stays.
  bool setData(std::string_view key, const Data& value);

  /// Deletes the value under `key` in one transaction (a key without value is no failure); true
  /// once committed. Its bytes do not stay behind in the file's free pages.
  bool removeData(std::string_view key);

  /// The value under `key`; absent when there is none or the store cannot be read.
  [[nodiscard]] std::optional<Data> data(std::string_view key);

  /// The keys that start with `prefix` (all of them for an empty one), in byte order; empty when
  /// there are none or the store cannot be read (`lastProblem` tells which).
  [[nodiscard]] std::vector<std::string> keys(std::string_view prefix);

  /// Why the last `setData` or `data` of this store did not reach the file.
  struct Problem {
    enum class Kind {
      refused,  ///< the file or its folder is not safely the user's own store
      failed,   ///< the file is corrupt, unreadable or cannot be written
      busy      ///< another connection held the write lock for longer than the wait (about 5 s)
    };
    Kind kind;
    /// One line naming the file, control characters escaped, e.g. "refusing settings file
    /// /p/settings.sqlite3: it is a symbolic link".
    std::string reason;
  };

  /// The problem of the last `setData` or `data` call, or absent when that call reached the
  /// file (a key without value included: then nothing is stored under it).
  [[nodiscard]] std::optional<Problem> lastProblem() const;

  /// What `update` did.
  enum class UpdateOutcome { written, unchanged, failed };
  /// Computes a new value from the current one.
  using Change = std::function<std::optional<Data>(const std::optional<Data>& current)>;

  /// Reads the value under `key` (absent when there is none), hands it to `change`, and writes
  /// what `change` returns, all in one transaction that holds the write lock from its start: no
  /// other thread or process writes in between, so a compare-and-set made this way is atomic.
  /// When `change` returns absent (or throws) nothing is written.
  UpdateOutcome update(std::string_view key, const Change& change);

  /// The file this store reads and writes.
  [[nodiscard]] std::filesystem::path location() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tervala
