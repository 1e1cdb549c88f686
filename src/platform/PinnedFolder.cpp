#include "platform/PinnedFolder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <deque>
#include <system_error>

#include "platform/SystemError.hpp"

namespace tervala::platform {
namespace {

namespace fs = std::filesystem;

constexpr mode_t privateFolderMode = 0700;
constexpr mode_t othersMayWrite = S_IWGRP | S_IWOTH;
constexpr mode_t othersMayAccess = S_IRWXG | S_IRWXO;
// The kernel's own bound on the links it follows in one path.
constexpr int maxLinks = 40;
// O_PATH: a folder above may allow search only, and the descriptor is never read from.
constexpr int stepFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// The name under which the kernel reaches `fd`'s file itself (chmod needs it: fchmod refuses
// O_PATH descriptors).
std::string descriptorName(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

bool trustedOwner(uid_t owner) {
  return owner == ::geteuid() || owner == 0;
}

// Why a folder on the way lets someone else change what lies below it; empty when it does not.
std::string distrust(const struct stat& status) {
  if (!trustedOwner(status.st_uid)) {
    return "it is owned by another user";
  }
  if ((status.st_mode & othersMayWrite) != 0 && (status.st_mode & S_ISVTX) == 0) {
    return "other users can write to it";
  }
  return {};
}

void appendNames(const fs::path& path, std::deque<std::string>& names, bool front) {
  std::deque<std::string> parts;
  for (const auto& part : path.relative_path()) {
    if (!part.empty() && part != ".") {
      parts.push_back(part.string());
    }
  }
  names.insert(front ? names.begin() : names.end(), parts.begin(), parts.end());
}

}  // namespace

std::string whyFileIsNotPrivate(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return "cannot inspect it: " + errnoText();
  }
  if (!S_ISREG(status.st_mode)) {
    return "it is not a regular file";
  }
  if (status.st_uid != ::geteuid()) {
    return "it is owned by another user";
  }
  if ((status.st_mode & othersMayWrite) != 0) {
    return "other users can write to it";
  }
  if ((status.st_mode & othersMayAccess) != 0 && ::fchmod(fd, privateFileMode) != 0) {
    return "cannot make it private: " + errnoText();
  }
  return {};
}

std::optional<PinnedFolder> PinnedFolder::open(const fs::path& folder, Failure& failure) {
  const auto fail = [&failure](bool refused, fs::path named, std::string why) {
    failure = Failure{refused, std::move(named), std::move(why)};
    return std::nullopt;
  };
  if (!folder.is_absolute()) {
    return fail(false, folder, "it is not an absolute path");
  }
  std::deque<std::string> pending;
  appendNames(folder, pending, false);
  FileDescriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  fs::path reached = "/";
  int links = 0;
  struct stat status {};
  for (;;) {
    if (!current.valid() || ::fstat(current.get(), &status) != 0) {
      return fail(false, reached, "it cannot be opened: " + errnoText());
    }
    if (std::string why = distrust(status); !why.empty()) {
      return fail(true, reached, why);
    }
    if (pending.empty()) {
      break;
    }
    const std::string name = std::move(pending.front());
    pending.pop_front();
    const fs::path named = reached / name;
    FileDescriptor next(::openat(current.get(), name.c_str(), stepFlags));
    if (!next.valid() && errno == ENOENT) {
      // Made inside a folder that passed, so no one else can have put anything at its place.
      const bool made = ::mkdirat(current.get(), name.c_str(), privateFolderMode) == 0;
      if (!made && errno != EEXIST) {
        return fail(false, named, "it cannot be created: " + errnoText());
      }
      next = FileDescriptor(::openat(current.get(), name.c_str(), stepFlags));
      if (made && next.valid()) {
        (void)::chmod(descriptorName(next.get()).c_str(),
                      privateFolderMode);  // the umask may have taken bits; checked below
      }
    }
    struct stat entry {};
    if (!next.valid() || ::fstat(next.get(), &entry) != 0) {
      return fail(false, named, "it cannot be opened: " + errnoText());
    }
    if (S_ISLNK(entry.st_mode)) {
      // A link that only its owner (the user or root) can change: its target is walked as the
      // rest of the path is, so a linked ~/.config keeps working.
      if (!trustedOwner(entry.st_uid)) {
        return fail(true, named, "it is a symbolic link owned by another user");
      }
      if (++links > maxLinks) {
        return fail(false, named, "it leads through too many symbolic links");
      }
      std::string target(PATH_MAX, '\0');
      const ssize_t size = ::readlinkat(next.get(), "", target.data(), target.size());
      if (size <= 0 || static_cast<std::size_t>(size) >= target.size()) {
        return fail(false, named, "its link cannot be read");
      }
      target.resize(static_cast<std::size_t>(size));
      const fs::path to(target);
      appendNames(to, pending, true);
      if (to.is_absolute()) {
        current = FileDescriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        reached = "/";
      }
      continue;
    }
    if (!S_ISDIR(entry.st_mode)) {
      return fail(false, named, "it is not a folder");
    }
    reached = name == ".." ? reached.parent_path() : named;
    current = std::move(next);
  }
  // The store's own folder: the user's alone.
  if (status.st_uid != ::geteuid()) {
    return fail(true, reached, "it is owned by another user");
  }
  if ((status.st_mode & othersMayWrite) != 0) {
    return fail(true, reached, "other users can write to it");
  }
  const std::string name = descriptorName(current.get());
  if ((status.st_mode & othersMayAccess) != 0 && ::chmod(name.c_str(), privateFolderMode) != 0) {
    return fail(true, reached, "cannot make it private: " + errnoText());
  }
  struct stat byName {};
  if (::stat(name.c_str(), &byName) != 0 || byName.st_dev != status.st_dev ||
      byName.st_ino != status.st_ino) {
    return fail(false, reached, "it cannot be reached through /proc/self/fd (is /proc mounted?)");
  }
  return PinnedFolder(std::move(current));
}

std::string PinnedFolder::entryPath(std::string_view entry) const {
  return descriptorName(fd_.get()) + "/" + std::string(entry);
}

}  // namespace tervala::platform
