#include "support/FolderSwapRace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

#include <tervala/SettingsStore.hpp>

namespace tervala::test {

FolderSwapRace raceFolderSwap(const std::filesystem::path& top, int stores) {
  const auto mine = top / "store";
  const auto theirs = top / "theirs";
  const std::string name = "settings.sqlite3";
  FolderSwapRace race{.stores = stores};
  if (!SettingsStore(mine / name).setData("token", {0}) ||
      !SettingsStore(theirs / name).setData("token", {9}) || ::chmod(theirs.c_str(), 0777) != 0 ||
      ::chmod((theirs / name).c_str(), 0666) != 0) {
    race.landed = -1;
    return race;
  }
  const int theirFile = ::open((theirs / name).c_str(), O_RDONLY | O_CLOEXEC);
  if (theirFile < 0) {
    race.landed = -1;  // nothing could be counted
    return race;
  }
  // SQLite counts every transaction written to a file in its header (bytes 24-27).
  const auto changes = [&] {
    std::uint32_t counter = 0;
    return ::pread(theirFile, &counter, sizeof counter, 24) == sizeof counter ? counter : 0;
  };
  std::atomic<bool> done{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    // Each folder stays in place for a moment, about as long as a store's checks take.
    while (!done) {
      swaps += ::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, theirs.c_str(), RENAME_EXCHANGE) == 0 ? 1 : 0;
      ::usleep(20);
    }
  });
  for (int i = 0; i < stores; ++i) {
    const std::uint32_t seen = changes();
    race.written += SettingsStore(mine / name).setData("token", {static_cast<std::uint8_t>(i), 1}) ? 1 : 0;
    race.landed += changes() != seen ? 1 : 0;
  }
  done = true;
  swapper.join();
  race.swaps = swaps;
  ::close(theirFile);
  return race;
}

}  // namespace tervala::test
