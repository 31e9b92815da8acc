// Windows Sockets semantics of the platform layer against loopback servers,
// and the test support itself: fresh addresses, listeners, child processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/byte_order.h"
#include "platform/env.h"
#include "platform/test_support.h"

namespace {

using platform::Env;
using platform::kSocketError;
using platform::Socket;
using platform::testing::ChildProcess;
using platform::testing::FreshLoopbackAddress;
using platform::testing::Listener;
using platform::testing::ProcessResult;
using platform::testing::RunProcess;
using platform::testing::ServerConnection;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kPort = 2110;
constexpr std::uint32_t kLimitMs = 200;
constexpr int kWaitMs = 2000;  // bound on every wait that should succeed

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SocketsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = FreshLoopbackAddress({kPort});
    listener_ = Listener::Bind(address_, kPort);
    ASSERT_NE(listener_, nullptr);
  }
  void TearDown() override {
    for (Socket s : sockets_) env_.CloseSocket(s);
  }

  Socket NewSocket() {
    Socket s = env_.CreateStreamSocket();
    EXPECT_NE(s, platform::kInvalidSocket);
    sockets_.push_back(s);
    return s;
  }

  // A client socket connected to the listener, and the server's end.
  Socket Connected(std::uint32_t limit_ms = 0) {
    Socket s = NewSocket();
    EXPECT_EQ(env_.SetSilenceLimit(s, limit_ms), 0);
    EXPECT_EQ(env_.Connect(s, env_.DottedToAddress(address_), kPort), 0);
    server_ = listener_->Accept(kWaitMs);
    EXPECT_NE(server_, nullptr);
    return s;
  }

  // Expects the call to fail with a time-out after about the limit.
  template <typename Call>
  void ExpectTimeOut(Call call) {
    env_.SetLastErrorCode(0);
    auto start = Clock::now();
    EXPECT_EQ(call(), kSocketError);
    EXPECT_EQ(env_.LastError(), platform::kWsaEtimedout);
    EXPECT_GE(MsSince(start), static_cast<long>(kLimitMs) - 10);
    EXPECT_LT(MsSince(start), kWaitMs);
  }

  // After a time-out the socket is shut down: a send fails at once.
  void ExpectSendFailsAtOnce(Socket s) {
    auto start = Clock::now();
    EXPECT_EQ(env_.Send(s, "x", 1), kSocketError);
    EXPECT_NE(env_.LastError(), platform::kWsaEtimedout);
    EXPECT_LT(MsSince(start), 50);
  }

  Env& env_ = *Env::Default();
  std::string address_;
  std::unique_ptr<Listener> listener_;
  std::unique_ptr<ServerConnection> server_;
  std::vector<Socket> sockets_;
};

TEST_F(SocketsTest, StartupAndCleanup) {
  EXPECT_EQ(env_.SocketStartup(), 0);
  env_.SocketCleanup();
}

TEST_F(SocketsTest, ExchangesExactBytes) {
  Socket s = Connected();
  const std::string to_server("USER site\r\n\0\xff", 13);
  EXPECT_EQ(env_.Send(s, to_server.data(), static_cast<int>(to_server.size())), 13);
  std::string got;
  char buffer[64];
  while (got.size() < to_server.size()) {
    int n = server_->Receive(buffer, sizeof buffer, kWaitMs);
    ASSERT_GT(n, 0);
    got.append(buffer, n);
  }
  EXPECT_EQ(got, to_server);

  ASSERT_TRUE(server_->SendAll("+OK ready\r\n"));
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(env_.Receive(s, buffer, sizeof buffer), 11);
  EXPECT_STREQ(buffer, "+OK ready\r\n");
}

