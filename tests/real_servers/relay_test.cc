// The site's mail server is never made an open relay by a hostile header.
// Postfix here relays for its own network, as a site's server usually does,
// with the percent hack, bang paths and source routes enabled for its own
// domain, and sends everything else to a scripted server that stands for
// the outside world. A client of the server's network that names such
// addresses gets its mail relayed; the gateway, fed the same addresses in
// headers, delivers only to local mailboxes and nothing reaches the outside.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "tests/real_servers/gateway_fixture.h"
#include "tests/support/scripted_smtp_server.h"

namespace real_servers_test {
namespace {

using testing_support::DeliveredMessage;
using testing_support::ScriptedSmtpServer;
using testing_support::SmtpAction;
using testing_support::SmtpScript;

constexpr int kWaitMs = 30000;

class RelayTest : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    if (IsSkipped()) return;
    outside_ = std::make_unique<ScriptedSmtpServer>(
        platform::testing::FreshLoopbackAddress({25}),
        SmtpScript().On("EHLO", SmtpAction::Reply("250 outside.example\r\n")));
    // example.com is the server's own domain (so the percent hack, bang
    // paths and routes apply to it), delivered into the fixture's Maildirs;
    // its own network may relay anywhere, through the outside server.
    ASSERT_NO_FATAL_FAILURE(StartServers(
        "secret", {{"mydestination", "example.com"},
                   {"virtual_mailbox_domains", ""},
                   {"local_transport", "virtual"},
                   {"local_recipient_maps", ""},
                   {"smtpd_relay_restrictions", "permit_mynetworks, reject_unauth_destination"},
                   {"allow_percent_hack", "yes"},
                   {"swap_bangpath", "yes"},
                   {"resolve_dequoted_address", "yes"},
                   {"default_transport", "smtp"},
                   {"relayhost", "[" + outside_->address() + "]:25"}}));
  }

  std::unique_ptr<ScriptedSmtpServer> outside_;
};

// The control: this server does relay each of these envelope recipients of
// its own domain (and the parameter after a blank) to the outside.
TEST_F(RelayTest, TheServerRelaysRoutedAddressesOfItsOwnDomain) {
  const std::vector<std::string> recipients = {
      "VICTIM1%OUTSIDE.EXAMPLE@EXAMPLE.COM", "OUTSIDE.EXAMPLE!VICTIM2@EXAMPLE.COM",
      "VICTIM3@OUTSIDE.EXAMPLE@EXAMPLE.COM", "VICTIM4@OUTSIDE.EXAMPLE ORCPT=RFC822;X@EXAMPLE.COM"};
  for (const std::string& recipient : recipients) {
    SCOPED_TRACE(recipient);
    EXPECT_TRUE(SendDirectly(address_, {"HELO ZUL\n", "MAIL FROM: QUILLON\n",
                                        "RCPT TO: " + recipient + "\n", "DATA\n",
                                        "Subject: relayed\n\nbody\n.\n"}))
        << postfix_->Log();
  }
  ASSERT_TRUE(outside_->WaitForAcceptedMessages(4, kWaitMs)) << postfix_->Log();
  std::string outside;
  for (const std::string& transcript : outside_->Transcripts()) outside += transcript;
  for (const char* victim : {"VICTIM1@OUTSIDE.EXAMPLE", "VICTIM2@OUTSIDE.EXAMPLE",
                             "VICTIM3@OUTSIDE.EXAMPLE", "VICTIM4@OUTSIDE.EXAMPLE"}) {
    EXPECT_THAT(outside, ::testing::HasSubstr(victim));
  }
}

// The same addresses in headers: every message is delivered in the site,
// to the plain local addresses beside them or to the fallback mailbox.
TEST_F(RelayTest, HostileHeadersReachNoOutsideServer) {
  Configure("1");
  struct Message {
    std::string header;
    std::string mailbox;  // where it lands
  };
  const std::vector<Message> messages = {
      {"From: ann@origin.org\nTo: victim1%outside.example@example.com\n", "undeliverable"},
      {"From: ann@origin.org\nTo: outside.example!victim2@example.com\n", "undeliverable"},
      {"From: ann@origin.org\nTo: victim3@outside.example@example.com\n", "undeliverable"},
      {"Received: by relay.evil.example for <victim4@outside.example ORCPT=rfc822;x@example.com>\n"
       "From: ann@origin.org\nTo: someone@foreign.example\n",
       "undeliverable"},
      {"From: <a b@evil.example SIZE=99999999999>\nTo: alice@example.com\n", "alice"},
      {"From: ann@origin.org\nTo: victim1%outside.example@example.com, bob@example.com\n", "bob"},
      {"From: ann@origin.org\nTo: bruce@example.com.au, dave@example.com\n", "dave"},
      {"From: ann@origin.org\nTo: someone@foreign.example,\n"
       " \"Meier, Hans (Abt. 3: Einkauf)\" <carol@example.com>\n",
       "carol"},
  };
  for (std::size_t i = 0; i < messages.size(); ++i) {
    dovecot_->AddMessage(messages[i].header + "Subject: " + std::to_string(i) + "\n\nbody\n");
  }

  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  // Every message the gateway handed over has been delivered once the
  // queue is empty: by now anything relayed has reached the outside.
  ASSERT_TRUE(WaitForEmptyQueue(*postfix_)) << postfix_->Log();
  EXPECT_EQ(outside_->ConnectionCount(), 0);
  EXPECT_EQ(postfix_->DeliveredCount(), static_cast<int>(messages.size()));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(messages[i].header);
    int found = 0;
    for (const DeliveredMessage& delivered : postfix_->Delivered(messages[i].mailbox)) {
      if (delivered.content().find("Subject: " + std::to_string(i) + "\n") != std::string::npos) {
        ++found;
      }
    }
    EXPECT_EQ(found, 1);
  }
  // The sender with a parameter became the fixed sender.
  const std::vector<DeliveredMessage> alice = postfix_->Delivered("alice");
  ASSERT_EQ(alice.size(), 1u);
  EXPECT_THAT(alice[0].bytes, ::testing::StartsWith("Return-Path: <QUILLON@mail.example.com>\n"));
}

}  // namespace
}  // namespace real_servers_test
