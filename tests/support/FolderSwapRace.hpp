#pragma once

#include <filesystem>

namespace tervala::test {

/// What a folder swap race saw: stores made, written, refused by the checks, folder exchanges,
/// and stores that landed in the other folder's file.
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
FolderSwapRace raceFolderSwap(const std::filesystem::path& top, int stores);

}  // namespace tervala::test
