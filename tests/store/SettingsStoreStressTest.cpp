// The settings store under heavy faults: writer processes killed at random moments, processes or
// threads writing at once, a neighbour that keeps the write lock nearly all the time, and the
// replay guard raced thousands of times. What reads back is always a value written whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/FolderSwapRace.hpp"
#include "support/ReplayRace.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::isWrittenToken;
using test::makeToken;

constexpr int stores = 1000;  ///< by all writers of a round together
constexpr std::size_t padding = 20000;

struct Writers {
  const char* name;
  int writers;
  int rounds;
  bool kill;     ///< the first writer is killed a random moment into a random store of each round
  bool threads;  ///< threads of this process, the even ones on one shared connection
};

class SettingsStoreStress : public ::testing::TestWithParam<Writers> {
 protected:
  void SetUp() override {
    SettingsStore settings(file);
    ASSERT_TRUE(makeToken("before", 0).store(settings));
  }
  // Whole tokens of any writer, or the one stored before.
  [[nodiscard]] bool isWhole(const std::shared_ptr<OAuthToken>& token) const {
    bool whole = token && isWrittenToken(*token, "before", 1);
    for (int w = 0; w < GetParam().writers && token; ++w) {
      whole = whole || isWrittenToken(*token, std::to_string(w), stores / GetParam().writers, padding);
    }
    return whole;
  }

  test::TemporaryFolder folder;
  std::filesystem::path file = folder / "settings" / "settings.sqlite3";
};

TEST_P(SettingsStoreStress, WritersLeaveAWholeWrittenToken) {
  const Writers& param = GetParam();
  std::mt19937 random(20261206);
  SettingsStore shared(file);
  for (int round = 0; round < param.rounds; ++round) {
    SCOPED_TRACE(round);
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    // Writer `w` stores its tokens and reads a whole one back after each, telling of every store on
    // the pipe: 0, or 1 when a store failed, 2 when a read gave no whole token.
    const auto write = [&](int w, SettingsStore& settings) {
      for (int i = 0; i < stores / param.writers; ++i) {
        if (!makeToken(std::to_string(w), i, padding).store(settings)) {
          return 1;
        }
        const char tick = 1;
        (void)!::write(progress[1], &tick, 1);
        if (!param.kill && !isWhole(OAuthToken::retrieve(settings))) {
          return 2;
        }
      }
      return 0;
    };
    std::vector<pid_t> writers;
    std::vector<int> statuses(param.writers, 0);
    {
      std::vector<std::jthread> threads;
      for (int w = 0; w < param.writers; ++w) {
        if (param.threads) {
          threads.emplace_back([&, w] {
            SettingsStore own(file);
            statuses[w] = write(w, w % 2 == 0 ? shared : own);
          });
        } else if (writers.push_back(::fork()); writers.back() == 0) {
          ::close(progress[0]);
          SettingsStore settings(file);
          ::_exit(write(w, settings));
        }
      }
    }
    ::close(progress[1]);
    int done = 0;
    if (param.kill) {
      const int after = std::uniform_int_distribution<int>(0, stores / 8)(random);
      char tick = 0;
      while (done < after && ::read(progress[0], &tick, 1) == 1) {
        ++done;
      }
      ::usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
      ::kill(writers.front(), SIGKILL);
    }
    for (std::size_t w = 0; w < writers.size(); ++w) {
      ASSERT_EQ(::waitpid(writers[w], &statuses[w], 0), writers[w]);
      statuses[w] = WIFEXITED(statuses[w]) ? WEXITSTATUS(statuses[w]) : -1;
    }
    EXPECT_TRUE(param.kill || statuses == std::vector<int>(param.writers, 0))
        << ::testing::PrintToString(statuses);
    ::close(progress[0]);
    const auto token = OAuthToken::retrieve(shared);
    ASSERT_TRUE(isWhole(token)) << (token ? token->accessToken() : "no token");
    if (param.kill && done > 0) {  // a store that said yes is not undone by the kill
      EXPECT_GE(std::stoi(token->accessToken().substr(std::string("access-0-").size())), done - 1);
    } else if (!param.kill) {  // the last store of one of them
      EXPECT_TRUE(token->accessToken().ends_with("-" + std::to_string(stores / param.writers - 1)));
    }
  }
  // The store still takes writes after all the interrupted ones.
  ASSERT_TRUE(makeToken("before", 0).store(shared));
  EXPECT_TRUE(isWhole(OAuthToken::retrieve(shared)));
}

INSTANTIATE_TEST_SUITE_P(Store, SettingsStoreStress,
                         ::testing::Values(Writers{"killedAtRandomMoments", 1, 8, true, false},
                                           Writers{"twoProcessesAtOnce", 2, 1, false, false},
                                           Writers{"fourThreadsAtOnce", 4, 1, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A neighbour connection that holds the write lock for 60 ms at a time with only a tenth of a
// millisecond between its transactions, for six seconds: a store waits its turn and gets one of
// those gaps within the store's five-second patience, rather than sleeping past nearly all of them.
TEST(SettingsStoreContention, StoreGetsItsTurnBesideABusyWriter) {
  const test::TemporaryFolder folder;
  SettingsStore settings(folder / "settings.sqlite3");
  ASSERT_TRUE(settings.setData("n", {1}));
  std::atomic<bool> busy{false};
  std::atomic<bool> neighbourFailed{false};
  std::jthread neighbour([&] {
    SettingsStore own(folder / "settings.sqlite3");
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
         std::chrono::steady_clock::now() < until;) {
      neighbourFailed = neighbourFailed || own.update("n", [&](const auto&) {
        busy = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        return std::optional(Data{0});
      }) != SettingsStore::UpdateOutcome::written;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  while (!busy) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(makeToken("after", 0).store(settings)) << "the store gave up beside a writer that leaves gaps";
  neighbour.join();
  EXPECT_FALSE(neighbourFailed);
}

TEST(SettingsStoreContention, ReplayGuardRacedThousandsOfTimesAcceptsEachCodeOnce) {
  const test::TemporaryFolder folder;
  EXPECT_EQ(test::raceReplayGuard(folder / "settings.sqlite3", 2000), std::vector<int>(2000, 1));
}

// The folder swap race of SettingsStoreTest at full length: no store lands in the other file.
TEST(SettingsStoreFolders, ThreeThousandStoresBesideASwappedFolder) {
  const test::TemporaryFolder top;
  const auto race = test::raceFolderSwap(top.path(), 3000);
  std::printf("%d stores, %d written, %d swaps, %d landed in the other folder\n", race.stores, race.written,
              race.swaps, race.landed);
  EXPECT_EQ(race.landed, 0);
  EXPECT_GT(race.swaps, 0);
  EXPECT_GT(race.written, 0);
}

}  // namespace
}  // namespace tervala
