// The replay race many times over; labelled "stress", outside the default suite.
#include <gtest/gtest.h>

#include <vector>

#include "support/ReplayRace.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

TEST(OtpReplayStress, TwoProcessesRacingAcceptEachCodeOnceThousandsOfTimes) {
  constexpr int rounds = 2000;
  const test::TemporaryFolder folder;
  const auto accepted = test::raceReplayGuard(folder / "settings.sqlite3", rounds);
  EXPECT_EQ(accepted, std::vector<int>(rounds, 1));
}

}  // namespace
}  // namespace tervala
