// The fixture of the POP3 tests: a scripted server on an address of the
// test's own, the gateway's settings pointing at it and at a temporary spool
// tree, and the recording Env installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/pop3/gateway_test_env.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"

namespace pop3_testing {

class Pop3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = platform::testing::FreshLoopbackAddress({110});
    server_ = std::make_unique<testing_support::ScriptedPop3Server>(address_);
    ASSERT_TRUE(server_->listening());
    GatewaySettings.PopServerAddress = platform::env().DottedToAddress(address_);
    GatewaySettings.UserCommand = "USER postmaster\r\n";
    GatewaySettings.PassCommand = "PASS secret\r\n";
    CurrentPhase = "RETREIVE";
    RecoveryLoginDone = 0;
    PopSocket = platform::kInvalidSocket;
    // Time-outs in the tests take a moment, not ten minutes.
    env_.silence_limit_ms = 500;
    platform::SetEnv(&env_);
  }

  void TearDown() override {
    platform::SetEnv(nullptr);
    // The sessions a test left open or abandoned.
    env_.CloseLeftOpen();
    PopSocket = platform::kInvalidSocket;
    server_.reset();
  }

  std::string File(const std::string& name) const {
    return testing_support::ReadFileBytes(spool_.root() / name);
  }
  // The bytes the gateway sent. Every command but QUIT waits for its reply,
  // so the server has seen them all; after a QUIT, WaitForQuit first.
  std::string Received() const { return server_->Received(); }
  // Waits until the server has ended every session (QUIT carried out).
  void WaitForQuit() const { ASSERT_TRUE(server_->WaitUntilIdle(5000)); }

  std::string address_;
  std::unique_ptr<testing_support::ScriptedPop3Server> server_;
  SpoolTree spool_;
  GatewayTestEnv env_;
};

}  // namespace pop3_testing
