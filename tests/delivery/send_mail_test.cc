// SendMail against the scripted SMTP server: the bytes on the wire, the
// judging of the replies, and one entry for every way a delivery fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_smtp_server.h"
#include "tests/delivery/smtp_client_fixture.h"

namespace {

using testing_support::ScriptedSmtpServer;
using testing_support::SmtpAction;
using testing_support::SmtpClientEnv;
using testing_support::SmtpScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Call = SmtpClientEnv::Call;

// A message whose header names nobody local: its one recipient is a fallback.
constexpr char kForeignMessage[] =
    "From: nobody\n"
    "To: someone@foreign.org\n"
    "\n"
    "x\n"
    ".\n";

class SendMailTest : public SmtpClientTest {
 protected:
  void WriteOut(const std::string& name, const std::string& bytes) const {
    Write("out", name, bytes);
  }
};

// --- The conversation of a delivery ---

TEST_F(SendMailTest, SendsExactlyTheseBytesForOneMessage) {
  ScriptedSmtpServer& server = Serve();
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_EQ(server.Transcript(0),
            std::string("HELO ZUL\n"
                        "MAIL FROM: JOHN@FOREIGN.ORG\n"
                        "RCPT TO: ANN@EXAMPLE.COM\n"
                        "DATA\n") +
                kLocalMessage + "\n" + "QUIT\r\n");
  EXPECT_EQ(server.AcceptedMessages(), 1);
  EXPECT_THAT(env_.events(), IsEmpty());
  EXPECT_EQ(testing_support::ReadFileBytes(root_.spool() / "out" / "m1"), kLocalMessage);
}

TEST_F(SendMailTest, AFromFieldWithoutAnAtSignGivesTheFixedSender) {
  ScriptedSmtpServer& server = Serve();
  WriteOut("m1", "From: John Doe\nTo: ann@example.com\n\nx\n.\n");
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0), HasSubstr("HELO ZUL\nMAIL FROM: QUILLON\nRCPT TO: ANN"));
}

TEST_F(SendMailTest, EveryRecipientGetsItsOwnCommandInOrder) {
  ScriptedSmtpServer& server = Serve();
  WriteOut("m1", "To: a@example.com, b@example.com\nCc: c@example.com\n\nx\n.\n");
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0),
              HasSubstr("RCPT TO: A@EXAMPLE.COM\nRCPT TO: B@EXAMPLE.COM\n"
                        "RCPT TO: C@EXAMPLE.COM\nDATA\n"));
}

TEST_F(SendMailTest, ARefusedGreetingStillGetsHelo) {
  ScriptedSmtpServer& server =
      Serve(SmtpScript().Greeting(SmtpAction::Reply("554 No service for you\r\n")));
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0), ::testing::StartsWith("HELO ZUL\nMAIL FROM: "));
}

TEST_F(SendMailTest, OnlyTheLastRecipientsReplyIsJudged) {
  const std::string message = "To: a@example.com, b@example.com, c@example.com\n\nx\n.\n";
  {
    ScriptedSmtpServer& server =
        Serve(SmtpScript().On("RCPT", 0, SmtpAction::Reply("550 No such user\r\n")));
    WriteOut("m1", message);
    EXPECT_EQ(SendMail("m1"), 1);
    EXPECT_EQ(server.AcceptedMessages(), 1);
  }
  ScriptedSmtpServer& server =
      Serve(SmtpScript().On("RCPT", 2, SmtpAction::Reply("550 No such user\r\n")));
  EXPECT_EQ(SendMail("m1"), -1);
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:"));
  EXPECT_EQ(server.Transcript(0),
            "HELO ZUL\nMAIL FROM: QUILLON\nRCPT TO: A@EXAMPLE.COM\nRCPT TO: B@EXAMPLE.COM\n"
            "RCPT TO: C@EXAMPLE.COM\n");
}

