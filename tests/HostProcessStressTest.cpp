// Hosts as real processes (the child program tervala-host-child): hosts that exit with HTTPS
// grants in flight, and threads in several processes that ask for a token the moment it expires,
// against a server whose refresh tokens are good once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/RotatingRefresh.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

// The child program with a pipe to send it lines and one to read its answers.
class HostChild {
 public:
  explicit HostChild(std::vector<std::string> arguments) {
    std::array<int, 2> in{-1, -1};
    std::array<int, 2> out{-1, -1};
    if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0) {
      return;
    }
    arguments.insert(arguments.begin(), TERVALA_HOST_CHILD_PATH);
    std::vector<char*> argv;
    for (auto& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_.reset(::fdopen(in[1], "w"));
    out_.reset(::fdopen(out[0], "r"));
  }
  HostChild(const HostChild&) = delete;
  HostChild& operator=(const HostChild&) = delete;
  ~HostChild() { (void)end(); }

  void go() {
    std::fputs("go\n", in_.get());
    std::fflush(in_.get());
  }
  // The child's answer to the round; empty once it has ended.
  std::string answer() {
    std::array<char, 256> line{};
    std::string text(std::fgets(line.data(), static_cast<int>(line.size()), out_.get()) ? line.data() : "");
    return text.ends_with('\n') ? text.substr(0, text.size() - 1) : text;
  }
  // Ends its input and waits: its exit status, or -SIGNAL (SIGALRM: it hung).
  int end() {
    in_.reset();
    out_.reset();
    int status = 0;
    if (pid_ <= 0 || ::waitpid(std::exchange(pid_, -1), &status, 0) <= 0) {
      return -1000;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  struct CloseFile {
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): the deleter is the owner
    void operator()(FILE* file) const noexcept { (void)std::fclose(file); }
  };
  pid_t pid_ = -1;
  std::unique_ptr<FILE, CloseFile> in_;
  std::unique_ptr<FILE, CloseFile> out_;
};

struct ExitCase {
  const char* mode;
  int grants;
  int runs;
};

void PrintTo(const ExitCase& exitCase, std::ostream* out) {
  *out << exitCase.mode << '/' << exitCase.grants;
}

class OAuthExitStress : public ::testing::TestWithParam<ExitCase> {};

// Each run ends the process a random 0-60 ms after starting its grants: none may crash or hang.
TEST_P(OAuthExitStress, NoRunCrashesOrHangs) {
  // Handshakes queue behind the endpoint's workers; replies wait up to 40 ms, so an exit finds
  // grants in every stage: connecting, in the handshake, waiting for the reply, completing.
  test::TokenEndpoint endpoint(test::TestCertificate::Kind::loopback);
  endpoint.setHandler([served = std::make_shared<std::atomic<int>>(0)](const test::RecordedRequest&) {
    return test::Reply{}.after(std::chrono::milliseconds(served->fetch_add(7) % 41));
  });
  std::mt19937 seeds(std::random_device{}());
  for (int run = 0; run < GetParam().runs; ++run) {
    HostChild child({"exit", endpoint.url(), std::to_string(GetParam().grants), GetParam().mode,
                     std::to_string(seeds())});
    ASSERT_EQ(child.end(), 0) << "run " << run << " (exit status, or -signal)";
  }
}

INSTANTIATE_TEST_SUITE_P(Exits, OAuthExitStress,
                         ::testing::Values(ExitCase{"return", 1, 50}, ExitCase{"return", 100, 50},
                                           ExitCase{"exit-thread", 4, 50}, ExitCase{"exit-thread", 100, 20},
                                           ExitCase{"blocked-return", 100, 20},
                                           ExitCase{"blocking-return", 100, 20}),
                         [](const auto& info) {
                           std::string name = info.param.mode;
                           std::erase(name, '-');
                           return name + std::to_string(info.param.grants);
                         });

class TokenSourceStress : public ::testing::Test {
 protected:
  TokenSourceStress() {
    endpoint.setHandler([this](const test::RecordedRequest& request) {
      return server.answer(request).after(std::chrono::milliseconds(delay.load()));
    });
  }
  std::unique_ptr<HostChild> launch(int threads) {
    return std::make_unique<HostChild>(
        std::vector<std::string>{"token-source", endpoint.url(), file.string(), std::to_string(threads)});
  }
  static OAuthToken expiringIn(const std::string& name, std::chrono::seconds left) {
    return {"old-" + name, "Bearer", name + "-refresh", std::chrono::system_clock::now() + left, "read"};
  }

  test::TemporaryFolder folder;
  std::filesystem::path file = folder / "settings.sqlite3";
  SettingsStore store{file};
  test::RotatingRefresh server;
  std::atomic<int> delay{0};  ///< before each answer, in milliseconds
  test::TokenEndpoint endpoint;
};

TEST_F(TokenSourceStress, ThreadsOfFourProcessesShareOneRefreshEveryRound) {
  std::vector<std::unique_ptr<HostChild>> children;
  for (int index = 0; index < 4; ++index) {
    children.push_back(launch(8));
  }
  // Each source first sees a valid token, which is no change.
  ASSERT_TRUE(expiringIn("first", std::chrono::hours(1)).store(store));
  for (auto& child : children) {
    child->go();
    ASSERT_EQ(child->answer(), "old-first 0");
  }
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "round" + std::to_string(round);
    // Inside the source's 60 s margin from now on: every asker finds it expiring.
    ASSERT_TRUE(expiringIn(name, std::chrono::seconds(30)).store(store));
    server.reset(name + "-refresh", name);
    const auto before = endpoint.requests().size();
    for (auto& child : children) {
      child->go();
    }
    // Every process: all its threads got the one new token, and it was told of it once.
    for (auto& child : children) {
      ASSERT_EQ(child->answer(), name + "-1 " + std::to_string(round + 1));
    }
    ASSERT_EQ(endpoint.requests().size() - before, 1U);
    const auto stored = OAuthToken::retrieve(store);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->refreshToken(), server.good());
  }
}

// The store gives up on a lock after about 5 s; a process whose refresh takes longer must not make
// the others fail, nor send their own request.
TEST_F(TokenSourceStress, AProcessWaitsOutAnotherProcesssSlowRefresh) {
  delay = 12000;
  server.reset("slow-refresh", "slow");
  ASSERT_TRUE(expiringIn("slow", std::chrono::seconds(0)).store(store));
  const auto first = launch(1);
  const auto second = launch(1);
  first->go();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the first holds the lock by then
  second->go();
  EXPECT_EQ(first->answer(), "slow-1 1");
  EXPECT_EQ(second->answer(), "slow-1 1");
  EXPECT_EQ(endpoint.requests().size(), 1U);
}

}  // namespace
}  // namespace tervala
