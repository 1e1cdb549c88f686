#include "tokens/BrowserLauncher.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>

#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "frame/ChildEnvironment.hpp"

namespace tervala::cli {
namespace {

struct FileActionsDeleter {
  void operator()(posix_spawn_file_actions_t* actions) const noexcept {
    posix_spawn_file_actions_destroy(actions);
  }
};

}  // namespace

bool BrowserLauncher::open(const std::string& url) {
  posix_spawn_file_actions_t storage{};
  if (posix_spawn_file_actions_init(&storage) != 0) {
    return false;
  }
  const std::unique_ptr<posix_spawn_file_actions_t, FileActionsDeleter> actions(&storage);
  if (posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0) != 0) {
    return false;
  }
  std::string program = "xdg-open";
  std::string argument = url;
  std::array<char*, 3> argv{program.data(), argument.data(), nullptr};
  auto environment = childEnvironment();
  pid_t child = 0;
  // Not waited for: the browser may outlive the login, and init collects the child once this
  // short-lived process has ended.
  return posix_spawnp(&child, program.c_str(), actions.get(), nullptr, argv.data(), environment.data()) == 0;
}

}  // namespace tervala::cli
