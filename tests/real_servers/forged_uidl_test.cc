// A sender who knows the provider's identifiers cannot end a message early
// by writing its UIDL reply into the body: Dovecot numbers its messages in
// sequence after a validity value of the mailbox, so one identifier seen in
// the spool gives away the next one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/real_servers/gateway_fixture.h"

namespace real_servers_test {
namespace {

using testing_support::DeliveredMessage;
using testing_support::PostfixServer;

class ForgedUidlTest : public GatewayFixture {};

TEST_F(ForgedUidlTest, AUidlReplyInTheBodyForgesNothingAndLosesNothing) {
  ASSERT_NO_FATAL_FAILURE(StartServers());
  Configure("2");  // archives delivered files under their identifiers

  // A first message: its archived spool file names its identifier, the
  // message's sequence number in 8 hex digits and then the validity value.
  dovecot_->AddMessage("From: ann@origin.org\nTo: carol@example.com\n\nfirst\n");
  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
  const std::vector<std::string> archived = Spool("Archive");
  ASSERT_EQ(archived.size(), 1u);
  ASSERT_EQ(archived[0].size(), 16u) << archived[0];
  ASSERT_EQ(archived[0].substr(0, 8), "00000001");
  const std::string next_uid = "00000002" + archived[0].substr(8);

  // The mailbox is empty again: the forger's message is number 1 of the
  // next session, and the victim's number 2.
  const std::string forger =
      "From: mallory@origin.org\nTo: alice@example.com\nSubject: innocent\n\nhello\n"
      "+OK 1 " + next_uid + "\n"
      "From: ceo@example.com\nTo: accounting@example.com\nSubject: pay at once\n\n"
      "Pay invoice 4711.\n";
  const std::string victim =
      "From: dan@origin.org\nTo: bob@example.com\nSubject: the real one\n\nreal\n";
  dovecot_->AddMessage(forger);
  dovecot_->AddMessage(victim);

  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(3, 30000)) << postfix_->Log();

  const std::vector<DeliveredMessage> alice = postfix_->Delivered("alice");
  ASSERT_EQ(alice.size(), 1u);
  EXPECT_EQ(alice[0].content(), forger);
  const std::vector<DeliveredMessage> bob = postfix_->Delivered("bob");
  ASSERT_EQ(bob.size(), 1u);
  EXPECT_EQ(bob[0].content(), victim);
  EXPECT_THAT(postfix_->Delivered(PostfixServer::kCatchAll), ::testing::IsEmpty());
  EXPECT_EQ(postfix_->DeliveredCount(), 3);

  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  EXPECT_THAT(Spool("in"), ::testing::IsEmpty());
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  EXPECT_EQ(Spool("Archive").size(), 3u);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace real_servers_test
