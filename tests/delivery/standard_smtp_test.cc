// The "standard" smtpmode against the scripted SMTP server: RFC 5321 bytes on
// the wire, replies read whole, and one connection for a whole delivery run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "platform/env.h"
#include "tests/delivery/smtp_client_fixture.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using testing_support::DirectoryNames;
using testing_support::Occurrences;
using testing_support::ReadFileBytes;
using testing_support::ScriptedSmtpServer;
using testing_support::SmtpAction;
using testing_support::SmtpScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;


// The bytes with each LF as CR LF.
std::string Crlf(const std::string& text) {
  std::string wire;
  for (char c : text) wire += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return wire;
}

// Every CR of the bytes is followed by LF and every LF follows a CR.
bool OnlyCrlfLineEnds(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) return false;
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) return false;
  }
  return true;
}

class StandardSmtpTest : public SmtpClientTest {
 protected:
  void SetUp() override {
    SmtpClientTest::SetUp();
    GatewaySettings.smtpmode = SmtpMode::kStandard;
  }
  std::string Message(const std::string& to) const { return "To: " + to + "\n\nbody\n.\n"; }
};

// --- One message ---

// The whole connection that delivers kLocalMessage alone.
std::string LocalMessageConversation() {
  return "HELO ZUL\r\n"
         "MAIL FROM:<JOHN@FOREIGN.ORG>\r\n"
         "RCPT TO:<ANN@EXAMPLE.COM>\r\n"
         "DATA\r\n" +
         Crlf(kLocalMessage) + "QUIT\r\n";
}

TEST_F(StandardSmtpTest, SendsExactlyTheseBytesForOneMessage) {
  ScriptedSmtpServer& server = Serve();
  Write("out", "m1", kLocalMessage);
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_EQ(server.Transcript(0), LocalMessageConversation());
  EXPECT_EQ(server.AcceptedMessages(), 1);
  EXPECT_THAT(env_.events(), IsEmpty());
  EXPECT_EQ(ReadFileBytes(root_.spool() / "out" / "m1"), kLocalMessage);
}

TEST_F(StandardSmtpTest, TheFixedSenderIsQuillonAtTheLocalDomain) {
  ScriptedSmtpServer& server = Serve();
  Write("out", "m1", "From: John Doe\nTo: a@example.com, b@example.com\n\nx\n.\n");
  EXPECT_EQ(SendMail("m1"), 1);
  EXPECT_THAT(server.Transcript(0),
              HasSubstr("HELO ZUL\r\nMAIL FROM:<QUILLON@EXAMPLE.COM>\r\n"
                        "RCPT TO:<A@EXAMPLE.COM>\r\nRCPT TO:<B@EXAMPLE.COM>\r\nDATA\r\n"));
}

TEST_F(StandardSmtpTest, TheDataCarriesNoLineEndButCrLf) {
  struct Case {
    const char* name;
    std::string spool;
    std::string wire;  // the data as sent
  };
  const std::string head = "To: ann@example.com\n\n";
  const std::string wire_head = "To: ann@example.com\r\n\r\n";
  // A CR LF pair that straddles the 2048-byte blocks of the read.
  std::string straddle = head + std::string(2047 - head.size(), 'x') + "\r\nnext\n.\n";
  // Larger than one send, with CR LF pairs across its blocks.
  std::string big = head;
  std::string big_wire = wire_head;
  for (int i = 0; big.size() < 200000; ++i) {
    big += "line " + std::to_string(i) + "\r\n";
    big_wire += "line " + std::to_string(i) + "\r\n";
  }
  big += ".\n";
  big_wire += ".\r\n";
  const std::vector<Case> cases = {
      {"CR LF already in the file", "To: ann@example.com\r\n\r\nx\r\n.\r\n",
       wire_head + "x\r\n.\r\n"},
      {"a CR inside a line is a blank", head + "a\rb\n.\n", wire_head + "a b\r\n.\r\n"},
      {"a CR before a CR LF is a blank", head + "c\r\r\n.\n", wire_head + "c \r\n.\r\n"},
      {"a CR at the start of a line", head + "\r.x\n.\n", wire_head + " .x\r\n.\r\n"},
      {"across two blocks", straddle, Crlf(head) + std::string(2047 - head.size(), 'x') +
                                          "\r\nnext\r\n.\r\n"},
      {"larger than one send", big, big_wire},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSmtpServer& server = Serve();
    Write("out", "m1", c.spool);
    EXPECT_EQ(SendMail("m1"), 1);
    const std::string transcript = server.Transcript(0);
    const std::string data_start = "DATA\r\n";
    const std::size_t data = transcript.find(data_start) + data_start.size();
    EXPECT_TRUE(transcript.substr(data) == c.wire + "QUIT\r\n") << transcript.substr(0, 4000);
    EXPECT_TRUE(OnlyCrlfLineEnds(transcript));
    EXPECT_EQ(ReadFileBytes(root_.spool() / "out" / "m1"), c.spool);
  }
  EXPECT_THAT(env_.events(), IsEmpty());
}

