#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include <tervala/SettingsStore.hpp>

namespace tervala::test {

/// What a folder swap race saw: stores made, written, folder exchanges, and stores that landed in
/// the other folder's file (-1: nothing could be counted).
struct FolderSwapRace {
  int stores = 0;
  int written = 0;
  int swaps = 0;
  int landed = 0;
};

/// Someone who can rename a folder above a store exchanges the store's folder `top`/store with one
/// of their own (writable by all, holding a store file writable by all) every 20 µs while
/// `stores` stores of a fresh SettingsStore run; counts from SQLite's change counter in the
/// other file's header, read through a descriptor that follows it wherever it is renamed.
inline FolderSwapRace raceFolderSwap(const std::filesystem::path& top, int stores) {
  const auto mine = top / "store";
  const auto theirs = top / "theirs";
  const std::string name = "settings.sqlite3";
  FolderSwapRace race{.stores = stores, .landed = -1};
  if (!SettingsStore(mine / name).setData("token", {0}) ||
      !SettingsStore(theirs / name).setData("token", {9}) || ::chmod(theirs.c_str(), 0777) != 0 ||
      ::chmod((theirs / name).c_str(), 0666) != 0) {
    return race;
  }
  const int theirFile = ::open((theirs / name).c_str(), O_RDONLY | O_CLOEXEC);
  if (theirFile < 0) {
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
  race.landed = 0;
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
