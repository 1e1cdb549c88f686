#pragma once

// Fixtures shared by the token and settings store suites.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include <tervala/KeyedArchiver.hpp>
#include <tervala/OAuthToken.hpp>

namespace tervala::test {

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    // mkdtemp replaces the name's last six characters, which must be 'X', with a unique suffix.
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("tervala-" + std::string(6, 'X'))).string();
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

/// Runs `body` in a child process and returns its exit status (-1 when it did not exit, or not
/// within `limit`: it is then killed). The child ends with _exit, so no test state is torn down twice.
inline int runInChild(const std::function<int()>& body,
                      std::chrono::seconds limit = std::chrono::seconds(50)) {
  static_cast<void>(std::fflush(nullptr));  // nothing buffered is written twice
  const pid_t child = ::fork();
  if (child == 0) {
    int status = 100;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t ended = 0;
  while (child > 0 && (ended = ::waitpid(child, &status, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ended == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The archive text of `token`: two tokens with equal fields have equal archives.
inline std::string archiveOf(const OAuthToken& token) {
  const auto data = KeyedArchiver::archivedDataWithRootObject(token);
  return data ? std::string(data->begin(), data->end()) : "(not archivable)";
}

/// A token whose every field names `writer` and `index`, so a torn one is seen at once; `padding`
/// makes it span several pages.
inline OAuthToken makeToken(const std::string& writer, int index, std::size_t padding = 0) {
  const std::string tag = writer + "-" + std::to_string(index);
  return OAuthToken("access-" + tag, "Bearer", "refresh-" + tag,
                    Date(std::chrono::seconds(1'800'000'000 + index)), "scope-" + tag + ",read",
                    {{"tag", tag}, {"padding", std::string(padding, 'p')}});
}

/// True when `token` is exactly makeToken(writer, index, padding) for some index in [0, count).
inline bool isWrittenToken(const OAuthToken& token, const std::string& writer, int count,
                           std::size_t padding = 0) {
  const std::string prefix = "access-" + writer + "-";
  const std::string number = token.accessToken().substr(std::min(prefix.size(), token.accessToken().size()));
  return token.accessToken().starts_with(prefix) && !number.empty() && number.size() <= 6 &&
         number.find_first_not_of("0123456789") == std::string::npos && std::stoi(number) < count &&
         archiveOf(token) == archiveOf(makeToken(writer, std::stoi(number), padding));
}

}  // namespace tervala::test
