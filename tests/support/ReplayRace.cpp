#include "support/ReplayRace.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>

#include <tervala/OtpReplayGuard.hpp>

namespace tervala::test {
namespace {

constexpr unsigned childTimeLimitSeconds = 60;

// Plays one round per start byte, and answers each with 'a' (accepted), 'r' (replayed) or 'f'.
[[noreturn]] void raceInChild(const std::filesystem::path& file, int startFd, int resultFd) {
  ::alarm(childTimeLimitSeconds);
  SettingsStore store(file);
  OtpReplayGuard guard(store);
  (void)store.data("warm-up");  // open the connection before the first round
  char start = 0;
  for (int round = 0; ::read(startFd, &start, 1) == 1; ++round) {
    const auto verdict = guard.accept("race." + std::to_string(round), 1);
    const char report = verdict == OtpReplayGuard::Verdict::accepted   ? 'a'
                        : verdict == OtpReplayGuard::Verdict::replayed ? 'r'
                                                                       : 'f';
    if (::write(resultFd, &report, 1) != 1) {
      ::_exit(3);
    }
  }
  ::_exit(0);
}

}  // namespace

std::vector<int> raceReplayGuard(const std::filesystem::path& file, int rounds) {
  std::vector<int> accepted(static_cast<std::size_t>(rounds), -1);
  // Per child: a pipe that starts each round and one that carries the verdict back.
  std::array<std::array<int, 2>, 2> starts{};
  std::array<std::array<int, 2>, 2> results{};
  std::array<pid_t, 2> children{};
  for (std::size_t c = 0; c < 2; ++c) {
    if (::pipe(starts[c].data()) != 0 || ::pipe(results[c].data()) != 0) {
      return accepted;
    }
    children[c] = ::fork();
    if (children[c] == 0) {
      ::close(starts[c][1]);
      ::close(results[c][0]);
      if (c == 1) {
        ::close(starts[0][1]);  // the first child's start pipe must end when the parent closes it
      }
      raceInChild(file, starts[c][0], results[c][1]);
    }
    ::close(starts[c][0]);
    ::close(results[c][1]);
  }
  // Lockstep: both children start a round together, and the next starts once both answered.
  for (std::size_t round = 0; round < accepted.size(); ++round) {
    const char go = 'g';
    std::array<char, 2> reports{};
    bool answered = true;
    for (std::size_t c = 0; c < 2; ++c) {
      answered = answered && ::write(starts[c][1], &go, 1) == 1;
    }
    for (std::size_t c = 0; c < 2; ++c) {
      answered = answered && ::read(results[c][0], &reports[c], 1) == 1;
    }
    if (!answered || reports[0] == 'f' || reports[1] == 'f') {
      break;
    }
    accepted[round] = (reports[0] == 'a' ? 1 : 0) + (reports[1] == 'a' ? 1 : 0);
  }
  for (std::size_t c = 0; c < 2; ++c) {
    ::close(starts[c][1]);
    ::close(results[c][0]);
    int status = 0;
    (void)::waitpid(children[c], &status, 0);
  }
  return accepted;
}

}  // namespace tervala::test
