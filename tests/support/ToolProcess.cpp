#include "ToolProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

namespace tervala::test {

ToolProcess::ToolProcess(const std::vector<std::string>& args) {
  std::array<int, 2> in{-1, -1};
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0 ||
      ::pipe2(err.data(), O_CLOEXEC) != 0) {
    return;
  }
  std::vector<std::string> argv{TERVALA_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (auto& arg : argv) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

ToolProcess::~ToolProcess() {
  for (const int fd : {in_, out_, err_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ToolProcess::send(const std::string& text) {
  std::size_t at = 0;
  while (in_ >= 0 && at < text.size()) {
    const ssize_t written = ::write(in_, text.data() + at, text.size() - at);
    if (written <= 0) {
      break;  // the tool stopped reading; what it did is what the test checks
    }
    at += static_cast<std::size_t>(written);
  }
  if (in_ >= 0) {
    ::close(in_);
    in_ = -1;
  }
}

void ToolProcess::readUntil(std::size_t bytes) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (outcome_.out.size() < bytes && (out_ >= 0 || err_ >= 0)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
      return;
    }
    std::array<pollfd, 2> fds{pollfd{out_, POLLIN, 0}, pollfd{err_, POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) {
      return;
    }
    for (auto& ready : fds) {
      if (ready.fd < 0 || (ready.revents & (POLLIN | POLLHUP)) == 0) {
        continue;
      }
      std::array<char, 65536> buffer{};
      const ssize_t got = ::read(ready.fd, buffer.data(), buffer.size());
      int& fd = ready.fd == out_ ? out_ : err_;
      if (got <= 0) {
        ::close(fd);
        fd = -1;
      } else {
        (ready.fd == out_ ? outcome_.out : outcome_.err).append(buffer.data(), static_cast<std::size_t>(got));
      }
    }
  }
}

ToolProcess::Outcome ToolProcess::finish() {
  send("");
  readUntil(std::string::npos);
  if (out_ >= 0 || err_ >= 0) {
    ::kill(pid_, SIGKILL);  // still running after 10 s: the test fails on its status
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  reaped_ = true;
  outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome_;
}

}  // namespace tervala::test
