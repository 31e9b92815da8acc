// Runs of the real gateway killed at chosen points of its work, one table
// per phase. Each scenario starts from a fresh mailbox of 50 messages, kills
// one run after the other at its points, then lets clean runs finish the
// work: every message arrives at least once, none is lost.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "tests/crash/crash_rig.h"

namespace crash_testing {
namespace {

using Trigger = KillPoint::Trigger;

KillPoint Pop3(const std::string& command, int occurrence = 1) {
  return {Trigger::kPop3Command, command, occurrence, 0};
}
KillPoint Smtp(const std::string& command, int occurrence = 1) {
  return {Trigger::kSmtpCommand, command, occurrence, 0};
}
KillPoint Accepted(int message) { return {Trigger::kSmtpAccepted, "", message, 0}; }
KillPoint SpoolFile(const std::string& name) { return {Trigger::kSpoolFile, name, 1, 0}; }
KillPoint Later(KillPoint point, int delay_ms) {
  point.delay_ms = delay_ms;
  return point;
}
// The reply to point's command stops after its first bytes and the kill
// lands delay_ms later: the run dies inside that reply whatever the load.
KillPoint Inside(KillPoint point, std::size_t bytes, int delay_ms) {
  point.stall_after = bytes;
  point.delay_ms = delay_ms;
  return point;
}

struct Kill {
  std::string label;
  KillPoint point;
  std::string phase;  // where the run is to be when it dies
  // The phase the run may have reached instead when the kill lands late.
  // The split is watched from outside: on a busy machine the kill may come
  // only once the split is over and the deletion's listing was asked for
  // (it is never answered then). The gateway does not wait for the reply to
  // QUIT, so a kill at QUIT may find it delivering.
  std::string or_phase = "";
};

struct Scenario {
  std::string name;
  std::vector<Kill> kills;  // one run each, in order
};

constexpr int kMaxCleanRuns = 4;

void RunScenarios(const std::vector<Scenario>& scenarios) {
  Tally tally;
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    std::cout << "== " << scenario.name << std::endl;
    CrashRig rig;
    for (const Kill& kill : scenario.kills) {
      const RunRecord record = rig.Run(kill.point, kill.label);
      EXPECT_TRUE(record.killed) << kill.label;
      if (kill.or_phase.empty() || record.phase != kill.or_phase) {
        EXPECT_EQ(record.phase, kill.phase) << kill.label;
      }
      for (const std::string& problem : rig.Problems()) {
        ADD_FAILURE() << "after the kill " << kill.label << ": " << problem;
      }
    }
    rig.FinishWithCleanRuns(kMaxCleanRuns);
    for (const std::string& problem : rig.Problems()) ADD_FAILURE() << problem;
    EXPECT_EQ(rig.Delivered().count.size(), static_cast<std::size_t>(CrashRig::kMessages));
    std::cout << scenario.name << ": " << Summary(rig) << std::endl;
    tally.Add(rig);
  }
  tally.Report("");
}

TEST(AimedKillTest, Download) {
  RunScenarios({
      {"at STAT", {{"STAT", Pop3("STAT"), "download"}}},
      {"at the listing", {{"UIDL", Pop3("UIDL"), "download"}}},
      {"at the first message", {{"RETR 1", Pop3("RETR 1"), "download"}}},
      {"in the middle", {{"RETR 25", Pop3("RETR 25"), "download"}}},
      // Message 30 is one of the large ones (about 190 KB).
      {"while a large message streams",
       {{"RETR 30, 96 KB in", Inside(Pop3("RETR 30"), 96 * 1024, 50), "download"}}},
      {"at the last message", {{"RETR 50", Pop3("RETR 50"), "download"}}},
      {"at the last message's UIDL", {{"UIDL 50", Pop3("UIDL 50"), "download"}}},
  });
}

// The split writes every message to a work file beside "in", then renames
// them all into "in".
TEST(AimedKillTest, Split) {
  RunScenarios({
      {"at the first work file", {{"split0.tmp", SpoolFile("split0.tmp"), "split", "deletion"}}},
      {"half way through the work files",
       {{"split25.tmp", SpoolFile("split25.tmp"), "split", "deletion"}}},
      {"at the first rename into in", {{"in/crash_1", SpoolFile("in/crash_1"), "split", "deletion"}}},
      {"in the renames, then at the recovery's DELE",
       {{"in/crash_10", SpoolFile("in/crash_10"), "split", "deletion"},
        {"recovery DELE #5", Pop3("DELE ", 5), "recovery"}}},
  });
}

TEST(AimedKillTest, Deletion) {
  RunScenarios({
      {"at the deletion's listing", {{"second UIDL", Pop3("UIDL", 2), "deletion"}}},
      {"at the first DELE", {{"DELE #1", Pop3("DELE ", 1), "deletion"}}},
      {"at DELE 25", {{"DELE #25", Pop3("DELE ", 25), "deletion"}}},
      {"at the last DELE", {{"DELE #50", Pop3("DELE ", 50), "deletion"}}},
      {"at QUIT, which commits the deletions", {{"QUIT", Pop3("QUIT"), "deletion", "delivery"}}},
  });
}

TEST(AimedKillTest, Delivery) {
  RunScenarios({
      {"at DATA of the first message", {{"DATA #1", Smtp("DATA"), "delivery"}}},
      {"before the 250 of message 1", {{". #1", Smtp("."), "delivery"}}},
      {"before the 250 of message 25", {{". #25", Smtp(".", 25), "delivery"}}},
      {"after the 250 of message 25", {{"accepted #25", Accepted(25), "delivery"}}},
      {"at MAIL of message 40", {{"MAIL #40", Smtp("MAIL ", 40), "delivery"}}},
      {"before the 250 of message 50", {{". #50", Smtp(".", 50), "delivery"}}},
  });
}

TEST(AimedKillTest, Recovery) {
  RunScenarios({
      {"at the recovery's listing",
       {{"DELE #1", Pop3("DELE ", 1), "deletion"}, {"recovery UIDL", Pop3("UIDL"), "recovery"}}},
      {"at the recovery's DELE, then at its QUIT",
       {{"DELE #1", Pop3("DELE ", 1), "deletion"},
        {"recovery DELE #10", Pop3("DELE ", 10), "recovery"},
        {"recovery QUIT", Pop3("QUIT"), "recovery"}}},
      {"in the recovery's delivery",
       {{". #10", Smtp(".", 10), "delivery"}, {"recovery . #5", Smtp(".", 5), "recovery"}}},
      {"after the recovery's QUIT",
       {{"DELE #25", Pop3("DELE ", 25), "deletion"},
        {"recovery QUIT + 300 ms", Later(Pop3("QUIT"), 300), "recovery"}}},
  });
}

}  // namespace
}  // namespace crash_testing