TEST_F(SendMailTest, TheReplyBufferIsNotClearedBetweenTwoRecipients) {
  // "2" alone over the remains of "250 ..." reads as "250"; over a cleared
  // buffer it would not.
  const std::string two_recipients = "To: a@example.com, b@example.com\n\nx\n.\n";
  {
    Serve(SmtpScript().On("RCPT", 1, SmtpAction::Reply("2")));
    WriteOut("m1", two_recipients);
    EXPECT_EQ(SendMail("m1"), 1);
  }
  {
    Serve(SmtpScript().On("RCPT", 1, SmtpAction::Reply("5")));
    EXPECT_EQ(SendMail("m1"), -1);
    EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:"));
  }
  // It is cleared before the first recipient, though: MAIL FROM's "250"
  // does not lend its digits to a short reply.
  Serve(SmtpScript().On("RCPT", 0, SmtpAction::Reply("2")));
  WriteOut("m2", kLocalMessage);
  EXPECT_EQ(SendMail("m2"), -1);
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:", " - SendMail - Bad To:"));
}

TEST_F(SendMailTest, AHeloReplyOtherThan250EndsBeforeMailFrom) {
  ScriptedSmtpServer& server = Serve(SmtpScript().On("HELO", SmtpAction::Reply("220 Hello\r\n")));
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), -1);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].type, platform::kEventlogErrorType);
  EXPECT_EQ(env_.events()[0].message, " - SendMail - Unable to HELO");
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\n");
}

TEST_F(SendMailTest, ADataReplyOtherThan354IsBadData) {
  ScriptedSmtpServer& server = Serve(SmtpScript().On("DATA", SmtpAction::Reply("250 OK\r\n")));
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), -1);
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad DATA"));
  EXPECT_THAT(server.Transcript(0), ::testing::EndsWith("RCPT TO: ANN@EXAMPLE.COM\nDATA\n"));
}

// --- The message data ---

// A valid spool file of exactly size bytes.
std::string MessageOfSize(std::size_t size) {
  const std::string head = "To: ann@example.com\n\n";
  const std::string tail = "\n.\n";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

std::vector<std::string> DataSends(const SmtpClientEnv& env) {
  std::vector<std::string> sends;
  for (const auto& [slept, bytes] : env.sends()) sends.push_back(bytes);
  // HELO, MAIL FROM, RCPT TO and DATA come first, QUIT last.
  return std::vector<std::string>(sends.begin() + 4, sends.end() - 1);
}

TEST_F(SendMailTest, AFileOfTwoFullBlocksIsFollowedByALoneLineFeed) {
  ScriptedSmtpServer& server = Serve();
  const std::string message = MessageOfSize(4096);
  WriteOut("m1", message);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(DataSends(env_),
              ElementsAre(message.substr(0, 2048), message.substr(2048), std::string("\n")));
  EXPECT_THAT(server.Transcript(0), HasSubstr("DATA\n" + message + "\nQUIT\r\n"));
}

TEST_F(SendMailTest, TheShortLastBlockTravelsWithItsLineFeed) {
  Serve();
  const std::string message = MessageOfSize(3000);
  WriteOut("m1", message);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(DataSends(env_), ElementsAre(message.substr(0, 2048), message.substr(2048) + "\n"));
}

TEST_F(SendMailTest, AZeroByteIsSentAsItIs) {
  ScriptedSmtpServer& server = Serve();
  const std::string message = std::string("To: ann@example.com\n\na") + '\0' + "b\n.\n";
  WriteOut("m1", message);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0), HasSubstr("DATA\n" + message + "\nQUIT\r\n"));
}

// --- Failures: one entry each, the connection closed, no QUIT ---

struct FailureCase {
  const char* name;
  std::string message;                 // the spool file
  std::function<void(SmtpScript&)> script;
  std::function<void(SmtpClientEnv&)> faults;
  std::string entry;                   // after " - SendMail - "
};

