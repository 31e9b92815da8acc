// The platform's unnamed events: a wait ends when the event is signalled,
// at once when it was signalled before, and after its time when it is not.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/env.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(EventTest, WaitTellsWhetherTheEventIsSignalled) {
  platform::Env& env = platform::env();
  const platform::Event event = env.NewEvent();
  ASSERT_NE(event, 0u);
  EXPECT_FALSE(env.WaitForEvent(event, 0));
  EXPECT_FALSE(env.WaitForEvent(event, 20));
  env.SignalEvent(event);
  // It stays signalled: every later wait returns at once, a second signal
  // changes nothing.
  EXPECT_TRUE(env.WaitForEvent(event, 0));
  env.SignalEvent(event);
  EXPECT_TRUE(env.WaitForEvent(event, 60000));
  env.CloseEvent(event);
}

TEST(EventTest, SignalFromAnotherThreadEndsALongWait) {
  platform::Env& env = platform::env();
  const platform::Event event = env.NewEvent();
  ASSERT_NE(event, 0u);
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    env.SignalEvent(event);
  });
  // The wait would last 10 minutes; the signal ends it.
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(env.WaitForEvent(event, 600000));
  EXPECT_LT(Clock::now() - start, std::chrono::minutes(5));
  signaller.join();
  env.CloseEvent(event);
}

TEST(EventTest, NoEventIsAPlainSleep) {
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(platform::env().WaitForEvent(0, 30));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

}  // namespace