TEST_F(SocketsTest, ReceiveTakesAtMostTheBufferLength) {
  Socket s = Connected(kLimitMs);
  ASSERT_TRUE(server_->SendAll("abcdef"));
  char buffer[4];
  EXPECT_EQ(env_.Receive(s, buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(env_.Receive(s, buffer, 4), 2);
  EXPECT_EQ(std::string(buffer, 2), "ef");
}

TEST_F(SocketsTest, LargeSendWithLimitGoesOutWhole) {
  Socket s = Connected(kLimitMs);
  ASSERT_EQ(env_.SetBufferSize(s, platform::SocketBuffer::kSend, 512), 0);
  std::string block(1 << 20, 'm');
  for (std::size_t i = 0; i < block.size(); i += 997) block[i] = static_cast<char>(i);
  std::string got;
  std::thread reader([&] {
    char buffer[65536];
    while (got.size() < block.size()) {
      int n = server_->Receive(buffer, sizeof buffer, kWaitMs);
      if (n <= 0) break;
      got.append(buffer, n);
    }
  });
  EXPECT_EQ(env_.Send(s, block.data(), static_cast<int>(block.size())),
            static_cast<int>(block.size()));
  reader.join();
  EXPECT_TRUE(got == block);
}

TEST_F(SocketsTest, ClosedPeerGivesZero) {
  for (std::uint32_t limit : {0u, kLimitMs}) {
    Socket s = Connected(limit);
    ASSERT_TRUE(server_->SendAll("bye"));
    server_->Close();
    char buffer[16];
    EXPECT_EQ(env_.Receive(s, buffer, sizeof buffer), 3) << limit;
    EXPECT_EQ(env_.Receive(s, buffer, sizeof buffer), 0) << limit;
  }
}

TEST_F(SocketsTest, ResetPeerFailsWithoutSigpipe) {
  for (std::uint32_t limit : {0u, kLimitMs}) {
    Socket s = Connected(limit);
    server_->Abort();
    char buffer[16];
    env_.SetLastErrorCode(0);
    EXPECT_EQ(env_.Receive(s, buffer, sizeof buffer), kSocketError) << limit;
    EXPECT_EQ(env_.LastError(), platform::kWsaEconnreset) << limit;
    // The connection is gone: sending fails (and raises no SIGPIPE, which
    // would end this test process).
    int result = 0;
    for (int i = 0; i < 5 && result != kSocketError; ++i) result = env_.Send(s, "data", 4);
    EXPECT_EQ(result, kSocketError) << limit;
    EXPECT_NE(env_.LastError(), 0u) << limit;
  }
}

TEST_F(SocketsTest, ConnectRefused) {
  std::string nobody = FreshLoopbackAddress({kPort});
  for (std::uint32_t limit : {0u, kLimitMs}) {
    Socket s = NewSocket();
    env_.SetSilenceLimit(s, limit);
    env_.SetLastErrorCode(0);
    EXPECT_EQ(env_.Connect(s, env_.DottedToAddress(nobody), kPort), kSocketError) << limit;
    EXPECT_EQ(env_.LastError(), platform::kWsaEconnrefused) << limit;
  }
}

TEST_F(SocketsTest, ReceiveFromSilentPeerTimesOut) {
  Socket s = Connected(kLimitMs);
  char buffer[16];
  ExpectTimeOut([&] { return env_.Receive(s, buffer, sizeof buffer); });
  ExpectSendFailsAtOnce(s);
}

TEST_F(SocketsTest, SendToPeerThatDoesNotReadTimesOut) {
  Socket s = Connected(kLimitMs);
  ASSERT_EQ(env_.SetBufferSize(s, platform::SocketBuffer::kSend, 4096), 0);
  std::string block(65536, 'x');
  // Fills the peer's receive buffer and this socket's send buffer; then a
  // send waits in silence.
  int result = 0;
  int sends = 0;
  auto start = Clock::now();
  while (result != kSocketError && sends < 2000) {
    env_.SetLastErrorCode(0);
    start = Clock::now();
    result = env_.Send(s, block.data(), static_cast<int>(block.size()));
    ++sends;
  }
  ASSERT_EQ(result, kSocketError);
  EXPECT_EQ(env_.LastError(), platform::kWsaEtimedout);
  EXPECT_GE(MsSince(start), static_cast<long>(kLimitMs) - 10);
  ExpectSendFailsAtOnce(s);
}

TEST_F(SocketsTest, ConnectToFullBacklogTimesOut) {
  std::string address = FreshLoopbackAddress({kPort});
  auto full = Listener::Bind(address, kPort, 0);
  ASSERT_NE(full, nullptr);
  // Nothing is accepted: once the backlog is full, connections wait in silence.
  bool timed_out = false;
  for (int i = 0; i < 8 && !timed_out; ++i) {
    Socket s = NewSocket();
    env_.SetSilenceLimit(s, kLimitMs);
    auto start = Clock::now();
    if (env_.Connect(s, env_.DottedToAddress(address), kPort) == 0) continue;
    timed_out = true;
    EXPECT_EQ(env_.LastError(), platform::kWsaEtimedout);
    EXPECT_GE(MsSince(start), static_cast<long>(kLimitMs) - 10);
    EXPECT_LT(MsSince(start), kWaitMs);
    ExpectSendFailsAtOnce(s);
  }
  EXPECT_TRUE(timed_out);
}

TEST_F(SocketsTest, ZeroLimitWaitsForEver) {
  // A limit set and then cleared, and one left on a closed socket whose
  // number is reused, must not cut a wait longer than the limit short.
  Socket cleared = Connected(100);
  ASSERT_EQ(env_.SetSilenceLimit(cleared, 0), 0);
  Socket closed = NewSocket();
  env_.SetSilenceLimit(closed, 100);
  ASSERT_EQ(env_.CloseSocket(closed), 0);
  sockets_.pop_back();
  Socket reused = NewSocket();
  ASSERT_EQ(reused, closed);
  ASSERT_EQ(env_.Connect(reused, env_.DottedToAddress(address_), kPort), 0);
  std::unique_ptr<ServerConnection> second = listener_->Accept(kWaitMs);
  ASSERT_NE(second, nullptr);

  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    server_->SendAll("A");
    second->SendAll("B");
  });
  char c = 0;
  EXPECT_EQ(env_.Receive(cleared, &c, 1), 1);
  EXPECT_EQ(c, 'A');
  EXPECT_EQ(env_.Receive(reused, &c, 1), 1);
  EXPECT_EQ(c, 'B');
  late.join();
}

