#pragma once

// Fixtures shared by the token, archive and settings store suites.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace tervala::test {

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    // mkdtemp fills in the six trailing X of its template.
    std::string name("tervala-");
    name.append(6, 'X');
    std::string pattern = (std::filesystem::temp_directory_path() / name).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();  // no temporary folder: nothing below can run
    }
    path_ = pattern;
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Runs `body` in a child process and returns its exit status (-1 when it did not exit).
/// The child ends with _exit, so no test state of the parent is torn down twice.
inline int runInChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    int status = 100;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);
  }
  if (child < 0) {
    return -1;
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

}  // namespace tervala::test
