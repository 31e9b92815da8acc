// Exim as the local server, with its defaults: it delivers at once only the
// first ten messages of a connection and queues the rest for its next queue
// run. In the standard conversation the gateway ends a connection after ten
// messages, so every message of a run is delivered at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/real_servers/gateway_fixture.h"

namespace real_servers_test {
namespace {

using testing_support::EximServer;
using testing_support::Occurrences;

class EximQueueTest : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    if (IsSkipped()) return;
    const std::string why = EximServer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

TEST_F(EximQueueTest, TwentyFiveMessagesOfOneRunAreDeliveredAtOnce) {
  constexpr int kMessages = 25;
  dovecot_ = std::make_unique<testing_support::DovecotProvider>(address_, "site", "secret");
  ASSERT_TRUE(dovecot_->Start()) << dovecot_->Log();
  for (int i = 1; i <= kMessages; ++i) {
    dovecot_->AddMessage("From: ann@origin.org\nTo: alice@example.com\nSubject: " +
                         std::to_string(i) + "\n\nbody\n");
  }
  EximServer exim(address_, "example.com");
  ASSERT_TRUE(exim.Start()) << exim.Log();
  Configure("1");
  root_.AddSetting("smtpmode", "standard");

  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  // The daemon runs no queue: a queued message would never come.
  ASSERT_TRUE(exim.WaitForDeliveries(kMessages, 30000)) << exim.Log();
  EXPECT_EQ(exim.QueuedCount(), 0);
  const std::string log = exim.Log();
  EXPECT_EQ(log.find("no immediate delivery"), std::string::npos) << log;
  // The keep-alive's connection, and three of 10, 10 and 5 messages.
  EXPECT_EQ(Occurrences(log, " closed by QUIT"), 4) << log;
  EXPECT_EQ(Occurrences(log, " <= "), kMessages) << log;
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
}

}  // namespace
}  // namespace real_servers_test
