#include "ToolProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace tervala::test {

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                         const std::string& program) {
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) {
    return;
  }
  std::vector<std::string> argv{program.empty() ? std::string(TERVALA_CLI_PATH) : program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> variables = environment;  // first: getenv finds the first of a name
  for (char** variable = environ; *variable != nullptr; ++variable) {
    variables.emplace_back(*variable);
  }
  // Built before the fork: the child of a threaded process only calls what is safe there.
  const auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> all(texts.size() + 1, nullptr);
    std::ranges::transform(texts, all.begin(), [](std::string& text) { return text.data(); });
    return all;
  };
  const auto argvPointers = pointers(argv);
  const auto environmentPointers = pointers(variables);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execve(argvPointers[0], argvPointers.data(), environmentPointers.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  streams_ = {platform::FileDescriptor(out[0]), platform::FileDescriptor(err[0])};
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

const ToolRun& ToolProcess::readUntil(const std::function<bool(const ToolRun&)>& enough) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::seconds(10);
  while (!enough(run_) && (streams_[0].valid() || streams_[1].valid())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    std::array<pollfd, 2> fds{pollfd{streams_[0].get(), POLLIN, 0}, pollfd{streams_[1].get(), POLLIN, 0}};
    if (left.count() <= 0 ||
        (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)) {
      break;
    }
    for (std::size_t at = 0; at < fds.size(); ++at) {
      if (fds[at].revents == 0) {  // also a stream already ended: poll skips a negative fd
        continue;
      }
      std::array<char, 65536> buffer{};
      const ssize_t got = ::read(fds[at].fd, buffer.data(), buffer.size());
      if (got <= 0) {
        streams_[at].reset();
      } else {
        (at == 0 ? run_.out : run_.err).append(buffer.data(), static_cast<std::size_t>(got));
      }
    }
  }
  return run_;
}

ToolRun ToolProcess::finish() {
  if (pid_ < 0) {
    return run_;  // never started: status -1
  }
  readUntil([](const ToolRun&) { return false; });
  if (streams_[0].valid() || streams_[1].valid()) {
    ::kill(pid_, SIGKILL);  // still running after 10 s: the test fails on its status
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run_;
}

}  // namespace tervala::test
