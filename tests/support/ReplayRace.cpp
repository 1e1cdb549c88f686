#include "support/ReplayRace.hpp"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>

#include <tervala/OtpReplayGuard.hpp>

namespace tervala::test {
namespace {

// Plays one round per start byte read from `link`, and answers each with 'a' (accepted),
// 'r' (replayed) or 'f'. Ends itself after 60 s, so the race cannot hang.
[[noreturn]] void raceInChild(const std::filesystem::path& file, int link) {
  ::alarm(60);
  SettingsStore store(file);
  OtpReplayGuard guard(store);
  (void)store.data("warm-up");  // open the connection before the first round
  char start = 0;
  for (int round = 0; ::read(link, &start, 1) == 1; ++round) {
    const auto verdict = guard.accept("race." + std::to_string(round), 1);
    const char report = verdict == OtpReplayGuard::Verdict::accepted   ? 'a'
                        : verdict == OtpReplayGuard::Verdict::replayed ? 'r'
                                                                       : 'f';
    if (::write(link, &report, 1) != 1) {
      ::_exit(3);
    }
  }
  ::_exit(0);
}

}  // namespace

std::vector<int> raceReplayGuard(const std::filesystem::path& file, int rounds) {
  std::vector<int> accepted(static_cast<std::size_t>(rounds), -1);
  std::array<int, 2> links{-1, -1};  // the parent's end of each child's socket pair
  std::array<pid_t, 2> children{-1, -1};
  for (std::size_t c = 0; c < 2; ++c) {
    std::array<int, 2> pair{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) {
      break;
    }
    children[c] = ::fork();
    if (children[c] == 0) {
      ::close(pair[0]);   // its link ends when the parent closes its end,
      ::close(links[0]);  // and the first child's when the parent closes that one
      raceInChild(file, pair[1]);
    }
    ::close(pair[1]);
    links[c] = pair[0];
  }
  // Lockstep: both children start a round together, and the next starts once both answered.
  for (std::size_t round = 0; round < accepted.size(); ++round) {
    const char go = 'g';
    std::array<char, 2> reports{};
    bool answered = true;
    for (const int link : links) {
      answered = answered && ::write(link, &go, 1) == 1;
    }
    for (std::size_t c = 0; c < 2; ++c) {
      answered = answered && ::read(links[c], &reports[c], 1) == 1;
    }
    if (!answered || reports[0] == 'f' || reports[1] == 'f') {
      break;
    }
    accepted[round] = (reports[0] == 'a' ? 1 : 0) + (reports[1] == 'a' ? 1 : 0);
  }
  for (std::size_t c = 0; c < 2; ++c) {
    ::close(links[c]);  // the child ends at the end of its input
    if (children[c] > 0) {
      ::waitpid(children[c], nullptr, 0);
    }
  }
  return accepted;
}

}  // namespace tervala::test
