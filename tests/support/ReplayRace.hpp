#pragma once

#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <tervala/OtpReplayGuard.hpp>

namespace tervala::test {

/// Races two processes on the replay guard: each opens its own store on `file`, and in round i
/// (at most 2000) both offer counter 1 of one secret under account "race.<i>" at the same moment.
/// Returns how many of the two accepted each round; a failed offer counts 100. A process gives up
/// after 60 s.
inline std::vector<int> raceReplayGuard(const std::filesystem::path& file, int rounds) {
  // Shared by the racing processes: the start line of each round, and its verdicts.
  struct Race {
    pthread_barrier_t start;
    std::array<std::atomic<int>, 2000> accepted;
  };
  void* memory = ::mmap(nullptr, sizeof(Race), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED || rounds > 2000) {
    return {};
  }
  const auto unmap = [](Race* race) {
    pthread_barrier_destroy(&race->start);
    ::munmap(race, sizeof(Race));
  };
  const std::unique_ptr<Race, decltype(unmap)> race(new (memory) Race{}, unmap);
  pthread_barrierattr_t shared{};
  pthread_barrierattr_init(&shared);
  pthread_barrierattr_setpshared(&shared, PTHREAD_PROCESS_SHARED);
  pthread_barrier_init(&race->start, &shared, 2);
  pthread_barrierattr_destroy(&shared);
  std::array<pid_t, 2> children{-1, -1};
  for (auto& child : children) {
    child = ::fork();
    if (child == 0) {
      ::alarm(60);  // a partner that died leaves this one at the start line
      SettingsStore store(file);
      OtpReplayGuard guard(store);
      (void)store.data("warm-up");  // the connection is open before the first round
      for (int round = 0; round < rounds; ++round) {
        pthread_barrier_wait(&race->start);
        const auto verdict = guard.accept("race." + std::to_string(round), "JBSWY3DPEHPK3PXP", 1);
        race->accepted[round] += verdict == OtpReplayGuard::Verdict::accepted   ? 1
                                 : verdict == OtpReplayGuard::Verdict::replayed ? 0
                                                                                : 100;
      }
      ::_exit(0);
    }
  }
  for (const pid_t child : children) {
    if (child > 0) {
      ::waitpid(child, nullptr, 0);
    }
  }
  return {race->accepted.begin(), race->accepted.begin() + rounds};
}

}  // namespace tervala::test