TEST_F(SendMailTest, EachFailureWritesItsOwnEntryAndClosesWithoutQuit) {
  const auto none = [](auto&) {};
  const auto on = [](std::string verb, SmtpAction action) {
    return [=](SmtpScript& script) { script.On(verb, action); };
  };
  const auto fail = [](Call call, int index, int result) {
    return [=](SmtpClientEnv& env) { env.Fail(call, index, result, 10054); };
  };
  const std::vector<FailureCase> cases = {
      // A reset right after the accept could fail the connect itself.
      {"greeting, error", kLocalMessage, none, fail(Call::kReceive, 0, -1),
       "Recv failed - Initial"},
      {"greeting, closed", kLocalMessage,
       [](SmtpScript& s) { s.Greeting(SmtpAction::Close()); }, none, "Socket closed by remote"},
      {"helo, error", kLocalMessage, on("HELO", SmtpAction::Reset()), none,
       "Recv failed - HELO"},
      {"helo, closed", kLocalMessage, on("HELO", SmtpAction::Close()), none,
       "Socket closed by remote"},
      {"fixed sender, error", kForeignMessage, on("MAIL", SmtpAction::Reset()), none,
       "Recv failed - MAIL FROM"},
      {"fixed sender, closed", kForeignMessage, on("MAIL", SmtpAction::Close()), none,
       "Socket closed by remote"},
      {"sender, error: the command as sent", kLocalMessage, on("MAIL", SmtpAction::Reset()),
       none, "Recv failed - MAIL FROM: JOHN@FOREIGN.ORG\n"},
      {"sender, closed", kLocalMessage, on("MAIL", SmtpAction::Close()), none,
       "Socket closed by remote"},
      {"sender refused", kLocalMessage, on("MAIL", SmtpAction::Reply("550 Go away\r\n")), none,
       "Bad From:"},
      {"header recipient, error: the command as sent", kLocalMessage,
       on("RCPT", SmtpAction::Reset()), none, "Recv failed - RCPT TO: ANN@EXAMPLE.COM\n"},
      {"header recipient, closed", kLocalMessage, on("RCPT", SmtpAction::Close()), none,
       "Socket closed by remote"},
      {"fallback recipient, error", kForeignMessage, on("RCPT", SmtpAction::Reset()), none,
       "Recv failed - RCPT TO - maillist:"},
      {"fallback recipient, closed: a leading blank", kForeignMessage,
       on("RCPT", SmtpAction::Close()), none, " Socket closed by remote"},
      {"data, error", kLocalMessage, on("DATA", SmtpAction::Reset()), none,
       "Recv failed - DATA"},
      {"data, closed", kLocalMessage, on("DATA", SmtpAction::Close()), none,
       "Socket closed by remote"},
      {"end of data, error", kLocalMessage, on(".", SmtpAction::Reset()), none,
       "Recv failed - msg line"},
      {"end of data, closed", kLocalMessage, on(".", SmtpAction::Close()), none,
       "Socket closed by remote"},
      {"end of data refused", kLocalMessage, on(".", SmtpAction::Reply("554 Rejected\r\n")),
       none, "Bad end of data"},
      {"socket", kLocalMessage, none, fail(Call::kCreateSocket, 0, -1), "Socket failed"},
      {"receive buffer", kLocalMessage, none, fail(Call::kReceiveBuffer, 0, -1),
       "setsockopt(SO_RCVBUF)"},
      {"send buffer", kLocalMessage, none, fail(Call::kSendBuffer, 0, -1),
       "setsockopt(SO_SNDBUF)"},
      {"connect", kLocalMessage, none, fail(Call::kConnect, 0, -1),
       "Connect failed to Exchange Server"},
      // HELO, MAIL FROM, RCPT TO and DATA are sends 0 to 3.
      {"a full data block", MessageOfSize(2048), none, fail(Call::kSend, 4, -1),
       "Send failed - msgline"},
      {"quit, error", kLocalMessage, none, fail(Call::kSend, 5, -1), "Send failed - QUIT"},
      {"quit, no byte went out", kLocalMessage, none, fail(Call::kSend, 5, 0),
       "Socket closed by remote"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpClientEnv env;  // fresh faults and records for each case
    SmtpScript script;
    c.script(script);
    c.faults(env);
    ScriptedSmtpServer& server = Serve(script);
    WriteOut("m1", c.message);
    EXPECT_EQ(SendMail("m1"), -1);
    ASSERT_EQ(env.events().size(), 1u);
    EXPECT_EQ(env.events()[0].type, platform::kEventlogErrorType);
    EXPECT_EQ(env.events()[0].message, " - SendMail - " + c.entry);
    if (server.ConnectionCount() > 0) {
      // The client closed its end: the server saw the connection end.
      EXPECT_THAT(server.Transcript(0), Not(HasSubstr("QUIT")));
    }
    EXPECT_EQ(testing_support::ReadFileBytes(root_.spool() / "out" / "m1"), c.message);
  }
}

TEST_F(SendMailTest, AFailedReceiveReportsTheSocketError) {
  Serve(SmtpScript().On("HELO", SmtpAction::Reset()));
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), -1);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 10054");
}

