// The command hooks of the scripted POP3 and SMTP servers: which lines they
// see, that they run before the reply, and that removing one stops it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using ::testing::ElementsAre;

constexpr int kWaitMs = 10000;

// A client connection over the platform's sockets, every wait bounded.
class Client {
 public:
  Client(const std::string& address, std::uint16_t port) {
    platform::Env& env = platform::env();
    env.SocketStartup();
    socket_ = env.CreateStreamSocket();
    env.SetSilenceLimit(socket_, kWaitMs);
    connected_ = env.Connect(socket_, env.DottedToAddress(address), port) == 0;
  }
  ~Client() { platform::env().CloseSocket(socket_); }
  bool connected() const { return connected_; }

  void Send(const std::string& bytes) {
    platform::env().Send(socket_, bytes.data(), static_cast<int>(bytes.size()));
  }
  // One reply line with its line end; empty when none came.
  std::string ReceiveLine() {
    std::string line;
    char c;
    while (!line.ends_with('\n') && platform::env().Receive(socket_, &c, 1) == 1) line += c;
    return line;
  }
  std::string Exchange(const std::string& command) {
    Send(command);
    return ReceiveLine();
  }

 private:
  platform::Socket socket_;
  bool connected_ = false;
};

// The lines a hook was called with, and a line at which it waits until
// released.
class HookRecord {
 public:
  explicit HookRecord(std::string hold_at = "") : hold_at_(std::move(hold_at)) {}
  void See(const std::string& line) {
    std::unique_lock lock(mutex_);
    lines_.push_back(line);
    if (line != hold_at_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return released_; });
  }
  bool WaitHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return held_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  const std::string hold_at_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool held_ = false;
  bool released_ = false;
};

class Pop3HookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.listening());
    server_.AddMessage("uid1", "Subject: one\r\n\r\nbody\r\n");
  }
  const std::string address_ = platform::testing::FreshLoopbackAddress({110});
  testing_support::ScriptedPop3Server server_{address_, "site", "secret"};
};

TEST_F(Pop3HookTest, SeesEveryCommandLineWithoutItsLineEnd) {
  HookRecord record;
  server_.OnCommand([&](const std::string& line) { record.See(line); });
  Client client(address_, 110);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.ReceiveLine(), "+OK POP3 server ready\r\n");
  EXPECT_EQ(client.Exchange("STAT\r\n"), "-ERR not authorised\r\n");
  EXPECT_EQ(client.Exchange("USER site\r\n"), "+OK\r\n");
  EXPECT_EQ(client.Exchange("PASS secret\r\n"), "+OK maildrop ready\r\n");
  EXPECT_EQ(client.Exchange("DELE 1\r\n"), "+OK message 1 deleted\r\n");
  EXPECT_EQ(client.Exchange("QUIT\r\n"), "+OK bye\r\n");
  ASSERT_TRUE(server_.WaitUntilIdle(kWaitMs));
  EXPECT_THAT(record.lines(), ElementsAre("STAT", "USER site", "PASS secret", "DELE 1", "QUIT"));
  EXPECT_TRUE(server_.Uids().empty());
}

TEST_F(Pop3HookTest, HookThatWaitsHoldsTheReplyBack) {
  HookRecord record("STAT");
  server_.OnCommand([&](const std::string& line) { record.See(line); });
  Client client(address_, 110);
  ASSERT_TRUE(client.connected());
  client.ReceiveLine();
  client.Exchange("USER site\r\n");
  client.Exchange("PASS secret\r\n");

  std::string reply;
  std::atomic<bool> answered{false};
  std::thread asker([&] {
    reply = client.Exchange("STAT\r\n");
    answered = true;
  });
  ASSERT_TRUE(record.WaitHeld());
  // Time enough for a reply sent too early to arrive.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(record.lines().size(), 3u);
  const bool answered_early = answered;
  record.Release();
  asker.join();
  EXPECT_FALSE(answered_early);
  EXPECT_EQ(reply, "+OK 1 22\r\n");
}

TEST_F(Pop3HookTest, EmptyHookRemovesIt) {
  HookRecord record;
  server_.OnCommand([&](const std::string& line) { record.See(line); });
  Client client(address_, 110);
  ASSERT_TRUE(client.connected());
  client.ReceiveLine();
  EXPECT_EQ(client.Exchange("NOOP\r\n"), "+OK\r\n");
  server_.OnCommand({});
  EXPECT_EQ(client.Exchange("NOOP\r\n"), "+OK\r\n");
  EXPECT_THAT(record.lines(), ElementsAre("NOOP"));
  EXPECT_EQ(server_.Commands().size(), 2u);
}

class SmtpHookTest : public ::testing::Test {
 protected:
  const std::string address_ = platform::testing::FreshLoopbackAddress({25});
  testing_support::ScriptedSmtpServer server_{address_, testing_support::SmtpScript()};
};

TEST_F(SmtpHookTest, SeesCommandsAndTheEndOfDataButNoDataLine) {
  HookRecord record;
  server_.OnCommand([&](const std::string& line) { record.See(line); });
  Client client(address_, 25);
  ASSERT_TRUE(client.connected());
  client.ReceiveLine();
  EXPECT_EQ(client.Exchange("HELO ZUL\n"), "250 exchange.example.com Hello\r\n");
  client.Exchange("MAIL FROM: a@example.org\r\n");
  client.Exchange("RCPT TO: u@example.com\n");
  EXPECT_EQ(client.Exchange("DATA\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  client.Send("Subject: x\n\nQUIT\n..dot\n");
  EXPECT_EQ(client.Exchange(".\n"), "250 2.6.0 Queued mail for delivery\r\n");
  client.Exchange("\r\nQUIT\r\n");
  server_.Transcript(0, kWaitMs);
  EXPECT_THAT(record.lines(), ElementsAre("HELO ZUL", "MAIL FROM: a@example.org",
                                          "RCPT TO: u@example.com", "DATA", ".", "QUIT"));
}

TEST_F(SmtpHookTest, HookThatWaitsAtTheEndOfDataHoldsTheAcceptance) {
  HookRecord record(".");
  server_.OnCommand([&](const std::string& line) { record.See(line); });
  Client client(address_, 25);
  ASSERT_TRUE(client.connected());
  client.ReceiveLine();
  client.Exchange("HELO ZUL\n");
  client.Exchange("MAIL FROM: a@example.org\n");
  client.Exchange("RCPT TO: u@example.com\n");
  client.Exchange("DATA\n");

  std::string reply;
  std::atomic<bool> answered{false};
  std::thread sender([&] {
    reply = client.Exchange("Subject: x\n\nbody\n.\n");
    answered = true;
  });
  ASSERT_TRUE(record.WaitHeld());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server_.AcceptedMessages(), 0);
  const bool answered_early = answered;
  record.Release();
  sender.join();
  EXPECT_FALSE(answered_early);
  EXPECT_EQ(reply, "250 2.6.0 Queued mail for delivery\r\n");
  EXPECT_EQ(server_.AcceptedMessages(), 1);
  server_.OnCommand({});
  client.Exchange("QUIT\n");
  server_.Transcript(0, kWaitMs);
  EXPECT_THAT(record.lines(), ElementsAre("HELO ZUL", "MAIL FROM: a@example.org",
                                          "RCPT TO: u@example.com", "DATA", "."));
}

}  // namespace
