// The settings store under heavy faults of real processes: writers killed at random moments,
// two writer processes at once, a neighbour that keeps the write lock nearly all the time, and
// threads writing at once. A token read back is always one that was written whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::isWrittenToken;
using test::makeToken;

constexpr int storesPerWriter = 1000;

class SettingsStoreStress : public ::testing::Test {
 protected:
  void SetUp() override {
    SettingsStore settings(file);
    ASSERT_TRUE(makeToken("before", 0).store(settings));
  }

  test::TemporaryFolder folder;
  std::filesystem::path file = folder / "settings" / "settings.sqlite3";
};

TEST_F(SettingsStoreStress, WriterKilledAtRandomMomentsLeavesAWholeWrittenToken) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 8; ++round) {
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(progress[0]);
      SettingsStore settings(file);
      for (int i = 0; i < storesPerWriter; ++i) {
        if (!makeToken("writer", i, 20000).store(settings)) {
          ::_exit(1);
        }
        const char tick = 1;
        (void)!::write(progress[1], &tick, 1);
      }
      ::_exit(0);
    }
    ::close(progress[1]);
    // Kill after a random number of stores, a random few microseconds into the next one.
    const int after = std::uniform_int_distribution<int>(0, storesPerWriter / 8)(random);
    char tick = 0;
    int done = 0;
    while (done < after && ::read(progress[0], &tick, 1) == 1) {
      ++done;
    }
    ::usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
    ::kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ::close(progress[0]);

    SettingsStore settings(file);
    const auto token = OAuthToken::retrieve(settings);
    ASSERT_NE(token, nullptr) << "round " << round;
    EXPECT_TRUE(isWrittenToken(*token, "writer", storesPerWriter, 20000) ||
                isWrittenToken(*token, "before", 1))
        << "round " << round << ": " << token->accessToken();
    if (done > 0) {  // a store that said yes is not undone by the kill
      EXPECT_GE(std::stoi(token->accessToken().substr(std::string("access-writer-").size())), done - 1);
    }
  }
  SettingsStore settings(file);  // the store still takes writes after all the interrupted ones
  ASSERT_TRUE(makeToken("after", 0).store(settings));
  const auto token = OAuthToken::retrieve(settings);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(isWrittenToken(*token, "after", 1));
}

TEST_F(SettingsStoreStress, TwoProcessesStoringAtOnceBothSucceedAndReadWholeTokens) {
  const auto writer = [this](const std::string& name, const std::string& other) {
    SettingsStore settings(file);
    for (int i = 0; i < storesPerWriter; ++i) {
      if (!makeToken(name, i).store(settings)) {
        return 1;
      }
      const auto token = OAuthToken::retrieve(settings);
      if (!token || !(isWrittenToken(*token, name, storesPerWriter) ||
                      isWrittenToken(*token, other, storesPerWriter))) {
        return 2;
      }
    }
    return 0;
  };
  const pid_t second = ::fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    ::_exit(writer("B", "A"));
  }
  const int statusA = test::runInChild([&] { return writer("A", "B"); });
  int status = 0;
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  EXPECT_EQ(statusA, 0) << "1: a store failed, 2: a read gave no whole token";
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0)
      << "1: a store failed, 2: a read gave no whole token";
  SettingsStore settings(file);
  const auto last = OAuthToken::retrieve(settings);
  ASSERT_NE(last, nullptr);
  EXPECT_TRUE(last->accessToken() == "access-A-999" || last->accessToken() == "access-B-999")
      << last->accessToken();
}

// Another writer that holds the write lock for 60 ms at a time with only a tenth of a millisecond
// between its transactions, for six seconds: a store waits its turn and gets one of those gaps
// within the store's five-second patience, rather than sleeping past nearly all of them.
TEST_F(SettingsStoreStress, StoreGetsItsTurnBesideABusyWriter) {
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  const pid_t neighbour = ::fork();
  ASSERT_GE(neighbour, 0);
  if (neighbour == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ::_exit(1);
    }
    sqlite3_busy_timeout(db, 5000);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    for (bool told = false; std::chrono::steady_clock::now() < until; told = true) {
      if (sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT OR REPLACE INTO settings VALUES ('neighbour', x'00')",
                       nullptr, nullptr, nullptr) != SQLITE_OK) {
        ::_exit(2);
      }
      const char ready = 1;
      if (!told) {
        (void)!::write(started[1], &ready, 1);
      }
      ::usleep(60000);
      if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        ::_exit(3);
      }
      ::usleep(100);
    }
    sqlite3_close(db);
    ::_exit(0);
  }
  ::close(started[1]);
  char ready = 0;
  ASSERT_EQ(::read(started[0], &ready, 1), 1);
  ::close(started[0]);

  SettingsStore settings(file);
  const bool stored = makeToken("after", 0).store(settings);
  int status = 0;
  ASSERT_EQ(::waitpid(neighbour, &status, 0), neighbour);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the neighbour writer failed";
  EXPECT_TRUE(stored) << "the store gave up beside a writer that leaves gaps";
}

// Writers on a shared connection and on their own, and a reader, at once: no value is torn.
TEST_F(SettingsStoreStress, ThreadsWritingAtOnceNeverTearAValue) {
  constexpr int writers = 4;
  constexpr int rounds = 20;
  constexpr std::size_t size = std::size_t{64} * 1024;
  const auto isWhole = [](const std::optional<Data>& value) {
    return value && value->size() == size &&
           std::all_of(value->begin(), value->end(), [&](std::uint8_t b) { return b == value->front(); });
  };
  SettingsStore shared(file);
  std::atomic<int> failures{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < writers; ++writer) {
    threads.emplace_back([&, writer] {
      SettingsStore own(file);
      SettingsStore& store = writer % 2 == 0 ? shared : own;
      for (int round = 0; round < rounds; ++round) {
        failures += store.setData("shared", Data(size, static_cast<std::uint8_t>(writer + 1))) ? 0 : 1;
      }
    });
  }
  std::thread reader([&] {
    SettingsStore store(file);
    while (writing) {
      const auto value = store.data("shared");
      failures += value && !isWhole(value) ? 1 : 0;
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  writing = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(isWhole(shared.data("shared")));
}

}  // namespace
}  // namespace tervala