TEST_F(SocketsTest, LimitsOnTwoThreads) {
  Socket a = Connected(kLimitMs);
  std::unique_ptr<ServerConnection> server_a = std::move(server_);
  Socket b = Connected(kLimitMs);
  std::thread other([&] {
    char c;
    ExpectTimeOut([&] { return env_.Receive(a, &c, 1); });
  });
  char c;
  ExpectTimeOut([&] { return env_.Receive(b, &c, 1); });
  other.join();
}

TEST_F(SocketsTest, BufferSizes) {
  Socket s = NewSocket();
  EXPECT_EQ(env_.SetBufferSize(s, platform::SocketBuffer::kReceive, 512), 0);
  EXPECT_EQ(env_.SetBufferSize(s, platform::SocketBuffer::kSend, 512), 0);
  env_.SetLastErrorCode(0);
  EXPECT_EQ(env_.SetBufferSize(54321, platform::SocketBuffer::kReceive, 512), kSocketError);
  EXPECT_EQ(env_.LastError(), platform::kWsaEnotsock);
}

TEST_F(SocketsTest, OperationsOnAClosedSocketFail) {
  Socket s = env_.CreateStreamSocket();
  ASSERT_EQ(env_.CloseSocket(s), 0);
  char c;
  const std::pair<const char*, std::function<int()>> calls[] = {
      {"Close", [&] { return env_.CloseSocket(s); }},
      {"Connect", [&] { return env_.Connect(s, env_.DottedToAddress(address_), kPort); }},
      {"Send", [&] { return env_.Send(s, "x", 1); }},
      {"Receive", [&] { return env_.Receive(s, &c, 1); }},
  };
  for (const auto& [name, call] : calls) {
    env_.SetLastErrorCode(0);
    EXPECT_EQ(call(), kSocketError) << name;
    EXPECT_EQ(env_.LastError(), platform::kWsaEnotsock) << name;
  }
}

TEST_F(SocketsTest, SuccessLeavesLastErrorAlone) {
  env_.SetLastErrorCode(4711);
  Socket s = Connected(kLimitMs);
  ASSERT_TRUE(server_->SendAll("x"));
  char c;
  EXPECT_EQ(env_.Receive(s, &c, 1), 1);
  EXPECT_EQ(env_.Send(s, "y", 1), 1);
  std::uint32_t address;
  EXPECT_TRUE(env_.LookupHost("localhost", &address));
  EXPECT_EQ(env_.LastError(), 4711u);
}

TEST(HostLookupTest, Localhost) {
  Env& env = *Env::Default();
  std::uint32_t address = 0;
  ASSERT_TRUE(env.LookupHost("localhost", &address));
  EXPECT_EQ(address, platform::AddressFromParts(127, 0, 0, 1));
}

// The resolver refuses a name with a blank before it asks any name server,
// so the answer is the same with or without a network.
TEST(HostLookupTest, UnknownHost) {
  Env& env = *Env::Default();
  std::uint32_t address = 4711;
  env.SetLastErrorCode(0);
  EXPECT_FALSE(env.LookupHost("no such host.invalid", &address));
  EXPECT_EQ(env.LastError(), platform::kWsaHostNotFound);
  EXPECT_EQ(address, 4711u);
}

TEST(HostLookupTest, DottedToAddress) {
  Env& env = *Env::Default();
  EXPECT_EQ(env.DottedToAddress("127.0.0.2"), platform::AddressFromParts(127, 0, 0, 2));
  EXPECT_EQ(env.DottedToAddress("10.20.30.40"), platform::AddressFromParts(10, 20, 30, 40));
  for (const char* invalid : {"", "abc", "256.1.1.1", "1.2.3.4x", "1..2.3"}) {
    EXPECT_EQ(env.DottedToAddress(invalid), platform::kInaddrNone) << invalid;
  }
}

