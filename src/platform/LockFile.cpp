#include "platform/LockFile.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/SqliteDatabase.hpp"

namespace tervala::platform {
namespace {

constexpr mode_t privateFileMode = 0600;
constexpr mode_t othersMayWrite = S_IWGRP | S_IWOTH;
constexpr mode_t othersMayAccess = S_IRWXG | S_IRWXO;
// A waiter looks again this often; the holder's work is a network request, so a few
// milliseconds more before the next holder starts do not count.
constexpr auto pollInterval = std::chrono::milliseconds(5);

std::string errnoText() {
  return std::generic_category().message(errno);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      (void)::close(fd_);  // read-only or handed on: nothing to flush
    }
  }
  [[nodiscard]] int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Why an open folder or file is not safely ours, or empty when it is.
std::string whyNotOurs(int fd, bool folder) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return "cannot inspect it: " + errnoText();
  }
  if (folder ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
    return folder ? "it is not a folder" : "it is not a regular file";
  }
  if (status.st_uid != ::geteuid()) {
    return "it is owned by another user";
  }
  if ((status.st_mode & othersMayWrite) != 0) {
    return "other users can write to it";
  }
  if (!folder && (status.st_mode & othersMayAccess) != 0 && ::fchmod(fd, privateFileMode) != 0) {
    return "cannot make it private: " + errnoText();
  }
  return {};
}

}  // namespace

std::unique_ptr<LockFile> LockFile::open(const std::filesystem::path& file, std::string& reason) {
  const auto folderPath = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
  const auto refused = [&](std::string_view what, std::string_view why) {
    reason = "refusing lock " + std::string(what) + " " + describedPath(what == "file" ? file : folderPath) +
             ": " + std::string(why);
    return nullptr;
  };
  if (file.filename().empty()) {
    return refused("file", "no file name");
  }
  if (!createPrivateFolders(folderPath)) {
    return refused("folder", "it cannot be created");
  }
  const Descriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    return refused("folder", errnoText());
  }
  if (auto why = whyNotOurs(folder.get(), true); !why.empty()) {
    return refused("folder", why);
  }
  // O_NONBLOCK: a FIFO planted at the file's place must not hang the open.
  Descriptor fd(::openat(folder.get(), file.filename().c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, privateFileMode));
  if (fd.get() < 0) {
    return refused("file", errno == ELOOP ? std::string("it is a symbolic link") : errnoText());
  }
  if (auto why = whyNotOurs(fd.get(), false); !why.empty()) {
    return refused("file", why);
  }
  return std::make_unique<LockFile>(fd.release());
}

LockFile::~LockFile() {
  (void)::close(fd_);  // lets the lock go; the record was written with pwrite already
}

bool LockFile::lock(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pollInterval, deadline - now));
  }
}

std::string LockFile::record() const {
  std::string text(maxRecordSize, '\0');
  const ssize_t got = ::pread(fd_, text.data(), text.size(), 0);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0U);
  return text;
}

bool LockFile::setRecord(std::string_view record) const {
  if (record.size() > maxRecordSize) {
    return false;
  }
  if (::ftruncate(fd_, 0) != 0) {
    return false;
  }
  return ::pwrite(fd_, record.data(), record.size(), 0) == static_cast<ssize_t>(record.size());
}

}  // namespace tervala::platform
