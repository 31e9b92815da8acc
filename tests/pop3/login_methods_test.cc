// The logins beyond USER/PASS against the scripted server: SASL PLAIN after
// CAPA in two steps, and APOP with the greeting's timestamp. Every byte the
// gateway sends, and the entry of each failed step.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "gateway/control/text.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "tests/pop3/pop3_fixture.h"

namespace pop3_testing {
namespace {

using Server = testing_support::ScriptedPop3Server;

// base64 of NUL "postmaster" NUL "secret"
constexpr char kPlainResponse[] = "AHBvc3RtYXN0ZXIAc2VjcmV0";
constexpr char kTimestamp[] = "<1896.697170952@dbc.mit.edu>";
// MD5 of the timestamp followed by "tanstaaf"
constexpr char kApopLine[] = "APOP mrose b8282ceea143d14e379abefc8fb0eb8a";

class LoginMethodTest : public Pop3Test {
 protected:
  void SetUp() override {
    Pop3Test::SetUp();
    GatewaySettings.popname = "postmaster";
    GatewaySettings.poppass = "secret";
  }
  void TearDown() override {
    GatewaySettings.popauth = PopAuth::kUser;
    Pop3Test::TearDown();
  }

 public:
  GatewayTestEnv& env() { return env_; }
  void UsePlain() {
    GatewaySettings.popauth = PopAuth::kPlain;
    server_->OfferSasl("PLAIN LOGIN");
    server_->AcceptLogin(kPlainResponse);
  }
  void UseApop(const std::string& greeting = std::string("+OK POP3 server ready ") + kTimestamp +
                                              "\r\n") {
    GatewaySettings.popauth = PopAuth::kApop;
    GatewaySettings.popname = "mrose";
    GatewaySettings.poppass = "tanstaaf";
    server_->ReplaceReply(Server::kGreeting, greeting);
    server_->AcceptLogin(kApopLine);
  }

