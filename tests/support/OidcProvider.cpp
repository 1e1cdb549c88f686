#include "OidcProvider.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

namespace tervala::test {
namespace {

using std::chrono::steady_clock;
namespace fs = std::filesystem;

// What makes every missing piece a failure rather than a skip: CI installs them, so a missing one
// is a broken setup.
constexpr std::string_view install = ": run scripts/setup.sh test";

fs::path node() {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto end = rest.find(':');
    const auto candidate = fs::path(rest.substr(0, end)) / "node";
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }
  throw std::runtime_error("node is not on PATH" + std::string(install));
}

// The first line of `fd`, or "" when it ends first or `limit` passes.
std::string firstLine(int fd, std::chrono::seconds limit) {
  const auto deadline = steady_clock::now() + limit;
  std::string text;
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    std::array<char, 256> buffer{};
    const ssize_t got = left.count() > 0 && ::poll(&ready, 1, static_cast<int>(left.count())) > 0
                            ? ::read(fd, buffer.data(), buffer.size())
                            : 0;
    if (got <= 0) {  // ended, timed out or failed
      return {};
    }
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  return text.substr(0, text.find('\n'));
}

}  // namespace

void OidcProvider::installBrowser(const std::string& folder, const std::string& user) {
  const auto script = fs::path(folder) / "xdg-open";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\n'" << node().string() << "' '" << TERVALA_PROVIDER_FOLDER << "/browser.mjs' \"$1\" '"
        << user << "' >> '" << folder << "/browser.log' 2>&1 &\n";
  }
  fs::permissions(script, fs::perms::owner_all);
}

OidcProvider::OidcProvider(const std::string& configuration) {
  const fs::path folder = TERVALA_PROVIDER_FOLDER;
  if (!fs::exists(folder / "node_modules/oidc-provider/package.json")) {
    throw std::runtime_error("oidc-provider is not installed in " + folder.string() + std::string(install));
  }
  std::string program = node().string();
  std::string script = (folder / "provider.mjs").string();
  std::array<int, 2> in{-1, -1};
  std::array<int, 2> out{-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in.data()) != 0 ||
      ::pipe2(out.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error("no pipe for the provider");
  }
  std::array<char*, 3> argv{program.data(), script.data(), nullptr};  // built before the fork
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  input_ = platform::FileDescriptor(in[1]);
  const platform::FileDescriptor output(out[0]);
  // One send of a blocking stream socket takes all of it, or fails when the child is already gone
  // (no SIGPIPE: its standard input is a socket).
  const std::string line = configuration + "\n";
  if (pid_ > 0 && ::send(input_.get(), line.data(), line.size(), MSG_NOSIGNAL) == std::ssize(line)) {
    // A start on a busy machine loads a few hundred modules: seconds, not milliseconds.
    issuer_ = firstLine(output.get(), std::chrono::seconds(20));
  }
  if (!issuer_.starts_with("http://127.0.0.1:")) {
    stop();
    throw std::runtime_error("oidc-provider did not start (its reasons are on standard error)" +
                             std::string(install) + " if node or the package is broken");
  }
}

OidcProvider::~OidcProvider() {
  stop();
}

void OidcProvider::stop() noexcept {
  input_.reset();
  if (pid_ <= 0) {
    return;
  }
  const auto deadline = steady_clock::now() + std::chrono::seconds(5);
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

}  // namespace tervala::test
