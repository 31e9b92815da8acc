// The gateway's event-log writer: two strings, the calling thread's own last
// error, event id and category 0, and silence when the source is unusable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "gateway/control/event_log.h"
#include "tests/control/fake_machine.h"

namespace {

using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

TEST(LogEventTest, WritesTheLastErrorAndTheMessage) {
  FakeMachine machine;
  platform::env().SetLastErrorCode(10061);
  LogEvent(" - KeepAlive - Connect failed to Exchange Server", platform::kEventlogErrorType);
  platform::env().SetLastErrorCode(0);
  LogEvent(" - main - Another instance of Tallowmere is running - Exiting..",
           platform::kEventlogInformationType);
  ASSERT_EQ(machine.events.size(), 2u);
  const FakeMachine::Event& first = machine.events[0];
  EXPECT_EQ(first.string_count, 2u);
  EXPECT_EQ(first.error_text, "Tallowmere error: 10061");
  EXPECT_EQ(first.message, " - KeepAlive - Connect failed to Exchange Server");
  EXPECT_EQ(first.type, platform::kEventlogErrorType);
  EXPECT_EQ(first.event_id, 0u);
  EXPECT_EQ(first.category, 0u);
  EXPECT_EQ(machine.events[1].error_text, "Tallowmere error: 0");
  EXPECT_EQ(machine.events[1].type, platform::kEventlogInformationType);
}

TEST(LogEventTest, LogFailureJoinsTagAndMessageAndReturnsTheCode) {
  FakeMachine machine;
  EXPECT_EQ(LogFailure(" - GetPop - ", "Error in Message Count", -1), -1);
  EXPECT_EQ(LogFailure(" - GetPop - ", "Send failed - QUIT", 0), 0);
  EXPECT_EQ(LogFailure(" - PopLogin - ", "-ERR bad password\r\n", 7), 7);
  ASSERT_EQ(machine.events.size(), 3u);
  EXPECT_EQ(machine.events[0].message, " - GetPop - Error in Message Count");
  EXPECT_EQ(machine.events[1].message, " - GetPop - Send failed - QUIT");
  EXPECT_EQ(machine.events[2].message, " - PopLogin - -ERR bad password\r\n");
  for (const auto& e : machine.events) EXPECT_EQ(e.type, platform::kEventlogErrorType);
}

TEST(LogEventTest, EachThreadReportsItsOwnLastError) {
  FakeMachine machine;
  platform::env().SetLastErrorCode(5);
  std::thread other([] {
    platform::env().SetLastErrorCode(10060);
    LogEvent("other", platform::kEventlogErrorType);
  });
  other.join();
  LogEvent("main", platform::kEventlogErrorType);
  std::vector<std::string> seen;
  for (const auto& e : machine.events) seen.push_back(e.message + "=" + e.error_text);
  EXPECT_THAT(seen, UnorderedElementsAre("other=Tallowmere error: 10060",
                                         "main=Tallowmere error: 5"));
}

TEST(LogEventTest, LoggingLeavesTheLastErrorAsItWas) {
  FakeMachine machine;
  platform::env().SetLastErrorCode(10054);
  LogEvent("first", platform::kEventlogErrorType);
  LogEvent("second", platform::kEventlogErrorType);
  ASSERT_EQ(machine.events.size(), 2u);
  EXPECT_EQ(machine.events[1].error_text, "Tallowmere error: 10054");
}

TEST(LogEventTest, UnregistrableSourceIsSilentTowardsTheCaller) {
  FakeMachine machine;
  machine.source_unavailable = true;
  LogEvent("lost", platform::kEventlogErrorType);
  EXPECT_EQ(LogFailure(" - SendMail - ", "Bad To:", -1), -1);
  EXPECT_THAT(machine.events, IsEmpty());
}

}  // namespace
