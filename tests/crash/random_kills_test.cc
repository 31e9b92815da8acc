// Runs of the real gateway killed at moments drawn from a seeded generator.
// The seed is printed; TALLOWMERE_CRASH_SEED replays a series.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>

#include "tests/crash/crash_rig.h"

namespace crash_testing {
namespace {

constexpr int kKills = 24;
constexpr int kMaxCleanRuns = 4;
// How long a run takes under the fast clock: the work and the keep-alive's
// pause, and the pause before a second login when the recovery logged in.
constexpr int kRunMs = 550;
constexpr int kRecoveryLoginMs = 950;

std::uint64_t Seed() {
  if (const char* given = std::getenv("TALLOWMERE_CRASH_SEED"); given && *given) {
    return std::strtoull(given, nullptr, 10);
  }
  return std::random_device()();
}

TEST(RandomKillTest, SeededSeries) {
  const std::uint64_t seed = Seed();
  std::cout << "seed " << seed << " (TALLOWMERE_CRASH_SEED=" << seed << " replays it)" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 random(seed);

  Tally tally;
  // A mailbox goes through killed runs until a run finished its work; then
  // clean runs make sure nothing is left, and a fresh mailbox takes over.
  auto rig = std::make_unique<CrashRig>();
  int mailbox = 1;
  auto finish = [&] {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", mailbox " + std::to_string(mailbox));
    rig->FinishWithCleanRuns(kMaxCleanRuns);
    for (const std::string& problem : rig->Problems()) ADD_FAILURE() << problem;
    EXPECT_EQ(rig->Delivered().count.size(), static_cast<std::size_t>(CrashRig::kMessages));
    std::cout << "mailbox " << mailbox << ": " << Summary(*rig) << std::endl;
    tally.Add(*rig);
  };
  for (int k = 1; k <= kKills; ++k) {
    const int expected_ms = kRunMs + (rig->SpoolNames("in").empty() ? 0 : kRecoveryLoginMs);
    const int delay_ms = std::uniform_int_distribution<int>(0, expected_ms)(random);
    const std::string label = "mailbox " + std::to_string(mailbox) + ", kill after " +
                              std::to_string(delay_ms) + " ms";
    rig->Run({KillPoint::Trigger::kDelay, "", 1, delay_ms}, label);
    for (const std::string& problem : rig->Problems()) {
      ADD_FAILURE() << "seed " << seed << ", after the " << label << ": " << problem;
    }
    if (rig->Mailbox().empty() && rig->SpoolNames("in").empty() &&
        rig->SpoolNames("out").empty() && k < kKills) {
      finish();
      rig = std::make_unique<CrashRig>();
      ++mailbox;
    }
  }
  finish();
  tally.Report(" (seed " + std::to_string(seed) + ")");
}

}  // namespace
}  // namespace crash_testing
