// One of the processes that ask for a token at the same moment, run by TokenSourceStressTest.
// For each line on standard input, THREADS threads ask the token source at once; the process
// answers one line: the access token they all got ("mixed" when they differ, "failed" when one
// got none) and how many changes the source has told so far.
//
//   tervala-token-source-child URL SETTINGS_FILE THREADS
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

int main(int argc, char** argv) {
  if (argc != 4) {
    return 2;
  }
  ::alarm(30);  // a stuck round ends the process, so the test cannot hang
  tervala::setDebugSink(nullptr);
  const auto threads = static_cast<std::size_t>(std::atoi(argv[3]));
  tervala::SettingsStore store(argv[2]);
  tervala::TokenSource source(argv[1], "app", store);
  std::atomic<int> changes = 0;
  source.setChangeHandler([&](const tervala::OAuthToken& /*token*/) { ++changes; });

  for (;;) {
    std::latch start(static_cast<std::ptrdiff_t>(threads) + 1);
    std::vector<std::string> got(threads);
    std::vector<std::thread> askers;
    askers.reserve(threads);
    for (auto& access : got) {
      askers.emplace_back([&] {
        start.arrive_and_wait();
        const auto answer = source.token();
        access = answer.token ? answer.token->accessToken() : "failed";
      });
    }
    std::string line;
    const bool more = static_cast<bool>(std::getline(std::cin, line));
    start.count_down();  // the threads are let go also at the end, so they can be joined
    for (auto& asker : askers) {
      asker.join();
    }
    if (!more) {
      return 0;
    }
    const std::set<std::string> distinct(got.begin(), got.end());
    std::cout << (distinct.size() == 1 ? *distinct.begin() : "mixed") << ' ' << changes << std::endl;
  }
}
