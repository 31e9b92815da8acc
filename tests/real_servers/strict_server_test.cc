// Postfix with stricter settings than the real-server harness pins: with a
// stricter line-end or envelope rule the gateway's own SMTP dialect fails
// visibly (an event-log entry, the mail kept in "out") instead of hanging or
// losing mail, and the "standard" smtpmode delivers; forbidding unauthorised
// pipelining hinders neither.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/real_servers/gateway_fixture.h"

namespace real_servers_test {
namespace {

struct StrictCase {
  std::string name;
  std::map<std::string, std::string> settings;
  std::string event;  // the one entry of SendMail
};

// How test listings show a case.
void PrintTo(const StrictCase& c, std::ostream* out) { *out << c.name; }

class StrictPipeliningTest : public GatewayFixture {};

class StrictServerTest : public GatewayFixture,
                         public ::testing::WithParamInterface<StrictCase> {};

TEST_P(StrictServerTest, DeliveryFailsVisiblyAndKeepsTheMail) {
  ASSERT_NO_FATAL_FAILURE(StartServers("secret", GetParam().settings));
  Configure("1");
  const std::string message = "From: daemon\nTo: alice@example.com\n\nbody\n";
  dovecot_->AddMessage(message);

  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(EventsOf(" - SendMail - "), ::testing::ElementsAre(GetParam().event));
  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  const std::vector<std::string> out = Spool("out");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(testing_support::ReadFileBytes(root_.spool() / "out" / out[0]), message + ".\n");
  EXPECT_EQ(postfix_->DeliveredCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    StricterPostfix, StrictServerTest,
    ::testing::Values(
        // Lines must end in CR LF: HELO "ZUL" LF is refused with 550. The
        // default exclusions would spare the loopback client.
        StrictCase{"BareNewlineRejected",
                   {{"smtpd_forbid_bare_newline", "reject"},
                    {"smtpd_forbid_bare_newline_exclusions", ""}},
                   " - SendMail - Unable to HELO"},
        // Bare LF lines are taken, but only CR LF "." CR LF ends the data:
        // "." LF does not, and the data ends only with the server's time-out
        // (shortened here from 300 seconds), answered with 421.
        StrictCase{"BareNewlineNormalized",
                   {{"smtpd_forbid_bare_newline", "normalize"},
                    {"smtpd_forbid_bare_newline_exclusions", ""},
                    {"smtpd_timeout", "3s"}},
                   " - SendMail - Bad end of data"},
        // "MAIL FROM: QUILLON" has no angle brackets: 501.
        StrictCase{"StrictEnvelopes", {{"strict_rfc821_envelopes", "yes"}},
                   " - SendMail - Bad From:"}),
    [](const ::testing::TestParamInfo<StrictCase>& info) { return info.param.name; });

// The same stricter servers, and all their rules at once, with smtpmode
// "standard": every message is delivered unchanged, over one connection.
class StrictStandardTest : public GatewayFixture,
                           public ::testing::WithParamInterface<StrictCase> {};

TEST_P(StrictStandardTest, TheStandardModeDeliversEveryMessageOverOneConnection) {
  ASSERT_NO_FATAL_FAILURE(StartServers("secret", GetParam().settings));
  Configure("1");
  root_.AddSetting("smtpmode", "standard");
  const std::vector<std::string> messages = {
      "From: ann@origin.org\nTo: alice@example.com, bob@example.com\n\nbody\n",
      "From: daemon\nTo: carol@example.com\n\n.a line that begins with a dot\n.\n..\nend\n",
      "From: Dan <dan@origin.org>\nTo: dave@example.com\n\nlast\n"};
  for (const std::string& message : messages) dovecot_->AddMessage(message);

  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(4, 30000)) << postfix_->Log();
  const std::map<std::string, std::string> expected = {
      {"alice", messages[0]}, {"bob", messages[0]}, {"carol", messages[1]}, {"dave", messages[2]}};
  for (const auto& [mailbox, message] : expected) {
    const std::vector<testing_support::DeliveredMessage> delivered = postfix_->Delivered(mailbox);
    ASSERT_EQ(delivered.size(), 1u) << mailbox;
    EXPECT_EQ(delivered[0].content(), message) << mailbox;
  }
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  // Postfix counts the commands of each connection when it ends: the three
  // messages came over one, which said QUIT once.
  EXPECT_THAT(postfix_->Log(), ::testing::HasSubstr("helo=1 mail=3 rcpt=4 data=3 quit=1 "));
}

INSTANTIATE_TEST_SUITE_P(
    StricterPostfix, StrictStandardTest,
    ::testing::Values(
        StrictCase{"BareNewlineRejected",
                   {{"smtpd_forbid_bare_newline", "reject"},
                    {"smtpd_forbid_bare_newline_exclusions", ""}},
                   ""},
        StrictCase{"BareNewlineNormalized",
                   {{"smtpd_forbid_bare_newline", "normalize"},
                    {"smtpd_forbid_bare_newline_exclusions", ""},
                    {"smtpd_timeout", "3s"}},
                   ""},
        StrictCase{"StrictEnvelopes", {{"strict_rfc821_envelopes", "yes"}}, ""},
        StrictCase{"AllAtOnce",
                   {{"smtpd_forbid_bare_newline", "reject"},
                    {"smtpd_forbid_bare_newline_exclusions", ""},
                    {"strict_rfc821_envelopes", "yes"},
                    {"smtpd_forbid_unauth_pipelining", "yes"}},
                   ""}),
    [](const ::testing::TestParamInfo<StrictCase>& info) { return info.param.name; });

// Newer Postfix releases disconnect clients that send commands before the
// reply to the last one came (without ESMTP PIPELINING). The gateway waits
// for every reply it judges, so delivery goes on.
TEST_F(StrictPipeliningTest, DeliveryGoesOnWhenUnauthorisedPipeliningIsForbidden) {
  ASSERT_NO_FATAL_FAILURE(StartServers("secret", {{"smtpd_forbid_unauth_pipelining", "yes"}}));
  Configure("1");
  const std::string message = "From: ann@origin.org\nTo: alice@example.com, bob@example.com\n\nbody\n";
  dovecot_->AddMessage(message);

  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(2, 30000)) << postfix_->Log();
  for (const char* mailbox : {"alice", "bob"}) {
    const std::vector<testing_support::DeliveredMessage> delivered = postfix_->Delivered(mailbox);
    ASSERT_EQ(delivered.size(), 1u) << mailbox;
    EXPECT_EQ(delivered[0].content(), message);
  }
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace real_servers_test
