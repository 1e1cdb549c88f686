#include "codes/ClipboardCopy.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "frame/ChildEnvironment.hpp"
#include "frame/PipeSignalHeld.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::cli {
namespace {

constexpr unsigned clearAfterSeconds = 45;

// A clipboard tool: how to put text there and how to read it back.
struct Tool {
  std::vector<std::string> copy;
  std::vector<std::string> paste;
};

std::optional<std::string> onPath(std::string_view name, const Io& io) {
  const char* path = io.environment("PATH");
  std::string_view rest = path == nullptr ? "/usr/bin:/bin" : path;
  while (!rest.empty()) {
    const auto folder = rest.substr(0, rest.find(':'));
    rest.remove_prefix(std::min(rest.size(), folder.size() + 1));
    if (folder.empty()) {
      continue;  // never the current folder
    }
    const auto candidate = std::filesystem::path(folder) / name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate.string();
    }
  }
  return std::nullopt;
}

std::optional<Tool> findTool(const Io& io) {
  if (io.environment("WAYLAND_DISPLAY") != nullptr) {
    auto copy = onPath("wl-copy", io);
    auto paste = onPath("wl-paste", io);
    if (copy && paste) {
      return Tool{{*copy}, {*paste, "--no-newline"}};
    }
  }
  if (io.environment("DISPLAY") != nullptr) {
    if (auto xclip = onPath("xclip", io)) {
      return Tool{{*xclip, "-selection", "clipboard"}, {*xclip, "-selection", "clipboard", "-o"}};
    }
  }
  return std::nullopt;
}

// Runs `argv` (never through a shell) with `input` on its standard input; with `output`, what
// it prints is read into it. True when it exits 0.
bool run(const std::vector<std::string>& argv, std::string_view input, std::string* output = nullptr) {
  std::array<int, 2> in{-1, -1};
  std::array<int, 2> out{-1, -1};
  if (::pipe2(in.data(), O_CLOEXEC) != 0) {
    return false;
  }
  platform::FileDescriptor inRead(in[0]);
  platform::FileDescriptor inWrite(in[1]);
  if (::pipe2(out.data(), O_CLOEXEC) != 0) {
    return false;
  }
  platform::FileDescriptor outRead(out[0]);
  platform::FileDescriptor outWrite(out[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  auto environment = childEnvironment();
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  inRead.reset();
  outWrite.reset();
  bool written = spawned == 0;
  {
    const PipeSignalHeld held;
    while (written && !input.empty()) {
      const auto n = ::write(inWrite.get(), input.data(), input.size());
      written = n > 0;
      input.remove_prefix(written ? static_cast<std::size_t>(n) : 0);
    }
  }
  inWrite.reset();
  std::array<char, 256> buffer{};
  ssize_t got = 0;
  while ((got = ::read(outRead.get(), buffer.data(), buffer.size())) > 0) {
    if (output != nullptr && output->size() < 4096) {
      output->append(buffer.data(), static_cast<std::size_t>(got));
    }
  }
  platform::cleanse(buffer.data(), buffer.size());  // it held the clipboard, so maybe the code
  int status = -1;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) {
    return false;
  }
  return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::optional<std::string> copyToClipboard(std::string_view code, const Io& io) {
  const auto tool = findTool(io);
  if (!tool) {
    return "no clipboard tool: --copy needs wl-copy and wl-paste (Wayland) or xclip (X11)";
  }
  if (!run(tool->copy, code)) {
    return "the clipboard tool " + tool->copy.front() + " failed";
  }
  // A grandchild in a session of its own outlives the tool and any terminal it was started from.
  const pid_t child = ::fork();
  if (child < 0) {
    return "the clipboard cannot be cleared later: fork failed";
  }
  if (child == 0) {
    if (::setsid() < 0 || ::fork() != 0) {
      ::_exit(0);
    }
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    std::this_thread::sleep_for(std::chrono::seconds(clearAfterSeconds));
    std::string held;
    if (run(tool->paste, {}, &held) && held == code) {
      run(tool->copy, {});  // empty, so nothing of the code is left to paste
    }
    platform::cleanse(held);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return std::nullopt;
}

}  // namespace tervala::cli