// --- Replies read whole ---

TEST_F(StandardSmtpTest, MultiLineRepliesAreReadToTheirLastLine) {
  std::string long_helo;
  for (int i = 0; i < 40; ++i) {
    long_helo += "250-EXTENSION-" + std::to_string(i) + std::string(60, 'e') + "\r\n";
  }
  long_helo += "250 SMTPUTF8\r\n";  // over 2,048 bytes: more than one receive
  const SmtpScript script =
      SmtpScript()
          .Greeting(SmtpAction::Reply("220-mail.example.com ESMTP\r\n220-second line\r\n"
                                      "220 ready\r\n"))
          .On("HELO", SmtpAction::Reply(long_helo))
          .On("MAIL", SmtpAction::Reply("250-2.1.0 Sender\r\n250 2.1.0 OK\r\n"))
          .On(".", SmtpAction::Reply("250-2.0.0 queued\r\n250 2.0.0 as 1234\r\n"));
  // Whole, in pieces of 512 bytes, in pieces that split the code, byte by byte.
  for (int limit : {0, 512, 2, 1}) {
    SCOPED_TRACE(limit);
    env_.set_receive_limit(limit);
    ScriptedSmtpServer& server = Serve(script);
    Write("out", "m1", kLocalMessage);
    EXPECT_EQ(SendMail("m1"), 1);
    EXPECT_EQ(server.Transcript(0), LocalMessageConversation());
  }
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(StandardSmtpTest, TheLastLineOfAReplyIsJudged) {
  struct Case {
    const char* name;
    std::function<void(SmtpScript&)> script;
    std::string entry;
    std::string transcript;
  };
  const std::vector<Case> cases = {
      {"a refusing greeting gets no HELO",
       [](SmtpScript& s) { s.Greeting(SmtpAction::Reply("554 No service\r\n")); },
       " - SendMail - Bad greeting", ""},
      {"a greeting that ends in a refusal",
       [](SmtpScript& s) { s.Greeting(SmtpAction::Reply("220-Welcome\r\n554 but not you\r\n")); },
       " - SendMail - Bad greeting", ""},
      {"a HELO reply that ends in a refusal",
       [](SmtpScript& s) { s.On("HELO", SmtpAction::Reply("250-hello\r\n550 go away\r\n")); },
       " - SendMail - Unable to HELO", "HELO ZUL\r\n"},
  };
  Write("out", "m1", kLocalMessage);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::SmtpClientEnv env;
    SmtpScript script;
    c.script(script);
    ScriptedSmtpServer& server = Serve(script);
    EXPECT_EQ(SendMail("m1"), -1);
    EXPECT_THAT(env.messages(), ElementsAre(c.entry));
    EXPECT_EQ(server.Transcript(0), c.transcript);
  }
}

// --- One connection for a delivery run ---

