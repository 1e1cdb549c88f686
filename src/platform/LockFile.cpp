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

#include "platform/PinnedFolder.hpp"
#include "platform/SqliteDatabase.hpp"
#include "platform/SystemError.hpp"

namespace tervala::platform {
namespace {

// A waiter looks again this often; the holder's work is a network request, so a few
// milliseconds more before the next holder starts do not count.
constexpr auto pollInterval = std::chrono::milliseconds(5);

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
  // The folders are walked to and checked as the store's are, and the file is opened through
  // the folder checked last.
  std::error_code error;
  const auto absoluteFolder = std::filesystem::absolute(folderPath, error);
  PinnedFolder::Failure walk;
  auto folder = error ? std::nullopt : PinnedFolder::open(absoluteFolder, walk);
  if (!folder) {
    reason = "refusing lock folder " + describedPath(walk.named.empty() ? folderPath : walk.named) + ": " +
             (error ? error.message() : walk.why);
    return nullptr;
  }
  // O_NONBLOCK: a FIFO planted at the file's place must not hang the open.
  FileDescriptor fd(::openat(folder->descriptor(), file.filename().c_str(),
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, privateFileMode));
  if (fd.get() < 0) {
    return refused("file", errno == ELOOP ? std::string("it is a symbolic link") : errnoText());
  }
  if (auto why = whyFileIsNotPrivate(fd.get()); !why.empty()) {
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
