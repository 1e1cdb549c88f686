#include "ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>

extern char** environ;

namespace tervala::test {
namespace {

struct Pipe {
  std::array<int, 2> ends{-1, -1};
  Pipe() {
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
      ends = {-1, -1};
    }
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  Pipe(Pipe&&) = delete;
  Pipe& operator=(Pipe&&) = delete;
  ~Pipe() {
    close(0);
    close(1);
  }
  void close(int end) {
    if (ends[end] >= 0) {
      ::close(ends[end]);
      ends[end] = -1;
    }
  }
};

}  // namespace

ChildResult runChild(const std::vector<std::string>& argv, const std::string& input,
                     std::chrono::milliseconds limit) {
  ChildResult result;
  Pipe in;
  Pipe out;
  Pipe err;
  if (in.ends[0] < 0 || out.ends[0] < 0 || err.ends[0] < 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.ends[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.ends[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const auto& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return result;
  }
  in.close(0);
  out.close(1);
  err.close(1);

  // A closed reader must not kill the test with SIGPIPE.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);

  std::size_t written = 0;
  if (input.empty()) {
    in.close(1);
  }
  // A child that runs past the limit is killed, so a hung tool fails its test instead of hanging it.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out.ends[0] >= 0 || err.ends[0] >= 0) {
    std::array<pollfd, 3> fds{{{out.ends[0], POLLIN, 0}, {err.ends[0], POLLIN, 0}, {in.ends[1], POLLOUT, 0}}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = left.count() > 0 ? ::poll(fds.data(), fds.size(), static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      ::kill(pid, SIGKILL);
      result.err += "[runChild: killed, still running after the limit]";
      break;
    }
    for (int index = 0; index < 2; ++index) {
      if (fds[index].revents != 0) {
        std::array<char, 4096> buffer{};
        const ssize_t got = ::read(fds[index].fd, buffer.data(), buffer.size());
        if (got > 0) {
          (index == 0 ? result.out : result.err).append(buffer.data(), static_cast<std::size_t>(got));
        } else {
          (index == 0 ? out : err).close(0);
        }
      }
    }
    if (fds[2].revents != 0) {
      const ssize_t put = ::write(in.ends[1], input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put <= 0 || written == input.size()) in.close(1);
    }
  }
  in.close(1);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  sigaction(SIGPIPE, &previous, nullptr);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace tervala::test