TEST_F(StandardSmtpTest, ADeliveryRunCarriesEveryMessageOverOneConnectionAndQuitsOnce) {
  ScriptedSmtpServer& server = Serve();
  for (const char* name : {"m1", "m2", "m3"}) Write("out", name, Message("ann@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  ASSERT_EQ(server.ConnectionCount(), 1);
  const std::string transcript = server.Transcript(0);
  const std::string one = "MAIL FROM:<QUILLON@EXAMPLE.COM>\r\nRCPT TO:<ANN@EXAMPLE.COM>\r\n"
                          "DATA\r\n" + Crlf(Message("ann@example.com"));
  EXPECT_EQ(transcript, "HELO ZUL\r\n" + one + one + one + "QUIT\r\n");
  EXPECT_EQ(server.AcceptedMessages(), 3);
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), IsEmpty());
  EXPECT_THAT(env_.events(), IsEmpty());
}

// Over one connection, each message names each recipient once: from the
// provider's field where it names one, else from the header, with the entry.
TEST_F(StandardSmtpTest, EachMessageNamesEachRecipientOnceOverTheKeptConnection) {
  GatewaySettings.envelopeheader = "DELIVERED-TO";
  ScriptedSmtpServer& server = Serve();
  Write("out", "m1", "Delivered-To: carol@example.com\nTo: bob@example.com\n\nx\n.\n");
  Write("out", "m2", Message("bob@example.com, Bob <bob@EXAMPLE.com>, bob@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  ASSERT_EQ(server.ConnectionCount(), 1);
  const std::string transcript = server.Transcript(0);
  EXPECT_EQ(Occurrences(transcript, "RCPT TO:<CAROL@EXAMPLE.COM>\r\nDATA\r\n"), 1);
  EXPECT_EQ(Occurrences(transcript, "RCPT TO:<BOB@EXAMPLE.COM>\r\nDATA\r\n"), 1);
  EXPECT_EQ(Occurrences(transcript, "RCPT TO:"), 2);
  EXPECT_EQ(server.AcceptedMessages(), 2);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].message, " - SendMail - No envelope header - m2");
}

TEST_F(StandardSmtpTest, AFailedMessageIsFollowedByRsetAndTheNextGoesOn) {
  ScriptedSmtpServer& server =
      Serve(SmtpScript().OnLine("RCPT TO:<BAD@EXAMPLE.COM>",
                                SmtpAction::Reply("550 5.1.1 No such user\r\n")));
  Write("out", "m1", Message("ann@example.com"));
  Write("out", "m2", Message("bad@example.com"));
  Write("out", "m3", Message("bob@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  ASSERT_EQ(server.ConnectionCount(), 1);
  const std::string transcript = server.Transcript(0);
  EXPECT_THAT(transcript, HasSubstr("RCPT TO:<BAD@EXAMPLE.COM>\r\nRSET\r\n"));
  EXPECT_EQ(Occurrences(transcript, "RSET"), 1);
  EXPECT_EQ(Occurrences(transcript, "MAIL FROM"), 3);
  EXPECT_EQ(Occurrences(transcript, "DATA"), 2);
  EXPECT_EQ(Occurrences(transcript, "QUIT"), 1);
  EXPECT_TRUE(transcript.ends_with("QUIT\r\n"));
  EXPECT_EQ(server.AcceptedMessages(), 2);
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:"));
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), ElementsAre("m2"));
}

TEST_F(StandardSmtpTest, ARefusedRsetClosesTheConnectionAndTheNextMessageOpensANewOne) {
  ScriptedSmtpServer& server =
      Serve(SmtpScript()
                .On("RCPT", SmtpAction::Reply("550 5.1.1 No such user\r\n"))
                .On("RSET", SmtpAction::Reply("500 What?\r\n")));
  Write("out", "m1", Message("ann@example.com"));
  Write("out", "m2", Message("bob@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  const std::string expected = "HELO ZUL\r\nMAIL FROM:<QUILLON@EXAMPLE.COM>\r\nRCPT TO:<";
  ASSERT_EQ(server.ConnectionCount(), 2);
  for (const std::string& transcript : server.Transcripts()) {
    EXPECT_THAT(transcript, ::testing::StartsWith(expected));
    EXPECT_THAT(transcript, ::testing::EndsWith("@EXAMPLE.COM>\r\nRSET\r\n"));
  }
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:", " - SendMail - Bad To:"));
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), ElementsAre("m1", "m2"));
}

