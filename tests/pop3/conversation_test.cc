// The POP3 login and the conventions of the conversation.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "tests/pop3/pop3_fixture.h"

namespace pop3_testing {
namespace {

using Server = testing_support::ScriptedPop3Server;

// --- The end of a multi-line reply ---

struct EndCase {
  std::vector<std::string> chunks;
  int end_chunk;   // -1: no end
  int end_byte;
};

class ResponseEndDetectorTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(ResponseEndDetectorTest, EndsAtTheCarriageReturnOfTheFirstFullStopLine) {
  const EndCase& c = GetParam();
  ResponseEndDetector detector;
  int end_chunk = -1, end_byte = -1;
  for (int i = 0; i < static_cast<int>(c.chunks.size()) && end_chunk < 0; ++i) {
    for (int j = 0; j < static_cast<int>(c.chunks[i].size()); ++j) {
      if (detector.See(c.chunks[i][j])) {
        end_chunk = i;
        end_byte = j;
        break;
      }
    }
  }
  EXPECT_EQ(end_chunk, c.end_chunk);
  EXPECT_EQ(end_byte, c.end_byte);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ResponseEndDetectorTest,
    ::testing::Values(EndCase{{"+OK\r\nline\r\n.\r\n"}, 0, 12},
                      EndCase{{"+OK\r\nx\r\n."}, -1, -1},
                      // LF and "." in one receive, CR LF in the next.
                      EndCase{{"+OK\r\nx\r\n.", "\r\n"}, 1, 0},
                      EndCase{{"+OK\r\nx\r\n", ".\r\n"}, 1, 1},
                      // A dot-stuffed line is no end.
                      EndCase{{"+OK\r\n..\r\nx\r\n.\r\n"}, 0, 13},
                      // A full stop at the very start: the state begins at 0.
                      EndCase{{".\r\n"}, -1, -1},
                      EndCase{{"+OK\r\n.x\r\n"}, -1, -1},
                      // A second line feed in state 1 returns to 0.
                      EndCase{{"+OK\n\n.\r"}, -1, -1},
                      // A lone LF line end counts.
                      EndCase{{"+OK\n.\r"}, 0, 5}));

// --- Login ---

class LoginTest : public Pop3Test {};

TEST_F(LoginTest, SendsUserAndPassAndLeavesTheSessionInTransaction) {
  ASSERT_EQ(PopLogin(), 0);
  EXPECT_NE(PopSocket, platform::kInvalidSocket);
  EXPECT_EQ(env_.silence_limits, std::vector<std::uint32_t>{kSilenceLimitMs});
  EXPECT_TRUE(env_.events.empty());
  // The session goes on: a command on it is answered.
  ASSERT_EQ(SendCommand("NOOP"), 6);
  char buffer[kPopBufferSize];
  EXPECT_EQ(CString(buffer, static_cast<std::size_t>(ReceiveReply(buffer))), "+OK\r\n");
  EXPECT_EQ(server_->Received(), "USER postmaster\r\nPASS secret\r\nNOOP\r\n");
}

TEST_F(LoginTest, NegativeGreetingDoesNotStopTheLogin) {
  server_->ReplaceReply(Server::kGreeting, "-ERR not now\r\n");
  EXPECT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(LoginTest, PositiveReplyIsExactlyPlusOKInUpperCase) {
  // "+OK" alone, without CR LF, is positive.
  server_->ReplaceReply("USER postmaster", "+OK");
  EXPECT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(LoginTest, RejectedPasswordIsReportedAsTheServersReply) {
  GatewaySettings.PassCommand = "PASS wrong\r\n";
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, " - PopLogin - -ERR invalid password\r\n");
  EXPECT_EQ(env_.events[0].type, platform::kEventlogErrorType);
  // No QUIT, and the socket is left as it is.
  EXPECT_EQ(Received(), "USER postmaster\r\nPASS wrong\r\n");
  EXPECT_EQ(std::count(env_.journal.begin(), env_.journal.end(), "closesocket"), 0);
}

struct LoginFailure {
  const char* name;
  void (*script)(Server&, GatewayTestEnv&);
  const char* message;
  const char* error_text;   // nullptr: not checked
  const char* wire;         // what the server received
};

class LoginFailureTest : public Pop3Test,
                         public ::testing::WithParamInterface<LoginFailure> {};

TEST_P(LoginFailureTest, ReportsTheStepAndReturnsMinusOne) {
  const LoginFailure& f = GetParam();
  f.script(*server_, env_);
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, std::string(" - PopLogin - ") + f.message);
  if (f.error_text) {
    EXPECT_EQ(env_.events[0].error_text, f.error_text);
  }
  EXPECT_EQ(Received(), f.wire);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoginFailureTest,
    ::testing::Values(
        LoginFailure{"NoSocket", [](Server&, GatewayTestEnv& e) { e.fail_socket = true; },
                     "Socket failed", "Tallowmere error: 10024", ""},
        LoginFailure{"NoSilenceLimit",
                     [](Server&, GatewayTestEnv& e) { e.fail_silence_limit = true; },
                     "Socket failed", "Tallowmere error: 10038", ""},
        LoginFailure{"ReceiveBuffer",
                     [](Server&, GatewayTestEnv& e) { e.fail_receive_buffer = true; },
                     "setsockopt(SO_RCVBUF)", "Tallowmere error: 10022", ""},
        LoginFailure{"SendBuffer", [](Server&, GatewayTestEnv& e) { e.fail_send_buffer = true; },
                     "setsockopt(SO_SNDBUF)", "Tallowmere error: 10022", ""},
        LoginFailure{"SilentGreeting",
                     [](Server& s, GatewayTestEnv&) { s.StallInReply(Server::kGreeting, 0); },
                     "Recv failed - Initial", "Tallowmere error: 10060", ""},
        LoginFailure{"ClosedBeforeGreeting",
                     [](Server& s, GatewayTestEnv&) { s.CloseInReply(Server::kGreeting, 0); },
                     "Socket closed by remote", nullptr, ""},
        LoginFailure{"ClosedRightAfterGreeting",
                     [](Server& s, GatewayTestEnv&) { s.CloseInReply(Server::kGreeting); },
                     "Socket closed by remote", nullptr, ""},
        LoginFailure{"SilentAfterUser",
                     [](Server& s, GatewayTestEnv&) { s.StallInReply("USER postmaster"); },
                     "Recv failed - ACK of User", "Tallowmere error: 10060",
                     "USER postmaster\r\n"},
        LoginFailure{"LowerCaseOk",
                     [](Server& s, GatewayTestEnv&) {
                       s.ReplaceReply("USER postmaster", "+ok\r\n");
                     },
                     "Bad User Name", nullptr, "USER postmaster\r\n"},
        LoginFailure{"ReplyOfTwoBytes",
                     [](Server& s, GatewayTestEnv&) { s.ReplaceReply("USER postmaster", "+O"); },
                     "Bad User Name", nullptr, "USER postmaster\r\n"},
        LoginFailure{"NegativeUser",
                     [](Server& s, GatewayTestEnv&) {
                       s.ReplaceReply("USER postmaster", "-ERR who?\r\n");
                     },
                     "Bad User Name", nullptr, "USER postmaster\r\n"},
        LoginFailure{"ClosedAfterUser",
                     [](Server& s, GatewayTestEnv&) { s.CloseInReply("USER postmaster", 0); },
                     "Socket closed by remote", nullptr, "USER postmaster\r\n"},
        LoginFailure{"SilentAfterPass",
                     [](Server& s, GatewayTestEnv&) { s.StallInReply("PASS secret"); },
                     "Recv failed - ACK of Password", "Tallowmere error: 10060",
                     "USER postmaster\r\nPASS secret\r\n"},
        LoginFailure{"ClosedAfterPass",
                     [](Server& s, GatewayTestEnv&) { s.CloseInReply("PASS secret", 0); },
                     "Socket closed by remote", nullptr,
                     "USER postmaster\r\nPASS secret\r\n"}),
    [](const ::testing::TestParamInfo<LoginFailure>& info) { return info.param.name; });

TEST_F(LoginTest, ConnectFailureIsReportedWithTheSocketError) {
  // An address of our own with nothing listening on it.
  GatewaySettings.PopServerAddress =
      platform::env().DottedToAddress(platform::testing::FreshLoopbackAddress({110}));
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, " - PopLogin - Connect to ISP pop3 service failed");
  EXPECT_EQ(env_.events[0].error_text, "Tallowmere error: 10061");
}

TEST_F(LoginTest, SilentServerTimesOutAndLaterSendsFailAtOnce) {
  server_->StallInReply(Server::kGreeting, 0);
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, " - PopLogin - Recv failed - Initial");
  EXPECT_EQ(env_.events[0].error_text, "Tallowmere error: 10060");
  // The handle stays valid, but the session is shut down.
  EXPECT_EQ(SendCommand("NOOP"), platform::kSocketError);
  EXPECT_EQ(Received(), "");
}

