// Runs of the real gateway while one of the real servers will not serve it:
// Postfix down, Dovecot refusing the password.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/real_servers/gateway_fixture.h"

namespace real_servers_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Message {
  std::string mailbox;
  std::string bytes;  // as Dovecot holds it; also what Postfix files
};

const std::vector<Message> kMessages = {
    {"alice", "From: ann@origin.org\nTo: alice@example.com\nSubject: one\n\nfirst\n"},
    {"bob", "From: ann@origin.org\nTo: bob@example.com\nSubject: two\n\n.dot\n"},
    {"carol", "From: ann@origin.org\nTo: carol@example.com\nSubject: three\n\nthird\n"},
};

// The spool files of kMessages (POP3's dot-stuffing kept, "." at the end),
// sorted.
std::vector<std::string> SpoolFilesOfMessages() {
  return {"From: ann@origin.org\nTo: alice@example.com\nSubject: one\n\nfirst\n.\n",
          "From: ann@origin.org\nTo: bob@example.com\nSubject: two\n\n..dot\n.\n",
          "From: ann@origin.org\nTo: carol@example.com\nSubject: three\n\nthird\n.\n"};
}

class OutageTest : public GatewayFixture {
 protected:
  void AddMessages() const {
    for (const Message& message : kMessages) dovecot_->AddMessage(message.bytes);
  }

  std::vector<std::string> SpoolContents(const std::string& dir) const {
    std::vector<std::string> contents;
    for (const std::string& name : Spool(dir)) {
      contents.push_back(testing_support::ReadFileBytes(root_.spool() / dir / name));
    }
    std::sort(contents.begin(), contents.end());
    return contents;
  }
};

TEST_F(OutageTest, MailWaitsInOutWhilePostfixIsDownAndTheNextRunDeliversIt) {
  ASSERT_NO_FATAL_FAILURE(StartServers());
  Configure("1");
  AddMessages();
  postfix_->Stop();

  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  EXPECT_THAT(Spool("in"), IsEmpty());
  EXPECT_EQ(SpoolContents("out"), SpoolFilesOfMessages());
  EXPECT_THAT(EventsOf(" - SendMail - "),
              ElementsAre(" - SendMail - Connect failed to Exchange Server",
                          " - SendMail - Connect failed to Exchange Server",
                          " - SendMail - Connect failed to Exchange Server"));
  EXPECT_EQ(postfix_->DeliveredCount(), 0);

  // Same queue and Maildirs; the next run's recovery phase delivers "out"
  // and its download finds the mailbox empty.
  ASSERT_TRUE(postfix_->Start()) << postfix_->Log();
  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(3, 30000)) << postfix_->Log();
  for (const Message& message : kMessages) {
    const std::vector<testing_support::DeliveredMessage> delivered =
        postfix_->Delivered(message.mailbox);
    ASSERT_EQ(delivered.size(), 1u) << message.mailbox;
    EXPECT_EQ(delivered[0].content(), message.bytes);
  }
  EXPECT_EQ(postfix_->DeliveredCount(), 3);
  EXPECT_THAT(Spool("in"), IsEmpty());
  EXPECT_THAT(Spool("out"), IsEmpty());
  EXPECT_THAT(Spool("Archive"), IsEmpty());
  EXPECT_EQ(EventsOf(" - SendMail - ").size(), 3u);  // none from the second run
}

TEST_F(OutageTest, RefusedPasswordFailsTheRunAndTouchesNothing) {
  ASSERT_NO_FATAL_FAILURE(StartServers("not the configured password"));
  Configure("2");
  AddMessages();

  EXPECT_EQ(RunGateway().exit_code, 255);
  EXPECT_THAT(root_.EventMessages(),
              ElementsAre(" - PopLogin - -ERR [AUTH] Authentication failed.\r\n"));
  EXPECT_EQ(dovecot_->MessageCount(), 3);
  EXPECT_THAT(Spool("in"), IsEmpty());
  EXPECT_THAT(Spool("out"), IsEmpty());
  EXPECT_THAT(Spool("Archive"), IsEmpty());
  EXPECT_EQ(postfix_->DeliveredCount(), 0);
}

}  // namespace
}  // namespace real_servers_test