TEST(LoopbackAddressTest, FreshAddressesAreDistinctAndBindable) {
  std::set<std::string> seen;
  std::vector<std::unique_ptr<Listener>> listeners;
  for (int i = 0; i < 5; ++i) {
    std::string address = FreshLoopbackAddress({kPort, kPort + 1});
    EXPECT_TRUE(seen.insert(address).second) << address;
    EXPECT_EQ(address.rfind("127.", 0), 0u) << address;
    EXPECT_NE(address.rfind("127.0.0.", 0), 0u) << address;
    for (std::uint16_t port : {kPort, static_cast<std::uint16_t>(kPort + 1)}) {
      listeners.push_back(Listener::Bind(address, port));
      EXPECT_NE(listeners.back(), nullptr) << address << ":" << port;
    }
    // Taken now: bound a second time it fails.
    EXPECT_EQ(Listener::Bind(address, kPort), nullptr) << address;
  }
}

TEST(ListenerTest, AcceptAndReceiveTimeOut) {
  std::string address = FreshLoopbackAddress({kPort});
  auto listener = Listener::Bind(address, kPort);
  ASSERT_NE(listener, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(listener->Accept(50), nullptr);
  EXPECT_GE(MsSince(start), 40);

  Env& env = *Env::Default();
  Socket s = env.CreateStreamSocket();
  ASSERT_EQ(env.Connect(s, env.DottedToAddress(address), kPort), 0);
  auto server = listener->Accept(kWaitMs);
  ASSERT_NE(server, nullptr);
  char buffer[8];
  start = Clock::now();
  EXPECT_EQ(server->Receive(buffer, sizeof buffer, 50), -1);
  EXPECT_GE(MsSince(start), 40);
  // The end of the stream reaches the client; the other direction stays open.
  server->ShutdownWrite();
  EXPECT_EQ(env.Receive(s, buffer, sizeof buffer), 0);
  EXPECT_EQ(env.Send(s, "up", 2), 2);
  EXPECT_EQ(server->Receive(buffer, sizeof buffer, kWaitMs), 2);
  env.CloseSocket(s);
  EXPECT_EQ(server->Receive(buffer, sizeof buffer, kWaitMs), 0);
}

TEST(ChildProcessTest, ExitCode) {
  ProcessResult r = RunProcess({"/bin/sh", "-c", "exit 3"}, {}, kWaitMs);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timed_out);
}

TEST(ChildProcessTest, KilledAfterTimeLimit) {
  auto start = Clock::now();
  ProcessResult r = RunProcess({"/bin/sleep", "5"}, {}, 100);
  EXPECT_GE(MsSince(start), 90);
  EXPECT_LT(MsSince(start), kWaitMs);
  EXPECT_FALSE(r.exited);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, 9);
}

TEST(ChildProcessTest, KillAndPid) {
  auto child = ChildProcess::Start({"sleep", "5"}, {});
  ASSERT_NE(child, nullptr);
  EXPECT_GT(child->Pid(), 0);
  child->Kill();
  ProcessResult r = child->Wait(kWaitMs);
  EXPECT_FALSE(r.exited);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.signal, 9);
  // Once ended, the result stays.
  r = child->Wait(0);
  EXPECT_EQ(r.signal, 9);
  EXPECT_FALSE(r.timed_out);
}

TEST(ChildProcessTest, Environment) {
  platform::testing::SetEnvironmentVariable("TALLOWMERE_TEST_KEPT", "kept");
  platform::testing::SetEnvironmentVariable("TALLOWMERE_TEST_GONE", "gone");
  platform::testing::SetEnvironmentVariable("TALLOWMERE_TEST_OLD", "old");
  ProcessResult r = RunProcess(
      {"/bin/sh", "-c",
       "test \"$TALLOWMERE_TEST_KEPT\" = kept && test \"$TALLOWMERE_TEST_OLD\" = 'n=w' && "
       "test \"$TALLOWMERE_TEST_NEW\" = new && test -z \"${TALLOWMERE_TEST_GONE+set}\""},
      {"TALLOWMERE_TEST_OLD=n=w", "TALLOWMERE_TEST_NEW=new", "TALLOWMERE_TEST_GONE"}, kWaitMs);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);

  platform::testing::UnsetEnvironmentVariable("TALLOWMERE_TEST_KEPT");
  r = RunProcess({"/bin/sh", "-c", "test -z \"${TALLOWMERE_TEST_KEPT+set}\""}, {}, kWaitMs);
  EXPECT_EQ(r.exit_code, 0);
}

TEST(ChildProcessTest, MissingProgram) {
  EXPECT_EQ(ChildProcess::Start({"/no/such/program"}, {}), nullptr);
  EXPECT_EQ(ChildProcess::Start({}, {}), nullptr);
  ProcessResult r = RunProcess({"/no/such/program"}, {}, kWaitMs);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timed_out);
}

}  // namespace