TEST_F(LoginTest, SingleLineReplyIsOneReceiveNotCollectedToItsLineEnd) {
  // The greeting's first five bytes are the greeting; the rest arrives as the
  // answer to USER, which is then not positive.
  server_->SplitReply(Server::kGreeting, 5);
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, " - PopLogin - Bad User Name");
  ASSERT_GE(env_.receives.size(), 2u);
  EXPECT_EQ(env_.receives[0], "+OK P");
}

// --- Multi-line replies and the socket's limits, seen through a download ---

TEST_F(LoginTest, MultiLineEndSplitBetweenTwoReceives) {
  const std::string content = "Subject: split\r\n\r\nbody\r\n";
  server_->AddMessage("u1", content);
  const std::string retr = "+OK " + std::to_string(content.size()) + " octets\r\n" + content + ".\r\n";
  server_->SplitReply("RETR 1", retr.size() - 2);  // "...\n." then "\r\n"
  ASSERT_EQ(GetPop(), 1);
  EXPECT_TRUE(env_.events.empty());
  // The split reached the gateway as two receives.
  auto it = std::find(env_.receives.begin(), env_.receives.end(), "\r\n");
  ASSERT_NE(it, env_.receives.end());
  ASSERT_NE(it, env_.receives.begin());
  EXPECT_TRUE(std::prev(it)->ends_with("body\r\n."));
  EXPECT_EQ(File("popout.txt"), "+OK\r\n1 u1\r\n.\r\n" + retr + "+OK 1 u1\r\n");
  EXPECT_EQ(Received(), "USER postmaster\r\nPASS secret\r\nSTAT\r\nUIDL\r\nRETR 1\r\nUIDL 1\r\n");
}

