// The fixture of the delivery tests: a spool in a temporary machine root, the
// settings pointing at a scripted SMTP server of the test's own address, and
// the client-side test Env.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateway/control/settings.h"
#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_smtp_server.h"

// A spool file for a local recipient, with a stuffed line.
inline constexpr char kLocalMessage[] =
    "From: John Doe <john@foreign.org>\n"
    "To: ann@example.com\n"
    "Subject: hello\n"
    "\n"
    "Hello Ann,\n"
    "..a stuffed line\n"
    ".\n";

class SmtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GatewaySettings;
    root_.MakeSpool();
    GatewaySettings.exchangedir = root_.exchangedir().string();
    GatewaySettings.DomainSuffix = "@EXAMPLE.COM";
    GatewaySettings.MailListCount = 0;
    GatewaySettings.loglevel = 1;
    address_ = platform::testing::FreshLoopbackAddress({25});
    GatewaySettings.ExchangeServerAddress = env_.DottedToAddress(address_);
  }
  void TearDown() override {
    server_.reset();
    GatewaySettings = saved_;
  }

  // Starts a server on the test's address, in place of the one before.
  testing_support::ScriptedSmtpServer& Serve(
      testing_support::SmtpScript script = testing_support::SmtpScript()) {
    server_.reset();
    server_ = std::make_unique<testing_support::ScriptedSmtpServer>(address_, std::move(script));
    return *server_;
  }
  void Write(const std::string& dir, const std::string& name, const std::string& bytes) const {
    testing_support::WriteFileBytes(root_.spool() / dir / name, bytes);
  }

  testing_support::SmtpClientEnv env_;
  testing_support::MachineRoot root_;
  std::string address_;
  std::unique_ptr<testing_support::ScriptedSmtpServer> server_;
  GatewaySettingsRecord saved_;
};
