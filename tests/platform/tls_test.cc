// TLS on a connected socket: the server's name and chain are verified, the
// same Send and Receive then go through TLS, and a socket whose handshake
// failed never carries clear text. The TLS servers are the openssl command
// line's s_server (-rev answers each line reversed).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/support/test_certificates.h"

namespace {

using platform::kSocketError;
using platform::Socket;
using platform::testing::ChildProcess;
using platform::testing::FreshLoopbackAddress;
using platform::testing::Listener;
using testing_support::TestCertificates;

constexpr std::uint16_t kPort = 2995;
constexpr std::uint32_t kLimitMs = 5000;
constexpr int kStartLimitMs = 10000;

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = FreshLoopbackAddress({kPort});
    ASSERT_TRUE(certificates_.ok());
  }
  void TearDown() override {
    if (socket_ != platform::kInvalidSocket) env_.CloseSocket(socket_);
  }

  // s_server with a certificate for these subjectAltName entries; extra
  // arguments restrict it further. Waits until it accepts connections.
  void StartServer(const std::string& alt_names, const std::vector<std::string>& extra = {}) {
    const TestCertificates::Files files = certificates_.Issue("server", alt_names);
    ASSERT_FALSE(files.certificate.empty());
    // Its chatter about each connection goes nowhere.
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/null 2>&1",
                                     "openssl", "s_server", "-quiet", "-rev", "-accept",
                                     address_ + ":" + std::to_string(kPort), "-cert",
                                     files.certificate.string(), "-key", files.key.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = ChildProcess::Start(argv, {});
    ASSERT_NE(server_, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    bool up = false;
    while (!up && std::chrono::steady_clock::now() < deadline) {
      const Socket probe = env_.CreateStreamSocket();
      up = env_.Connect(probe, env_.DottedToAddress(address_), kPort) == 0;
      env_.CloseSocket(probe);
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(up) << "s_server did not start";
  }

  // A connected socket with the silence limit.
  Socket Connect() {
    socket_ = env_.CreateStreamSocket();
    EXPECT_EQ(env_.SetSilenceLimit(socket_, kLimitMs), 0);
    EXPECT_EQ(env_.Connect(socket_, env_.DottedToAddress(address_), kPort), 0);
    return socket_;
  }

  platform::Env& env_ = *platform::Env::Default();
  std::string address_;
  TestCertificates certificates_;
  std::unique_ptr<ChildProcess> server_;
  Socket socket_ = platform::kInvalidSocket;
};

struct NameCase {
  const char* server_name;
  const char* failure;  // nullptr: the handshake succeeds
};

class TlsNameTest : public TlsTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(TlsNameTest, ServerNameIsMatchedAgainstTheCertificate) {
  ASSERT_NO_FATAL_FAILURE(StartServer("DNS:pop.example.net,IP:" + address_));
  const Socket s = Connect();
  const NameCase& c = GetParam();
  const std::string name = c.server_name[0] == '=' ? address_ : c.server_name;
  const int started = env_.StartTls(s, name, certificates_.ca_file().string());
  if (c.failure != nullptr) {
    EXPECT_EQ(started, kSocketError);
    EXPECT_EQ(env_.TlsFailureText(), c.failure);
    EXPECT_EQ(env_.Send(s, "clear\n", 6), kSocketError);
    return;
  }
  ASSERT_EQ(started, 0) << env_.TlsFailureText();
  EXPECT_EQ(env_.Send(s, "hello\n", 6), 6);
  char reply[512] = {};
  std::string got;
  while (got.size() < 6) {
    const int n = env_.Receive(s, reply, sizeof reply);
    ASSERT_GT(n, 0);
    got.append(reply, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, "olleh\n");
}

INSTANTIATE_TEST_SUITE_P(
    Names, TlsNameTest,
    ::testing::Values(NameCase{"pop.example.net", nullptr}, NameCase{"POP.Example.NET", nullptr},
                      NameCase{"=", nullptr},  // the IP address itself
                      NameCase{"other.example.net",
                               "certificate verify failed: hostname mismatch"},
                      NameCase{"example.net", "certificate verify failed: hostname mismatch"},
                      NameCase{"127.0.0.1", "certificate verify failed: IP address mismatch"}));

TEST_F(TlsTest, ServerOfferingOnlyTls11IsRefused) {
  ASSERT_NO_FATAL_FAILURE(
      StartServer("DNS:pop.example.net", {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}));
  const Socket s = Connect();
  EXPECT_EQ(env_.StartTls(s, "pop.example.net", certificates_.ca_file().string()), kSocketError);
  EXPECT_EQ(env_.TlsFailureText(), "tlsv1 alert protocol version");
}

TEST_F(TlsTest, MissingCaFileIsNamed) {
  ASSERT_NO_FATAL_FAILURE(StartServer("DNS:pop.example.net"));
  const Socket s = Connect();
  EXPECT_EQ(env_.StartTls(s, "pop.example.net", "/nonexistent/ca.pem"), kSocketError);
  EXPECT_EQ(env_.TlsFailureText().rfind("cannot load the CA file /nonexistent/ca.pem: ", 0), 0u)
      << env_.TlsFailureText();
}

// Plain servers of the test's own: bytes that came before the handshake,
// and silence during it.
class TlsPlainPeerTest : public TlsTest {
 protected:
  void SetUp() override {
    TlsTest::SetUp();
    listener_ = Listener::Bind(address_, kPort);
    ASSERT_NE(listener_, nullptr);
  }
  std::unique_ptr<Listener> listener_;
};

TEST_F(TlsPlainPeerTest, BytesBeforeTheHandshakeFailItAndNothingGoesOutInClear) {
  const Socket s = Connect();
  std::unique_ptr<platform::testing::ServerConnection> peer = listener_->Accept(kStartLimitMs);
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->SendAll("+OK\r\n+OK injected\r\n"));
  // One byte read shows that the rest has arrived too (one segment).
  char first = 0;
  ASSERT_EQ(env_.Receive(s, &first, 1), 1);
  EXPECT_EQ(env_.StartTls(s, "pop.example.net", certificates_.ca_file().string()), kSocketError);
  EXPECT_EQ(env_.TlsFailureText(), "data received in clear text before the handshake");
  EXPECT_EQ(env_.Send(s, "USER site\r\n", 11), kSocketError);
  EXPECT_EQ(env_.Receive(s, &first, 1), kSocketError);
  env_.CloseSocket(s);
  socket_ = platform::kInvalidSocket;
  char buffer[64];
  // Closed (with a reset, as bytes were left unread), nothing sent.
  EXPECT_LE(peer->Receive(buffer, sizeof buffer, kStartLimitMs), 0);
}

TEST_F(TlsPlainPeerTest, SilentServerTimesOutTheHandshakeWithinTheLimit) {
  socket_ = env_.CreateStreamSocket();
  ASSERT_EQ(env_.SetSilenceLimit(socket_, 200), 0);
  ASSERT_EQ(env_.Connect(socket_, env_.DottedToAddress(address_), kPort), 0);
  std::unique_ptr<platform::testing::ServerConnection> peer = listener_->Accept(kStartLimitMs);
  ASSERT_NE(peer, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(env_.StartTls(socket_, "pop.example.net", certificates_.ca_file().string()),
            kSocketError);
  EXPECT_EQ(env_.LastError(), platform::kWsaEtimedout);
  EXPECT_EQ(env_.TlsFailureText(), "no answer within the silence limit");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kStartLimitMs));
}

}  // namespace