// --- STLS ---

class StlsTest : public LoginTest {
 protected:
  void SetUp() override {
    LoginTest::SetUp();
    GatewaySettings.popsecurity = PopSecurity::kStartTls;
    GatewaySettings.popserver = address_;
  }
  void TearDown() override {
    GatewaySettings.popsecurity = PopSecurity::kNone;
    LoginTest::TearDown();
  }
};

struct StlsCase {
  std::string reply;
  std::string entry;  // after " - PopLogin - "
};

class StlsRefusedTest : public StlsTest, public ::testing::WithParamInterface<StlsCase> {};

// No downgrade: USER is never sent, and nothing that follows the reply line
// in clear text is taken for a reply.
TEST_P(StlsRefusedTest, EndsTheLoginBeforeUser) {
  server_->ReplaceReply("STLS", GetParam().reply);
  EXPECT_EQ(PopLogin(), -1);
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{" - PopLogin - " + GetParam().entry});
  EXPECT_EQ(server_->Received(), "STLS\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StlsRefusedTest,
    ::testing::Values(StlsCase{"-ERR not supported\r\n", "STLS refused - -ERR not supported\r\n"},
                      StlsCase{"+ok\r\n", "STLS refused - +ok\r\n"},
                      StlsCase{"+OK Begin TLS\r\n+OK injected\r\n",
                               "Data in clear text after the STLS reply"},
                      StlsCase{"+OK Begin TLS\r\n\r\n", "Data in clear text after the STLS reply"}));

// A server that accepts STLS but does not speak TLS: the handshake fails
// (on its clear-text answer, or on its silence, by what the hello holds).
TEST_F(StlsTest, ServerWithoutTlsFailsTheHandshake) {
  server_->ReplaceReply("STLS", "+OK Begin TLS\r\n");
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_TRUE(env_.events[0].message.starts_with(" - PopLogin - TLS handshake failed - "))
      << env_.events[0].message;
  EXPECT_TRUE(server_->Received().starts_with("STLS\r\n"));
  EXPECT_EQ(server_->Received().find("USER"), std::string::npos);
}

TEST_F(LoginTest, NoReceiveAsksForMoreThan512Bytes) {
  server_->AddMessage("big", std::string(3000, 'x') + "\r\n");
  ASSERT_EQ(GetPop(), 1);
  ASSERT_GT(env_.receives.size(), 6u);
  for (const std::string& r : env_.receives) EXPECT_LE(r.size(), 512u);
}

}  // namespace
}  // namespace pop3_testing