TEST_F(SendMailTest, AnUnreachableServerIsAFailedConnect) {
  // Nothing listens on the address.
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), -1);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].message, " - SendMail - Connect failed to Exchange Server");
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 10061");
}

TEST_F(SendMailTest, AFileThatCannotBeOpenedFailsBeforeAnyConnection) {
  Serve();
  EXPECT_EQ(SendMail("missing"), -1);
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Unable to open message file"));
  EXPECT_EQ(env_.calls(Call::kCreateSocket), 0);
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 2");
}

// The server ends the data at the first line ".": a file without one as its
// last line, or with one before it, is never sent. Such were the files of a
// message cut short by a forged UIDL reply in its body, and of the message
// after it, which began with the forger's header and held their ".".
TEST_F(SendMailTest, AFileThatWouldNotEndTheDataAtItsEndIsNotSent) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"cut short", "From: mallory@origin.org\nTo: alice@example.com\n\nhello\n"},
      {"a second message behind a \".\"",
       "From: ceo@example.com\nTo: accounting@example.com\n\npay\n.\n+OK 1 000000026b181edc\n"
       "+OK 62 octets\nFrom: dan@origin.org\nTo: bob@example.com\n\nreal\n.\n"},
      {"a line after the \".\"", "To: ann@example.com\n\nx\n.\n\n"},
      {"a dot and a carriage return", "To: ann@example.com\n\n.\r\r\nRSET\n.\n"},
      {"ending in a dot and a carriage return", "To: ann@example.com\n\nx\n.\r"},
      {"empty", ""},
  };
  ScriptedSmtpServer& server = Serve();
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    SmtpClientEnv env;
    WriteOut("m1", bytes);
    EXPECT_EQ(SendMail("m1"), -1);
    EXPECT_THAT(env.messages(), ElementsAre(" - SendMail - Damaged message file - m1"));
    EXPECT_EQ(env.calls(Call::kCreateSocket), 0);
    EXPECT_EQ(testing_support::ReadFileBytes(root_.spool() / "out" / "m1"), bytes);
  }
  EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST_F(SendMailTest, ADotAtTheEndOfALongLineEndsNothing) {
  ScriptedSmtpServer& server = Serve();
  const std::string message = "To: ann@example.com\n\n" + std::string(4096, 'x') + ".\nend\n.";
  WriteOut("m1", message);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0), HasSubstr("DATA\n" + message + "\nQUIT\r\n"));
  EXPECT_THAT(env_.events(), IsEmpty());
}

// --- No endless wait ---

