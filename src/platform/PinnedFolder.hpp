#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileDescriptor.hpp"

namespace tervala::platform {

/// The mode of a file the library keeps secrets in.
inline constexpr mode_t privateFileMode = 0600;

/// Why a file opened in a pinned folder is not safely the user's own, or empty when it is (after
/// taking away what others could read). Someone else's file, or one that others can change, is
/// left untouched.
std::string whyFileIsNotPrivate(int fd);

/// A folder reached from "/" one name at a time, each name opened through the descriptor of the
/// folder before it and checked there: what was checked is what stays open, however the names
/// above it are moved afterwards.
///
/// Every folder on the way must be the user's or root's and not writable by group or others
/// unless sticky (what ssh asks of the folders above a key file); a symbolic link on the way is
/// followed only when it is the user's or root's. The folder reached must be the user's own and
/// not writable by group or others; what others could read of it is taken away. Missing folders
/// are made owner-only, and only inside folders that passed.
class PinnedFolder {
 public:
  /// Why no folder was pinned.
  struct Failure {
    bool refused = false;         ///< a folder on the way is not safely the user's
    std::filesystem::path named;  ///< the folder or entry the reason is about
    std::string why;
  };

  /// Pins the absolute `folder`; absent with `failure` set when the walk fails.
  static std::optional<PinnedFolder> open(const std::filesystem::path& folder, Failure& failure);

  /// The open folder (an O_PATH descriptor: for the *at calls and fstat).
  [[nodiscard]] int descriptor() const noexcept { return fd_.get(); }

  /// A name of `entry` in this folder that the kernel resolves through the descriptor
  /// ("/proc/self/fd/N/entry"), for code that opens files only by name. Valid while this lives.
  [[nodiscard]] std::string entryPath(std::string_view entry) const;

 private:
  explicit PinnedFolder(FileDescriptor fd) noexcept : fd_(std::move(fd)) {}
  FileDescriptor fd_;
};

}  // namespace tervala::platform
