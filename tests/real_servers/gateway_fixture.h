// A fixture for runs of the real gateway between Dovecot, the provider's
// POP3 server, and Postfix, the local SMTP server, both on one loopback
// address of the test's own, with a machine root whose settings point at
// them (domain example.com, account "site" with password "secret").
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/real_servers.h"

namespace real_servers_test {

// The local mailboxes that Postfix knows; every other address of the
// domain lands in PostfixServer::kCatchAll.
inline const std::vector<std::string> kMailboxes = {
    "alice", "bob", "carol", "dave", "postmaster", "undeliverable", "erin_partner.org"};

// A client of the server's network sends one message with these commands
// to address:25 and gets each reply; false when a reply does not begin with
// "2" or "3".
bool SendDirectly(const std::string& address, const std::vector<std::string>& commands);
// True once the server's queue holds no message (bounded): every message it
// accepted has been delivered, or bounced.
bool WaitForEmptyQueue(const testing_support::PostfixServer& server);

class GatewayFixture : public ::testing::Test {
 protected:
  void SetUp() override;

  // Starts Dovecot holding the account with this password, and Postfix with
  // these main.cf settings on top of its defaults.
  void StartServers(const std::string& pop_password = "secret",
                    const std::map<std::string, std::string>& postfix_settings = {});
  // Writes the settings key with this log level, and maillist.txt.
  void Configure(const std::string& loglevel, const std::string& maillist = "");
  // One run of quillon under the fast clock; fails the test when it does
  // not end by itself.
  platform::testing::ProcessResult RunGateway() const;
  // The names in one spool directory ("in", "out", "Archive").
  std::vector<std::string> Spool(const std::string& dir) const;
  // The event-log messages of one function (" - SendMail - " and so on).
  std::vector<std::string> EventsOf(const std::string& tag) const;

  std::string address_;
  testing_support::MachineRoot root_;
  std::unique_ptr<testing_support::DovecotProvider> dovecot_;
  std::unique_ptr<testing_support::PostfixServer> postfix_;
};

}  // namespace real_servers_test