TEST_F(StandardSmtpTest, AServerThatClosesBetweenMessagesGetsTheNextOnANewConnection) {
  // The second MAIL FROM of every connection finds it closed, or told to
  // close: that message starts again on a new connection, without an entry.
  for (const SmtpAction& action :
       {SmtpAction::Close(), SmtpAction::Reset(),
        SmtpAction::Reply("421 4.3.2 Shutting down\r\n")}) {
    SCOPED_TRACE(action.text);
    ScriptedSmtpServer& server = Serve(SmtpScript().On("MAIL", 1, action));
    for (const char* name : {"m1", "m2", "m3"}) Write("out", name, Message("ann@example.com"));
    EXPECT_EQ(SendSMTP(), 1);
    EXPECT_EQ(server.AcceptedMessages(), 3);
    ASSERT_EQ(server.ConnectionCount(), 3);
    const std::string one = "MAIL FROM:<QUILLON@EXAMPLE.COM>\r\nRCPT TO:<ANN@EXAMPLE.COM>\r\n"
                            "DATA\r\n" + Crlf(Message("ann@example.com"));
    const std::vector<std::string> transcripts = server.Transcripts();
    EXPECT_EQ(transcripts[0], "HELO ZUL\r\n" + one + "MAIL FROM:<QUILLON@EXAMPLE.COM>\r\n");
    EXPECT_EQ(transcripts[1], "HELO ZUL\r\n" + one + "MAIL FROM:<QUILLON@EXAMPLE.COM>\r\n");
    EXPECT_EQ(transcripts[2], "HELO ZUL\r\n" + one + "QUIT\r\n");
    EXPECT_THAT(DirectoryNames(root_.spool() / "out"), IsEmpty());
  }
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(StandardSmtpTest, AReplyThatTimesOutFailsItsMessageAndTheNextOpensANewConnection) {
  env_.set_silence_limit_ms(300);
  ScriptedSmtpServer& server = Serve(SmtpScript().On(".", 1, SmtpAction::Stall()));
  for (const char* name : {"m1", "m2", "m3"}) Write("out", name, Message("ann@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_EQ(server.AcceptedMessages(), 2);
  ASSERT_EQ(server.ConnectionCount(), 2);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].message, " - SendMail - Recv failed - msg line");
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 10060");
  EXPECT_EQ(Occurrences(server.Transcript(0), "QUIT"), 0);
  EXPECT_TRUE(server.Transcript(1).ends_with("\r\n.\r\nQUIT\r\n"));
  EXPECT_EQ(DirectoryNames(root_.spool() / "out").size(), 1u);
}

// --- At most ten messages a connection ---

// One delivered message of Message("ann@example.com") on a kept connection.
std::string OneKeptMessage() {
  return "MAIL FROM:<QUILLON@EXAMPLE.COM>\r\nRCPT TO:<ANN@EXAMPLE.COM>\r\nDATA\r\n" +
         Crlf("To: ann@example.com\n\nbody\n.\n");
}

// A whole connection that carries count such messages.
std::string ConnectionOf(int count) {
  std::string transcript = "HELO ZUL\r\n";
  for (int i = 0; i < count; ++i) transcript += OneKeptMessage();
  return transcript + "QUIT\r\n";
}

TEST_F(StandardSmtpTest, AConnectionCarriesAtMostTenMessagesThenQuits) {
  struct Case {
    int messages;
    std::vector<int> per_connection;
  };
  const std::vector<Case> cases = {
      {9, {9}}, {10, {10}}, {11, {10, 1}}, {20, {10, 10}}, {25, {10, 10, 5}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.messages);
    ScriptedSmtpServer& server = Serve();
    for (int i = 0; i < c.messages; ++i) {
      Write("out", "m" + std::to_string(i), Message("ann@example.com"));
    }
    EXPECT_EQ(SendSMTP(), 1);
    EXPECT_EQ(server.AcceptedMessages(), c.messages);
    ASSERT_EQ(server.ConnectionCount(), static_cast<int>(c.per_connection.size()));
    for (std::size_t i = 0; i < c.per_connection.size(); ++i) {
      EXPECT_EQ(server.Transcript(static_cast<int>(i)), ConnectionOf(c.per_connection[i]))
          << "connection " << i;
    }
    EXPECT_THAT(DirectoryNames(root_.spool() / "out"), IsEmpty());
  }
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(StandardSmtpTest, TheNextConnectionOpensOnlyAfterTheReplyToQuit) {
  ScriptedSmtpServer& server = Serve();
  // At each QUIT but the last, the server holds its reply back for a while
  // and notes whether the client has opened the next connection meanwhile.
  std::mutex mutex;
  std::vector<int> connections_at_quit;
  server.OnCommand([&](const std::string& line) {
    if (line != "QUIT") return;
    const int before = server.ConnectionCount();
    for (int i = 0; i < 40 && server.ConnectionCount() == before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard lock(mutex);
    connections_at_quit.push_back(server.ConnectionCount());
  });
  for (int i = 0; i < 25; ++i) Write("out", "m" + std::to_string(i), Message("ann@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  ASSERT_EQ(server.ConnectionCount(), 3);
  EXPECT_EQ(server.Transcript(2), ConnectionOf(5));
  server.OnCommand({});
  std::lock_guard lock(mutex);
  EXPECT_THAT(connections_at_quit, ElementsAre(1, 2, 3));
}

TEST_F(StandardSmtpTest, AFailedMessageTakesItsTurnOnTheConnection) {
  ScriptedSmtpServer& server =
      Serve(SmtpScript().OnLine("RCPT TO:<BAD@EXAMPLE.COM>",
                                SmtpAction::Reply("550 5.1.1 No such user\r\n")));
  for (int i = 0; i < 11; ++i) Write("out", "m" + std::to_string(i), Message("ann@example.com"));
  Write("out", "bad", Message("bad@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_EQ(server.AcceptedMessages(), 11);
  ASSERT_EQ(server.ConnectionCount(), 2);
  const std::vector<std::string> transcripts = server.Transcripts();
  EXPECT_EQ(Occurrences(transcripts[0], "MAIL FROM") + Occurrences(transcripts[1], "MAIL FROM"), 12);
  EXPECT_EQ(Occurrences(transcripts[0], "MAIL FROM"), 10);
  for (const std::string& transcript : transcripts) {
    EXPECT_EQ(Occurrences(transcript, "HELO ZUL\r\n"), 1);
    EXPECT_TRUE(transcript.ends_with("\r\n.\r\nQUIT\r\n") ||
                transcript.ends_with("RSET\r\nQUIT\r\n"));
  }
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:"));
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), ElementsAre("bad"));
}

TEST_F(StandardSmtpTest, TheGatewaysOwnModeStillOpensAConnectionPerMessage) {
  GatewaySettings.smtpmode = SmtpMode::kClassic;
  ScriptedSmtpServer& server = Serve(SmtpScript().On("RCPT", SmtpAction::Reply("550 No\r\n")));
  Write("out", "m1", Message("ann@example.com"));
  Write("out", "m2", Message("bob@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  ASSERT_EQ(server.ConnectionCount(), 2);
  for (const std::string& transcript : server.Transcripts()) {
    EXPECT_THAT(transcript, ::testing::StartsWith("HELO ZUL\nMAIL FROM: QUILLON\nRCPT TO: "));
    EXPECT_THAT(transcript, ::testing::EndsWith("@EXAMPLE.COM\n"));  // no RSET, no QUIT
  }
}

}  // namespace
