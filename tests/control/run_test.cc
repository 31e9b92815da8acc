// Runs of the real gateway binary against a temporary machine root: exit
// codes, event-log entries, and the single-instance lock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/support/machine_root.h"

namespace {

using platform::testing::ChildProcess;
using platform::testing::FreshLoopbackAddress;
using platform::testing::Listener;
using platform::testing::ProcessResult;
using testing_support::DirectoryNames;
using testing_support::LoggedEvent;
using testing_support::MachineRoot;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

constexpr int kRunLimitMs = 60000;

class RunTest : public ::testing::Test {
 protected:
  std::vector<std::string> Environment() const {
    std::vector<std::string> environment = testing_support::FastClockEnvironment();
    environment.push_back(root_.EnvironmentEntry());
    return environment;
  }

  ProcessResult Run() const {
    return platform::testing::RunProcess({std::string(TALLOWMERE_BIN_DIR) + "/quillon"},
                                         Environment(), kRunLimitMs);
  }

  static void ExpectExit(const ProcessResult& result, int code) {
    ASSERT_TRUE(result.exited) << "signal " << result.signal
                               << (result.timed_out ? " (timed out)" : "");
    EXPECT_EQ(result.exit_code, code);
  }

  // Leaves one file in "in" and one in "out", as an interrupted run would.
  void LeaveInterruptedWork() const {
    root_.MakeSpool();
    testing_support::WriteFileBytes(root_.spool() / "in" / "uid-in", "To: a@example.com\n\nx\n.\n");
    testing_support::WriteFileBytes(root_.spool() / "out" / "uid-out", "To: b@example.com\n\ny\n.\n");
  }

  std::vector<std::string> Spool() const {
    std::vector<std::string> names;
    for (const char* dir : {"in", "out", "Archive"}) {
      for (const std::string& name : DirectoryNames(root_.spool() / dir)) {
        names.push_back(std::string(dir) + "/" + name);
      }
    }
    return names;
  }

  MachineRoot root_;
};

TEST_F(RunTest, HostsThatCannotBeResolvedEndTheRunWithOne) {
  struct Case {
    std::string popserver, localserver, message;
  };
  // Names that the resolver refuses before it asks a name server: unknown
  // with or without a network, never "network down" (which waits and asks
  // again).
  const std::vector<Case> cases = {
      {"no where.invalid", "127.0.0.1", " - inituserinfo - Unknown remote host"},
      {"127.0.0.1", "no where.invalid", " - inituserinfo - Unknown Local Host"},
  };
  for (const Case& c : cases) {
    MachineRoot root;
    root.WriteDefaultSettings(c.popserver, c.localserver);
    root.MakeSpool();
    testing_support::WriteFileBytes(root.spool() / "in" / "kept", "x\n.\n");
    ProcessResult result = platform::testing::RunProcess(
        {std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, {root.EnvironmentEntry()}, kRunLimitMs);
    ExpectExit(result, 1);
    EXPECT_THAT(root.EventMessages(), ElementsAre(c.message));
    EXPECT_EQ(root.Events().at(0).type, "error");
    EXPECT_THAT(DirectoryNames(root.spool() / "in"), ElementsAre("kept"));
  }
}

TEST_F(RunTest, MissingSettingsKeyIsReportedBeforeTheEmptyHostFails) {
  ExpectExit(Run(), 1);
  EXPECT_THAT(root_.EventMessages(),
              ElementsAre(" - inituserinfo - Unable to open Tallowmere Registry",
                          " - inituserinfo - Unknown remote host"));
}

// Nothing answers at either address: the run walks its phases, reports each
// failure, leaves the spool as it found it and ends with the download's -1.
TEST_F(RunTest, UnreachableServersWalkThePhasesAndEndWithMinusOne) {
  const std::string pop = FreshLoopbackAddress({110});
  const std::string smtp = FreshLoopbackAddress({25});
  root_.WriteDefaultSettings(pop, smtp);
  LeaveInterruptedWork();

  ExpectExit(Run(), 255);

  std::vector<std::string> main_thread;
  for (const LoggedEvent& e : root_.Events()) {
    EXPECT_EQ(e.type, "error") << e.message();
    if (e.message() == " - KeepAlive - Connect failed to Exchange Server") {
      EXPECT_EQ(e.strings.at(0), "Tallowmere error: 10061");
    } else {
      main_thread.push_back(e.message());
    }
    if (e.message() == " - PopLogin - Connect to ISP pop3 service failed") {
      EXPECT_EQ(e.strings.at(0), "Tallowmere error: 10061");
    }
  }
  EXPECT_THAT(main_thread, ElementsAre(" - PopLogin - Connect to ISP pop3 service failed",
                                       " - SendMail - Connect failed to Exchange Server",
                                       " - PopLogin - Connect to ISP pop3 service failed"));
  EXPECT_THAT(root_.EventMessages(), Contains(" - KeepAlive - Connect failed to Exchange Server"));
  EXPECT_THAT(Spool(), ElementsAre("in/uid-in", "out/uid-out"));
}

TEST_F(RunTest, SecondInstanceLeavesMailboxAndSpoolAlone) {
  const std::string pop = FreshLoopbackAddress({110});
  std::unique_ptr<Listener> provider = Listener::Bind(pop, 110);
  ASSERT_NE(provider, nullptr);
  root_.WriteDefaultSettings(pop, FreshLoopbackAddress({25}));
  LeaveInterruptedWork();

  platform::testing::SetEnvironmentVariable("TALLOWMERE_ROOT", root_.path().string());
  platform::Env& env = platform::env();
  platform::Handle held = env.CreateNamedSemaphore("POP3LOCK", 1, 1);
  ASSERT_NE(held, 0u);
  ASSERT_EQ(env.LastError(), 0u);

  ExpectExit(Run(), 1);
  env.CloseHandleValue(held);

  std::vector<LoggedEvent> events = root_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "information");
  EXPECT_EQ(events[0].message(), " - main - Another instance of Tallowmere is running - Exiting..");
  EXPECT_EQ(provider->Accept(0), nullptr) << "the second instance talked to the provider";
  EXPECT_THAT(Spool(), ElementsAre("in/uid-in", "out/uid-out"));
}

TEST_F(RunTest, HolderKilledMidRunDoesNotBlockTheNextRun) {
  const std::string pop = FreshLoopbackAddress({110});
  std::unique_ptr<Listener> provider = Listener::Bind(pop, 110);
  ASSERT_NE(provider, nullptr);
  root_.WriteDefaultSettings(pop, FreshLoopbackAddress({25}));
  root_.MakeSpool();

  // The first run logs in and waits for a greeting that never comes.
  std::unique_ptr<ChildProcess> first =
      ChildProcess::Start({std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, Environment());
  ASSERT_NE(first, nullptr);
  auto session = provider->Accept(20000);
  ASSERT_NE(session, nullptr) << "the first run never connected";
  first->Kill();
  ProcessResult killed = first->Wait(10000);
  EXPECT_FALSE(killed.exited);
  session.reset();
  provider.reset();

  ExpectExit(Run(), 255);
  EXPECT_THAT(root_.EventMessages(),
              Not(Contains(" - main - Another instance of Tallowmere is running - Exiting..")));
  EXPECT_THAT(root_.EventMessages(), Contains(" - PopLogin - Connect to ISP pop3 service failed"));
}

}  // namespace
