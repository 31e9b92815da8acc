// Postfix with stricter settings than the real-server harness pins: with a
// stricter line-end or envelope rule the gateway's delivery fails visibly
// (an event-log entry, the mail kept in "out") instead of hanging or losing
// mail; forbidding unauthorised pipelining does not hinder it.
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
