// Hosts as real processes (the child program tervala-host-child): hosts that exit with HTTPS
// grants in flight, and threads in several processes that ask for a token the moment it expires,
// against a server whose refresh tokens are good once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/RotatingRefresh.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;

// The child program, its standard input and output one socket of ours.
class HostChild {
 public:
  explicit HostChild(std::vector<std::string> arguments) {
    std::array<int, 2> ends{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
      return;
    }
    arguments.insert(arguments.begin(), TERVALA_HOST_CHILD_PATH);
    std::vector<char*> argv(arguments.size() + 1, nullptr);  // ends with the null execv needs
    std::ranges::transform(arguments, argv.begin(), [](std::string& argument) { return argument.data(); });
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ends[1], STDIN_FILENO);
      ::dup2(ends[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(ends[1]);
    socket_ = ends[0];
  }
  HostChild(const HostChild&) = delete;
  HostChild& operator=(const HostChild&) = delete;
  ~HostChild() { (void)end(); }

  void go() const { (void)::send(socket_, "go\n", 3, MSG_NOSIGNAL); }
  // The child's answer to the round; empty once it has ended.
  [[nodiscard]] std::string answer() const {
    std::string line;
    for (char c = 0; ::read(socket_, &c, 1) == 1 && c != '\n';) {
      line += c;
    }
    return line;
  }
  // Ends its input and waits: its exit status, or -SIGNAL (SIGALRM: it hung).
  int end() {
    ::close(std::exchange(socket_, -1));
    int status = 0;
    if (pid_ <= 0 || ::waitpid(std::exchange(pid_, -1), &status, 0) <= 0) {
      return -1000;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int socket_ = -1;
};

// `processes` token-source children of the store's file, each with `threads` asking threads.
std::vector<std::unique_ptr<HostChild>> tokenSources(int processes, const test::TokenEndpoint& endpoint,
                                                     const SettingsStore& store, int threads) {
  std::vector<std::unique_ptr<HostChild>> children;
  for (int index = 0; index < processes; ++index) {
    children.push_back(std::make_unique<HostChild>(std::vector<std::string>{
        "token-source", endpoint.url(), store.location().string(), std::to_string(threads)}));
  }
  return children;
}

OAuthToken expiringIn(std::chrono::seconds left, const std::string& access, const std::string& refresh) {
  return OAuthToken(access, "Bearer", refresh, std::chrono::system_clock::now() + left, "read");
}

// A way a host ends, the grants in flight, and the runs.
// How many processes hold `path` open: those waiting their turn on a lock file keep it open.
int processesHolding(const std::filesystem::path& path) {
  int holding = 0;
  std::error_code ignored;
  for (const auto& process : std::filesystem::directory_iterator("/proc", ignored)) {
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", ignored)) {
      if (std::filesystem::read_symlink(fd.path(), ignored) == path) {
        ++holding;
        break;
      }
    }
  }
  return holding;
}

class OAuthExitStress : public ::testing::TestWithParam<std::tuple<std::string, int, int>> {};

// Each run ends the process a random 0-60 ms after starting its grants: none may crash or hang.
TEST_P(OAuthExitStress, NoRunCrashesOrHangs) {
  const auto& [mode, grants, runs] = GetParam();
  // Handshakes queue behind the endpoint's workers; replies wait up to 40 ms, so an exit finds
  // grants in every stage: connecting, in the handshake, waiting for the reply, completing.
  test::TokenEndpoint endpoint(test::TestCertificate::Kind::loopback);
  endpoint.setHandler([served = std::make_shared<std::atomic<int>>(0)](const test::RecordedRequest&) {
    return test::Reply{}.after(std::chrono::milliseconds(served->fetch_add(7) % 41));
  });
  std::mt19937 seeds(std::random_device{}());
  for (int run = 0; run < runs; ++run) {
    HostChild child({"exit", endpoint.url(), std::to_string(grants), mode, std::to_string(seeds())});
    ASSERT_EQ(child.end(), 0) << "run " << run << " (exit status, or -signal)";
  }
}

INSTANTIATE_TEST_SUITE_P(Exits, OAuthExitStress,
                         ::testing::Values(std::tuple("return", 1, 50), std::tuple("return", 100, 20),
                                           std::tuple("exit-thread", 4, 50),
                                           std::tuple("exit-thread", 100, 20),
                                           std::tuple("blocked-return", 100, 20),
                                           std::tuple("blocking-return", 100, 20)),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param);
                           std::erase(name, '-');
                           return name + std::to_string(std::get<1>(info.param));
                         });

