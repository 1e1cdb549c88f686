// Threads in several processes ask for a token at the moment it expires, round after round,
// against a server whose refresh tokens are good once; labelled "stress".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
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

// A token source child with a pipe to send it rounds and one to read its answers.
class Child {
 public:
  Child(const std::string& url, const std::string& file, int threads) {
    std::array<int, 2> in{-1, -1};
    std::array<int, 2> out{-1, -1};
    if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0) {
      return;
    }
    const std::string count = std::to_string(threads);
    std::vector<const char*> argv{TERVALA_TOKEN_SOURCE_CHILD_PATH, url.c_str(), file.c_str(), count.c_str(),
                                  nullptr};
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::execv(argv[0], const_cast<char* const*>(argv.data()));
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
    std::string text(std::fgets(line.data(), static_cast<int>(line.size()), out_.get()) ? line.data() : "");
    return text.ends_with('\n') ? text.substr(0, text.size() - 1) : text;
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

class TokenSourceStress : public ::testing::Test {
 protected:
  TokenSourceStress() {
    endpoint.setHandler([this](const test::RecordedRequest& request) {
      return server.answer(request).after(std::chrono::milliseconds(delay.load()));
    });
  }
  std::unique_ptr<Child> launch(int threads) {
    return std::make_unique<Child>(endpoint.url(), file.string(), threads);
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
  std::vector<std::unique_ptr<Child>> children;
  children.reserve(4);
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
    EXPECT_EQ(stored->accessToken(), name + "-1");
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