 protected:
  // The session is in the transaction state: STAT is answered.
  void ExpectTransaction() {
    ASSERT_GT(SendCommand("STAT"), 0);
    char buffer[kPopBufferSize];
    EXPECT_EQ(CString(buffer, static_cast<std::size_t>(ReceiveReply(buffer))), "+OK 0 0\r\n");
  }
};

TEST_F(LoginMethodTest, PlainAsksCapaThenAuthenticatesInTwoSteps) {
  UsePlain();
  ASSERT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
  EXPECT_EQ(Received(), std::string("CAPA\r\nAUTH PLAIN\r\n") + kPlainResponse + "\r\n");
  ExpectTransaction();
}

TEST_F(LoginMethodTest, MechanismIsFoundInAnyCaseAmongOthers) {
  UsePlain();
  server_->OfferSasl("XOAUTH2 plain");
  EXPECT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(LoginMethodTest, ApopSendsTheDigestOfTimestampAndPassword) {
  UseApop();
  ASSERT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
  EXPECT_EQ(Received(), std::string(kApopLine) + "\r\n");
  ExpectTransaction();
}

struct MethodFailure {
  const char* name;
  void (*script)(LoginMethodTest&, Server&);
  const char* message;
  const char* wire;  // what the server received
};

const std::vector<MethodFailure>& Failures() {
  static const std::vector<MethodFailure> failures = {
      {"PlainNotOffered",
       [](LoginMethodTest&, Server& s) { s.OfferSasl("XOAUTH2 OAUTHBEARER"); },
       "SASL PLAIN not offered - SASL XOAUTH2 OAUTHBEARER", "CAPA\r\n"},
      {"NoSaslLine", [](LoginMethodTest&, Server& s) { s.OfferSasl(""); },
       "SASL PLAIN not offered - no SASL capability", "CAPA\r\n"},
      {"MechanismOnlyAsPartOfAnother", [](LoginMethodTest&, Server& s) { s.OfferSasl("XPLAIN"); },
       "SASL PLAIN not offered - SASL XPLAIN", "CAPA\r\n"},
      {"CapaRefused",
       [](LoginMethodTest&, Server& s) { s.ReplaceReply("CAPA", "-ERR unknown command\r\n"); },
       "CAPA refused - -ERR unknown command\r\n", "CAPA\r\n"},
      {"ClosedInCapa", [](LoginMethodTest&, Server& s) { s.CloseInReply("CAPA", 10); },
       "Socket closed by remote", "CAPA\r\n"},
      {"AuthRefused",
       [](LoginMethodTest&, Server& s) { s.ReplaceReply("AUTH PLAIN", "-ERR not here\r\n"); },
       "AUTH PLAIN refused - -ERR not here\r\n", "CAPA\r\nAUTH PLAIN\r\n"},
      {"AuthAnsweredWithOk",
       [](LoginMethodTest&, Server& s) { s.ReplaceReply("AUTH PLAIN", "+OK\r\n"); },
       "AUTH PLAIN refused - +OK\r\n", "CAPA\r\nAUTH PLAIN\r\n"},
      {"ClosedAfterAuth", [](LoginMethodTest&, Server& s) { s.CloseInReply("AUTH PLAIN", 0); },
       "Socket closed by remote", "CAPA\r\nAUTH PLAIN\r\n"},
      {"WrongPassword",
       [](LoginMethodTest&, Server&) { GatewaySettings.poppass = "wrong"; },
       "-ERR [AUTH] Authentication failed.\r\n",
       "CAPA\r\nAUTH PLAIN\r\nAHBvc3RtYXN0ZXIAd3Jvbmc=\r\n"},
      // A challenge after the response carries the server's error report:
      // an empty line answers it, and the reply after that is the entry.
      {"ChallengeAfterTheResponse",
       [](LoginMethodTest&, Server& s) {
         s.ReplaceReply(kPlainResponse, "+ eyJzdGF0dXMiOiI0MDAifQ==\r\n");
       },
       "-ERR not authorised\r\n", "CAPA\r\nAUTH PLAIN\r\nAHBvc3RtYXN0ZXIAc2VjcmV0\r\n\r\n"},
      {"SilentAfterTheResponse",
       [](LoginMethodTest&, Server& s) { s.StallInReply(kPlainResponse); },
       "Recv failed - ACK of AUTH response", "CAPA\r\nAUTH PLAIN\r\nAHBvc3RtYXN0ZXIAc2VjcmV0\r\n"},
      {"ResponseNotSentWhole",
       [](LoginMethodTest& t, Server&) {
         t.env().send_results[std::string(kPlainResponse) + "\r\n"] = 10;
       },
       "Send failed - AUTH response", "CAPA\r\nAUTH PLAIN\r\n"},
      {"ApopWithoutTimestamp",
       [](LoginMethodTest& t, Server&) { t.UseApop("+OK POP3 server ready 1896.697@dbc\r\n"); },
       "No APOP timestamp in the greeting", ""},
      {"ApopWithAnOpenBracketOnly",
       [](LoginMethodTest& t, Server&) { t.UseApop("+OK ready <1896.697170952@dbc\r\n"); },
       "No APOP timestamp in the greeting", ""},
      {"ApopWrongPassword",
       [](LoginMethodTest& t, Server&) {
         t.UseApop();
         GatewaySettings.poppass = "tanstaafl";
       },
       "-ERR authentication failed\r\n", "APOP mrose f7b573d16487ce5291f853cdef863ef5\r\n"},
      {"ApopSilent",
       [](LoginMethodTest& t, Server& s) {
         t.UseApop();
         s.StallInReply(kApopLine);
       },
       "Recv failed - ACK of APOP", "APOP mrose b8282ceea143d14e379abefc8fb0eb8a\r\n"},
  };
  return failures;
}

void PrintTo(const MethodFailure& f, std::ostream* out) { *out << f.name; }

class LoginMethodFailureTest : public LoginMethodTest,
                               public ::testing::WithParamInterface<MethodFailure> {};

TEST_P(LoginMethodFailureTest, ReportsTheStepAndReturnsMinusOne) {
  const MethodFailure& f = GetParam();
  UsePlain();
  f.script(*this, *server_);
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, std::string(" - PopLogin - ") + f.message);
  EXPECT_EQ(Received(), f.wire);
}

INSTANTIATE_TEST_SUITE_P(Steps, LoginMethodFailureTest, ::testing::ValuesIn(Failures()),
                         [](const ::testing::TestParamInfo<MethodFailure>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace pop3_testing
