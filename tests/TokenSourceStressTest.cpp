// Threads in several processes ask for a token at the moment it expires, round after round,
// against a server whose refresh tokens are good once; labelled "stress".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/RotatingRefresh.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

constexpr int processes = 4;
constexpr int threadsPerProcess = 8;
constexpr int rounds = 50;

// A token source child with a pipe to send it rounds and one to read its answers.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    std::array<int, 2> in{-1, -1};
    std::array<int, 2> out{-1, -1};
    if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0) {
      return;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
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
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    in_.reset();  // the child ends at the end of its input
    out_.reset();
    if (pid_ > 0) {
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void go() {
    std::fputs("go\n", in_.get());
    std::fflush(in_.get());
  }
  // The child's answer to the round; empty once it has ended (it ends itself after 30 s).
  std::string answer() {
    std::array<char, 256> line{};
    if (std::fgets(line.data(), static_cast<int>(line.size()), out_.get()) == nullptr) {
      return {};
    }
    std::string text(line.data());
    if (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    return text;
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

TEST(TokenSourceStress, ThreadsOfFourProcessesShareOneRefreshEveryRound) {
  const test::TemporaryFolder folder;
  const auto file = folder / "settings.sqlite3";
  SettingsStore store(file);
  test::TokenEndpoint endpoint;
  test::RotatingRefresh server;
  endpoint.setHandler([&server](const test::RecordedRequest& request) { return server.answer(request); });

  std::vector<std::unique_ptr<Child>> children;
  children.reserve(processes);
  for (int index = 0; index < processes; ++index) {
    children.push_back(std::make_unique<Child>(std::vector<std::string>{
        TERVALA_TOKEN_SOURCE_CHILD_PATH, endpoint.url(), file.string(), std::to_string(threadsPerProcess)}));
  }
  // Each source first sees a valid token, which is no change.
  const OAuthToken valid("first", "Bearer", "first-refresh",
                         std::chrono::system_clock::now() + std::chrono::hours(1), "read");
  ASSERT_TRUE(valid.store(store));
  for (auto& child : children) {
    child->go();
    ASSERT_EQ(child->answer(), "first 0");
  }
  int refreshes = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "round" + std::to_string(round);
    // Inside the source's 60 s margin from now on: every asker finds it expiring.
    const OAuthToken expiring("old-" + name, "Bearer", name + "-refresh",
                              std::chrono::system_clock::now() + std::chrono::seconds(30), "read");
    ASSERT_TRUE(expiring.store(store));
    server.reset(name + "-refresh", name);
    const auto before = endpoint.requests().size();
    for (auto& child : children) {
      child->go();
    }
    // Every process: all its threads got the one new token, and it was told of it once.
    const std::string expected = name + "-1 " + std::to_string(round + 1);
    for (auto& child : children) {
      ASSERT_EQ(child->answer(), expected);
    }
    ASSERT_EQ(endpoint.requests().size() - before, 1U);
    refreshes += server.granted();
    const auto stored = OAuthToken::retrieve(store);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->accessToken(), name + "-1");
    EXPECT_EQ(stored->refreshToken(), server.good());
  }
  std::cout << threadsPerProcess << " threads x " << processes << " processes, " << rounds
            << " rounds: " << refreshes << " refreshes at the server\n";
}

// The store gives up on a lock after about 5 s; a process whose refresh takes longer must not make
// the others fail, nor send their own request.
TEST(TokenSourceStress, AProcessWaitsOutAnotherProcesssSlowRefresh) {
  const test::TemporaryFolder folder;
  const auto file = folder / "settings.sqlite3";
  SettingsStore store(file);
  test::TokenEndpoint endpoint;
  test::RotatingRefresh server;
  server.reset("slow-refresh", "slow");
  endpoint.setHandler([&server](const test::RecordedRequest& request) {
    return server.answer(request).after(std::chrono::seconds(12));
  });
  const OAuthToken expired("old", "Bearer", "slow-refresh", std::chrono::system_clock::now(), "read");
  ASSERT_TRUE(expired.store(store));
  Child first({TERVALA_TOKEN_SOURCE_CHILD_PATH, endpoint.url(), file.string(), "1"});
  Child second({TERVALA_TOKEN_SOURCE_CHILD_PATH, endpoint.url(), file.string(), "1"});
  first.go();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the first holds the lock by then
  second.go();
  EXPECT_EQ(first.answer(), "slow-1 1");
  EXPECT_EQ(second.answer(), "slow-1 1");
  EXPECT_EQ(endpoint.requests().size(), 1U);
}

}  // namespace
}  // namespace tervala