// Processes, asking threads in each, rounds, and the delay of the server's every answer in ms.
class TokenSourceStress : public ::testing::TestWithParam<std::tuple<int, int, int, int>> {};

// Every thread of every process asks the moment the token expires: all get the one new token
// from one refresh, and each process is told of it once.
TEST_P(TokenSourceStress, OneRefreshServesEveryThreadOfEveryProcess) {
  const auto& [processes, threads, rounds, delay] = GetParam();
  const test::TemporaryFolder folder;
  SettingsStore store(folder / "settings.sqlite3");
  test::RotatingRefresh server;
  test::TokenEndpoint endpoint;
  endpoint.setHandler([&](const test::RecordedRequest& request) {
    return server.answer(request).after(std::chrono::milliseconds(std::get<3>(GetParam())));
  });
  const auto children = tokenSources(processes, endpoint, store, threads);
  // Each source first sees a valid token, which is no change.
  ASSERT_TRUE(expiringIn(1h, "old-first", "first-refresh").store(store));
  for (const auto& child : children) {
    child->go();
    ASSERT_EQ(child->answer(), "old-first 0");
  }
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "round" + std::to_string(round);
    // Inside the source's 60 s margin from now on: every asker finds it expiring.
    ASSERT_TRUE(expiringIn(30s, "old-" + name, name + "-refresh").store(store));
    server.reset(name + "-refresh", name);
    const auto before = endpoint.requests().size();
    for (const auto& child : children) {
      child->go();
      if (delay > 0) {
        std::this_thread::sleep_for(1s);  // the first holds the lock by then
      }
    }
    for (const auto& child : children) {
      ASSERT_EQ(child->answer(), name + "-1 " + std::to_string(round + 1));
    }
    ASSERT_EQ(endpoint.requests().size() - before, 1U);
    const auto stored = OAuthToken::retrieve(store);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->refreshToken(), server.good());
  }
}

// The store gives up on a lock after about 5 s: a process whose refresh takes longer must not make
// the others fail, nor send their own request.
INSTANTIATE_TEST_SUITE_P(Sources, TokenSourceStress,
                         ::testing::Values(std::tuple(4, 8, 50, 0), std::tuple(16, 1, 10, 0),
                                           std::tuple(2, 1, 1, 12000)),
                         [](const auto& info) {
                           if (std::get<3>(info.param) > 0) {
                             return std::string("SlowRefreshWaitedOut");
                           }
                           return std::to_string(std::get<0>(info.param)) + "ProcessesOf" +
                                  std::to_string(std::get<1>(info.param)) + "Threads";
                         });

// Sixteen processes ask at once and the server refuses the refresh token: one refused request on
// the wire, and its refusal is every process's answer (each used to wait its turn and send again).
TEST(TokenSourceRefusalStress, SixteenProcessesShareOneRefusedRequest) {
  constexpr int processes = 16;
  const test::TemporaryFolder folder;
  SettingsStore store(folder / "settings.sqlite3");
  test::TokenEndpoint endpoint;
  ASSERT_TRUE(expiringIn(30s, "old", "spent-refresh").store(store));
  // Answered once every process waits its turn (each holds the lock file open): a process that
  // asked only after the refusal was recorded would rightly send again, and sixteen sanitized
  // processes on a busy machine may start seconds apart.
  const auto lockFile = std::filesystem::canonical(folder / ".") / "settings.sqlite3.refresh-lock";
  endpoint.setHandler([&lockFile](const test::RecordedRequest&) {
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (processesHolding(lockFile) < processes && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(10ms);
    }
    return test::Reply::answer(400, R"({"error":"invalid_grant"})");
  });
  const auto children = tokenSources(processes, endpoint, store, 1);
  for (const auto& child : children) {
    child->go();
  }
  for (const auto& child : children) {
    EXPECT_EQ(child->answer(), "failed:invalid_grant 0");
  }
  EXPECT_EQ(endpoint.requests().size(), 1U);
  // The askers' last round, as their input ends, finds a good token and sends nothing.
  ASSERT_TRUE(expiringIn(1h, "new", "r").store(store));
}

}  // namespace
}  // namespace tervala
