#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace tervala::platform {

/// An advisory lock (flock) on a file of its own, for coordinating processes without holding any
/// database lock. The kernel lets the lock go when the process dies, so a killed holder never
/// leaves it taken. The file also carries a short record its holders read and write.
class LockFile {
 public:
  /// The longest record kept in the file.
  static constexpr std::size_t maxRecordSize = std::size_t{64} * 1024U;

  /// Opens `file`, creating it owner-only (0600) when missing. Refused (null, with `reason`) when
  /// the file is a symbolic link or not a regular file, or when it or its folder is another
  /// user's or writable by others; the file is opened relative to the folder checked.
  static std::unique_ptr<LockFile> open(const std::filesystem::path& file, std::string& reason);

  /// Takes the open descriptor `fd`; `open` is the way to get one.
  explicit LockFile(int fd) noexcept : fd_(fd) {}
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile();  ///< closing lets the lock go

  /// Waits until the lock is this object's or `deadline` has passed; true once held.
  bool lock(std::chrono::steady_clock::time_point deadline);

  /// The record, read while the lock is held (empty when none or unreadable).
  [[nodiscard]] std::string record() const;
  /// Replaces the record while the lock is held; true once written.
  bool setRecord(std::string_view record) const;

 private:
  int fd_;
};

}  // namespace tervala::platform
