// Exiting with HTTPS grants in flight, the way hosts do it: each run is a child process that
// initialised libcurl and OpenSSL itself, starts grants against a loopback endpoint and ends the
// process a random 0-60 ms later. No run may crash or hang.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/TokenEndpoint.hpp"

extern char** environ;

namespace tervala {
namespace {

using test::Reply;
using test::TokenEndpoint;

// Runs the child and returns how it ended: its exit status, -SIGNAL when a signal ended it, or
// -1000 when it was still running after ten seconds (then it is killed).
int runExitChild(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    return -2000;
  }
  int status = 0;
  for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++waited) {
    if (waited == 5000) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1000;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

struct ExitCase {
  const char* mode;
  int grants;
  int runs;
};

void PrintTo(const ExitCase& exitCase, std::ostream* out) {
  *out << exitCase.mode << '/' << exitCase.grants;
}

class OAuthExitStress : public ::testing::TestWithParam<ExitCase> {};

TEST_P(OAuthExitStress, NoRunCrashesOrHangs) {
  // Handshakes queue behind the endpoint's workers; replies wait up to 40 ms, so an exit finds
  // grants in every stage: connecting, in the handshake, waiting for the reply, completing.
  TokenEndpoint endpoint(test::TestCertificate::Kind::loopback);
  endpoint.setHandler([served = std::make_shared<std::atomic<int>>(0)](const test::RecordedRequest&) {
    return Reply{}.after(std::chrono::milliseconds(served->fetch_add(7) % 41));
  });
  std::mt19937 seeds(std::random_device{}());
  for (int run = 0; run < GetParam().runs; ++run) {
    ASSERT_EQ(runExitChild({TERVALA_EXIT_CHILD_PATH, endpoint.url(), std::to_string(GetParam().grants),
                            GetParam().mode, std::to_string(seeds())}),
              0)
        << "run " << run << " (exit status, -signal, -1000 hang)";
  }
}

INSTANTIATE_TEST_SUITE_P(Exits, OAuthExitStress,
                         ::testing::Values(ExitCase{"return", 1, 50}, ExitCase{"return", 4, 50},
                                           ExitCase{"return", 100, 50}, ExitCase{"exit-thread", 4, 50},
                                           ExitCase{"exit-thread", 100, 20},
                                           ExitCase{"blocked-return", 100, 20},
                                           ExitCase{"blocking-return", 100, 20}),
                         [](const auto& info) {
                           std::string name = info.param.mode;
                           std::erase(name, '-');
                           return name + std::to_string(info.param.grants);
                         });

}  // namespace
}  // namespace tervala
