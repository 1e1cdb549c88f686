// The settings store under heavy faults of real processes: writers killed at random moments,
// writer processes at once, a neighbour that keeps the write lock nearly all the time, threads
// writing at once, and the replay guard raced thousands of times. A token read back is always one
// that was written whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/ReplayRace.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::isWrittenToken;
using test::makeToken;

constexpr int storesPerWriter = 1000;
constexpr std::size_t padding = 20000;

struct Writers {
  const char* name;
  int processes;
  int rounds;
  bool kill;  ///< the first writer is killed a random moment into a random store of each round
};

void PrintTo(const Writers& writers, std::ostream* out) {
  *out << writers.name;
}

class SettingsStoreStress : public ::testing::TestWithParam<Writers> {
 protected:
  void SetUp() override {
    SettingsStore settings(file);
    ASSERT_TRUE(makeToken("before", 0).store(settings));
  }
  // Whole tokens of any writer, or the one stored before.
  [[nodiscard]] bool isWhole(const std::shared_ptr<OAuthToken>& token) const {
    bool whole = token && isWrittenToken(*token, "before", 1);
    for (int w = 0; w < GetParam().processes && token; ++w) {
      whole = whole || isWrittenToken(*token, std::to_string(w), storesPerWriter, padding);
    }
    return whole;
  }

  test::TemporaryFolder folder;
  std::filesystem::path file = folder / "settings" / "settings.sqlite3";
};

// Each writer stores its tokens and reads a whole one back after each, telling the parent of every
// store on a pipe; exits 1 when a store failed, 2 when a read gave no whole token.
TEST_P(SettingsStoreStress, WritersLeaveAWholeWrittenToken) {
  std::mt19937 random(20261206);
  for (int round = 0; round < GetParam().rounds; ++round) {
    SCOPED_TRACE(round);
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    std::vector<pid_t> writers;
    for (int w = 0; w < GetParam().processes; ++w) {
      writers.push_back(::fork());
      ASSERT_GE(writers.back(), 0);
      if (writers.back() == 0) {
        ::close(progress[0]);
        SettingsStore settings(file);
        for (int i = 0; i < storesPerWriter; ++i) {
          if (!makeToken(std::to_string(w), i, padding).store(settings)) {
            ::_exit(1);
          }
          const char tick = 1;
          (void)!::write(progress[1], &tick, 1);
          if (!GetParam().kill && !isWhole(OAuthToken::retrieve(settings))) {
            ::_exit(2);
          }
        }
        ::_exit(0);
      }
    }
    ::close(progress[1]);
    int done = 0;
    if (GetParam().kill) {
      const int after = std::uniform_int_distribution<int>(0, storesPerWriter / 8)(random);
      char tick = 0;
      while (done < after && ::read(progress[0], &tick, 1) == 1) {
        ++done;
      }
      ::usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
      ::kill(writers.front(), SIGKILL);
    }
    for (const pid_t writer : writers) {
      int status = 0;
      ASSERT_EQ(::waitpid(writer, &status, 0), writer);
      EXPECT_TRUE(GetParam().kill || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
    }
    ::close(progress[0]);
    SettingsStore settings(file);
    const auto token = OAuthToken::retrieve(settings);
    ASSERT_TRUE(isWhole(token)) << (token ? token->accessToken() : "no token");
    if (GetParam().kill && done > 0) {  // a store that said yes is not undone by the kill
      EXPECT_GE(std::stoi(token->accessToken().substr(std::string("access-0-").size())), done - 1);
    } else if (!GetParam().kill) {  // the last store of one of them
      EXPECT_TRUE(token->accessToken().ends_with("-" + std::to_string(storesPerWriter - 1)));
    }
  }
  SettingsStore settings(file);  // the store still takes writes after all the interrupted ones
  ASSERT_TRUE(makeToken("before", 0).store(settings));
  EXPECT_TRUE(isWhole(OAuthToken::retrieve(settings)));
}

INSTANTIATE_TEST_SUITE_P(Store, SettingsStoreStress,
                         ::testing::Values(Writers{"killedAtRandomMoments", 1, 8, true},
                                           Writers{"twoProcessesAtOnce", 2, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Another writer that holds the write lock for 60 ms at a time with only a tenth of a millisecond
// between its transactions, for six seconds: a store waits its turn and gets one of those gaps
// within the store's five-second patience, rather than sleeping past nearly all of them.
TEST(SettingsStoreContention, StoreGetsItsTurnBesideABusyWriter) {
  const test::TemporaryFolder folder;
  const auto file = folder / "settings.sqlite3";
  ASSERT_TRUE(SettingsStore(file).setData("k", {1}));
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  const pid_t neighbour = ::fork();
  ASSERT_GE(neighbour, 0);
  if (neighbour == 0) {
    sqlite3* db = nullptr;
    int failed = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 5000);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    for (bool told = false; failed == SQLITE_OK && std::chrono::steady_clock::now() < until; told = true) {
      failed = sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT OR REPLACE INTO settings VALUES ('n', x'00')",
                            nullptr, nullptr, nullptr);
      if (!told) {
        const char ready = 1;
        (void)!::write(started[1], &ready, 1);
      }
      ::usleep(60000);
      failed = failed == SQLITE_OK ? sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) : failed;
      ::usleep(100);
    }
    ::_exit(failed == SQLITE_OK ? 0 : 1);
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
TEST(SettingsStoreContention, ThreadsWritingAtOnceNeverTearAValue) {
  const test::TemporaryFolder folder;
  const auto file = folder / "settings.sqlite3";
  constexpr std::size_t size = std::size_t{64} * 1024;
  const auto isWhole = [](const std::optional<Data>& value) {
    return value && value->size() == size &&
           std::all_of(value->begin(), value->end(), [&](std::uint8_t b) { return b == value->front(); });
  };
  SettingsStore shared(file);
  std::atomic<int> failures{0};
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    SettingsStore store(file);
    while (writing) {
      const auto value = store.data("shared");
      failures += value && !isWhole(value) ? 1 : 0;
    }
  });
  {
    std::vector<std::jthread> threads;
    threads.reserve(4);
    for (int writer = 0; writer < 4; ++writer) {
      threads.emplace_back([&, writer] {
        SettingsStore own(file);
        for (int round = 0; round < 20; ++round) {
          failures += (writer % 2 == 0 ? shared : own)
                              .setData("shared", Data(size, static_cast<std::uint8_t>(writer + 1)))
                          ? 0
                          : 1;
        }
      });
    }
  }
  writing = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(isWhole(shared.data("shared")));
}

TEST(SettingsStoreContention, ReplayGuardRacedThousandsOfTimesAcceptsEachCodeOnce) {
  const test::TemporaryFolder folder;
  EXPECT_EQ(test::raceReplayGuard(folder / "settings.sqlite3", 2000), std::vector<int>(2000, 1));
}

}  // namespace
}  // namespace tervala