TEST_F(SendMailTest, EverySocketGetsTheSilenceLimit) {
  Serve();
  WriteOut("m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(env_.requested_silence_limits(), ElementsAre(kSilenceLimitMs));
}

TEST_F(SendMailTest, AServerThatFallsSilentIsGivenUpAfterTheLimit) {
  struct Case {
    const char* name;
    std::function<void(SmtpScript&)> script;
    std::string entry;
  };
  const std::vector<Case> cases = {
      {"greeting", [](SmtpScript& s) { s.Greeting(SmtpAction::Stall()); },
       "Recv failed - Initial"},
      {"sender", [](SmtpScript& s) { s.On("MAIL", SmtpAction::Stall()); },
       "Recv failed - MAIL FROM: JOHN@FOREIGN.ORG\n"},
      {"end of data", [](SmtpScript& s) { s.On(".", SmtpAction::Stall()); },
       "Recv failed - msg line"},
  };
  env_.set_silence_limit_ms(200);
  WriteOut("m1", kLocalMessage);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpScript script;
    c.script(script);
    Serve(script);
    const std::size_t before = env_.events().size();
    EXPECT_EQ(SendMail("m1"), -1);
    ASSERT_EQ(env_.events().size(), before + 1);
    EXPECT_EQ(env_.events().back().message, " - SendMail - " + c.entry);
    EXPECT_EQ(env_.events().back().error_text, "Tallowmere error: 10060");
  }
}

// --- No header byte becomes a command of its own ---

TEST_F(SendMailTest, ACraftedHeaderCannotSplitACommand) {
  ScriptedSmtpServer& server = Serve();
  WriteOut("m1", std::string("From: <evil@x.org\rRCPT TO: boss@example.com>\n"
                             "To: ann\r@example.com, b\rob@example.com\n\nx\n.\n"));
  EXPECT_EQ(SendMail("m1"), 1);
  const std::string transcript = server.Transcript(0);
  EXPECT_THAT(transcript, ::testing::StartsWith(
                              "HELO ZUL\n"
                              "MAIL FROM: QUILLON\n"
                              "RCPT TO: ANN@EXAMPLE.COM\n"
                              "RCPT TO: BOB@EXAMPLE.COM\n"
                              "DATA\n"));
}

// --- The provider's envelope field ---

TEST_F(SendMailTest, TheProvidersFieldNamesTheRecipientsAndItsAbsenceIsReported) {
  GatewaySettings.envelopeheader = "X-ORIGINAL-TO";
  ScriptedSmtpServer& server = Serve();
  WriteOut("m1", "X-Original-To: bcc@example.com\nFrom: a@x.org\nTo: ann@example.com\n\nx\n.\n");
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0),
              HasSubstr("MAIL FROM: A@X.ORG\nRCPT TO: BCC@EXAMPLE.COM\nDATA\n"));
  EXPECT_THAT(env_.events(), IsEmpty());

  WriteOut("m2", "From: a@x.org\nTo: ann@example.com, bob@example.com\nCc: ann@example.com\n\nx\n.\n");
  EXPECT_EQ(SendMail("m2"), 1);
  EXPECT_THAT(server.Transcript(1),
              HasSubstr("MAIL FROM: A@X.ORG\nRCPT TO: ANN@EXAMPLE.COM\nRCPT TO: BOB@EXAMPLE.COM\n"
                        "DATA\n"));
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].message, " - SendMail - No envelope header - m2");
  EXPECT_EQ(env_.events()[0].type, platform::kEventlogErrorType);
}

TEST_F(SendMailTest, AnAddressNamedThreeTimesGetsOneCommand) {
  ScriptedSmtpServer& server = Serve();
  WriteOut("m1", "To: bob@example.com, Bob <BOB@example.com>\nCc: bob@Example.com\n\nx\n.\n");
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0), HasSubstr("MAIL FROM: QUILLON\nRCPT TO: BOB@EXAMPLE.COM\nDATA\n"));
}

}  // namespace
