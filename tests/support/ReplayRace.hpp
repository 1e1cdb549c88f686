#pragma once

#include <filesystem>
#include <vector>

namespace tervala::test {

/// Races two processes on the replay guard: each opens its own store on `file`, and in round i
/// (at most 2000) both offer counter 1 of one secret under account "race.<i>" at the same moment. Returns how
/// many of the two accepted each round; a failed offer counts 100. A process gives up after 60 s.
std::vector<int> raceReplayGuard(const std::filesystem::path& file, int rounds);

}  // namespace tervala::test
