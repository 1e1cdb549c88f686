#pragma once

#include <filesystem>
#include <vector>

namespace tervala::test {

/// Races two processes on the replay guard, in lockstep: each opens its own store on `file`,
/// and in round i both offer counter 1 of account "race.<i>" at the same moment. Returns how
/// many of the two accepted each round (-1 from the first round a process failed or did not
/// answer). Each process gives up after 60 s, so the race cannot hang.
std::vector<int> raceReplayGuard(const std::filesystem::path& file, int rounds);

}  // namespace tervala::test
