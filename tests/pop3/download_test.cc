// The mailbox download: "popout.txt", "statlog.txt" and the session it
// leaves open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/control/run_state.h"
#include "gateway/pop3/pop3.h"
#include "tests/pop3/pop3_fixture.h"

namespace pop3_testing {
namespace {

using Server = testing_support::ScriptedPop3Server;
using testing_support::WriteFileBytes;

constexpr char kLogin[] = "USER postmaster\r\nPASS secret\r\n";

// The reply to RETR for content as the server stores it and sends it
// (dot-stuffed, when sent differs).
std::string RetrReply(const std::string& content, const std::string& sent = "") {
  return "+OK " + std::to_string(content.size()) + " octets\r\n" +
         (sent.empty() ? content : sent) + ".\r\n";
}

class DownloadTest : public Pop3Test {
 protected:
  // Five messages "m1".."m5" with the identifiers "u1".."u5".
  std::vector<std::string> AddFive() {
    std::vector<std::string> contents;
    for (int i = 1; i <= 5; ++i) {
      contents.push_back("From: a@b\r\nSubject: m" + std::to_string(i) + "\r\n\r\nline\r\n");
      server_->AddMessage("u" + std::to_string(i), contents.back());
    }
    return contents;
  }
};

// --- ParseStatCount ---

struct StatCase {
  const char* reply;
  int count;
};
class ParseStatCountTest : public ::testing::TestWithParam<StatCase> {};
TEST_P(ParseStatCountTest, TakesTheFieldBetweenTheFirstTwoBlanks) {
  EXPECT_EQ(ParseStatCount(GetParam().reply), GetParam().count);
}
INSTANTIATE_TEST_SUITE_P(Replies, ParseStatCountTest,
                         ::testing::Values(StatCase{"+OK 2 320\r\n", 2},
                                           StatCase{"+OK 2 320", 2},
                                           StatCase{"+OK 3\r\n", 0},    // no size
                                           StatCase{"+OK  2 320\r\n", 0},
                                           StatCase{"+OK\r\n", 0},
                                           StatCase{"+OK 0 0\r\n", 0},
                                           StatCase{"+OK 12x 9\r\n", 12},
                                           StatCase{"+OK -4 9\r\n", -4},
                                           StatCase{"-ERR locked\r\n", -1},
                                           StatCase{"+ok 2 320\r\n", -1},
                                           StatCase{"", -1}));

// --- The statistics line and the empty mailbox ---

TEST_F(DownloadTest, EmptyMailboxEndsTheSessionAndLeavesPopoutEmpty) {
  WriteFileBytes(spool_.root() / "popout.txt", "old download");
  EXPECT_EQ(GetPop(), 0);
  WaitForQuit();
  EXPECT_EQ(File("statlog.txt"), "There were 0 messages waiting this session\n");
  EXPECT_EQ(File("popout.txt"), "");
  EXPECT_EQ(Received(), std::string(kLogin) + "STAT\r\nQUIT\r\n");
  EXPECT_EQ(env_.journal.back(), "closesocket");
  EXPECT_TRUE(env_.events.empty());
}

struct NegativeStat {
  const char* name;
  const char* reply;
  const char* statlog_count;
};
class NegativeStatTest : public DownloadTest,
                         public ::testing::WithParamInterface<NegativeStat> {};

// Any count below zero is a failed STAT: never an empty mailbox, never an
// exit code made of the count.
TEST_P(NegativeStatTest, IsAnErrorInMessageCount) {
  server_->AddMessage("u1", "x\r\n");
  server_->ReplaceReply("STAT", GetParam().reply);
  EXPECT_EQ(GetPop(), -1);
  EXPECT_EQ(File("statlog.txt"), std::string("There were ") + GetParam().statlog_count +
                                     " messages waiting this session\n");
  EXPECT_EQ(File("popout.txt"), "");
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{" - GetPop - Error in Message Count"});
  EXPECT_EQ(Received(), std::string(kLogin) + "STAT\r\n");  // no QUIT
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"u1"});
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NegativeStatTest,
    ::testing::Values(NegativeStat{"NotPositive", "-ERR maildrop locked\r\n", "-1"},
                      NegativeStat{"MinusOne", "+OK -1 0\r\n", "-1"},
                      NegativeStat{"MinusFive", "+OK -5 320\r\n", "-5"},
                      NegativeStat{"Huge", "+OK -99999999999 0\r\n", "-2147483648"}),
    [](const ::testing::TestParamInfo<NegativeStat>& info) { return info.param.name; });

TEST_F(DownloadTest, StatWithoutSizeCountsAsEmpty) {
  server_->AddMessage("u1", "x\r\n");
  server_->ReplaceReply("STAT", "+OK 3\r\n");
  EXPECT_EQ(GetPop(), 0);
  WaitForQuit();
  EXPECT_EQ(File("statlog.txt"), "There were 0 messages waiting this session\n");
  EXPECT_EQ(Received(), std::string(kLogin) + "STAT\r\nQUIT\r\n");
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"u1"});
}

TEST_F(DownloadTest, FailedLoginLeavesBothFilesUntouched) {
  WriteFileBytes(spool_.root() / "popout.txt", "previous download");
  WriteFileBytes(spool_.root() / "statlog.txt", "previous statistics\n");
  GatewaySettings.PassCommand = "PASS wrong\r\n";
  EXPECT_EQ(GetPop(), -1);
  EXPECT_EQ(File("popout.txt"), "previous download");
  EXPECT_EQ(File("statlog.txt"), "previous statistics\n");
  EXPECT_EQ(env_.EventMessages(),
            std::vector<std::string>{" - PopLogin - -ERR invalid password\r\n"});
}

TEST_F(DownloadTest, StatReceiveErrorLeavesBothFilesEmpty) {
  WriteFileBytes(spool_.root() / "popout.txt", "previous download");
  WriteFileBytes(spool_.root() / "statlog.txt", "previous statistics\n");
  server_->StallInReply("STAT");
  EXPECT_EQ(GetPop(), -1);
  EXPECT_EQ(File("popout.txt"), "");
  EXPECT_EQ(File("statlog.txt"), "");
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, " - GetPop - Recv failed - ACK of STAT");
  EXPECT_EQ(env_.events[0].error_text, "Tallowmere error: 10060");
}

TEST_F(DownloadTest, StatClosedConnection) {
  server_->CloseInReply("STAT", 0);
  EXPECT_EQ(GetPop(), -1);
  EXPECT_EQ(File("statlog.txt"), "");
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{" - GetPop - Socket closed by remote"});
}

// --- The pause after a recovery login ---

TEST_F(DownloadTest, RecoveryLoginMeansNinetySecondsBeforeTheConnection) {
  RecoveryLoginDone = 1;
  EXPECT_EQ(GetPop(), 0);
  EXPECT_EQ(RecoveryLoginDone, 0);
  EXPECT_EQ(env_.sleeps, std::vector<std::uint32_t>{90000});
  // The pause came before anything was sent.
  EXPECT_EQ(env_.journal.front(), "send USER postmaster\r\n");
  EXPECT_EQ(server_->Sessions(), 1);
}

TEST_F(DownloadTest, NoPauseWithoutARecoveryLogin) {
  EXPECT_EQ(GetPop(), 0);
  EXPECT_TRUE(env_.sleeps.empty());
}

// --- The layout of "popout.txt" ---

TEST_F(DownloadTest, TwoMessagesLaidOutAsReceived) {
  const std::string m1 = "From: a@b\r\nSubject: one\r\n\r\nfirst\r\n";
  const std::string m2 = "From: c@d\r\n\r\n.dotted\r\nlast\r\n";
  server_->AddMessage("id-1", m1);
  server_->AddMessage("id-2", m2);
  EXPECT_EQ(GetPop(), 2);
  EXPECT_EQ(File("statlog.txt"), "There were 2 messages waiting this session\n");
  EXPECT_EQ(File("popout.txt"),
            "+OK\r\n1 id-1\r\n2 id-2\r\n.\r\n" + RetrReply(m1) + "+OK 1 id-1\r\n" +
                RetrReply(m2, "From: c@d\r\n\r\n..dotted\r\nlast\r\n") + "+OK 2 id-2\r\n");
  EXPECT_EQ(Received(), std::string(kLogin) +
                            "STAT\r\nUIDL\r\nRETR 1\r\nUIDL 1\r\nRETR 2\r\nUIDL 2\r\n");
  // The session stays open for the deletion.
  EXPECT_NE(PopSocket, platform::kInvalidSocket);
  EXPECT_EQ(std::count(env_.journal.begin(), env_.journal.end(), "closesocket"), 0);
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(DownloadTest, CtrlZIsABlankInAMessageAndInAUidlReply) {
  // A Ctrl-Z stored as it came would end the download for the splitter,
  // which reads it as text: message 2 would never be split.
  server_->AddMessage("u1", "Subject: z\r\n\r\na\x1A" "b\r\n");
  server_->AddMessage("u2", "Subject: y\r\n\r\nc\r\n");
  server_->ReplaceReply("UIDL 1", "+OK 1 u1\x1A\r\n");
  EXPECT_EQ(GetPop(), 2);
  const std::string popout = File("popout.txt");
  EXPECT_EQ(popout, "+OK\r\n1 u1\r\n2 u2\r\n.\r\n" + RetrReply("Subject: z\r\n\r\na b\r\n") +
                        "+OK 1 u1 \r\n" + RetrReply("Subject: y\r\n\r\nc\r\n") + "+OK 2 u2\r\n");
}

TEST_F(DownloadTest, CtrlZInTheListingIsABlank) {
  server_->AddMessage("u\x1A" "1", "x\r\n");
  EXPECT_EQ(GetPop(), 1);
  EXPECT_TRUE(File("popout.txt").starts_with("+OK\r\n1 u 1\r\n.\r\n"));
}

TEST_F(DownloadTest, NegativeUidlReplyIsStoredAndTheDownloadGoesOn) {
  AddFive();
  server_->ReplaceReply("UIDL 2", "-ERR no such message\r\n");
  EXPECT_EQ(GetPop(), 5);
  const std::string popout = File("popout.txt");
  EXPECT_NE(popout.find("line\r\n.\r\n-ERR no such message\r\n+OK "), std::string::npos);
  EXPECT_TRUE(popout.ends_with("+OK 5 u5\r\n"));
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(DownloadTest, CloseDuringMessageThreeOfFive) {
  const std::vector<std::string> m = AddFive();
  server_->CloseInReply("RETR 3", 30);
  EXPECT_EQ(GetPop(), 5);
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{" - GetPop - Socket closed by remote"});
  const std::string listing = "+OK\r\n1 u1\r\n2 u2\r\n3 u3\r\n4 u4\r\n5 u5\r\n.\r\n";
  EXPECT_EQ(File("popout.txt"), listing + RetrReply(m[0]) + "+OK 1 u1\r\n" + RetrReply(m[1]) +
                                    "+OK 2 u2\r\n" + RetrReply(m[2]).substr(0, 30));
  EXPECT_EQ(Received(), std::string(kLogin) +
                            "STAT\r\nUIDL\r\nRETR 1\r\nUIDL 1\r\nRETR 2\r\nUIDL 2\r\nRETR 3\r\n");
}

// --- Every failure after the STAT reply ---

struct DownloadFailure {
  const char* name;
  void (*script)(Server&, GatewayTestEnv&);
  const char* message;
  int result;
  const char* error_text;  // nullptr: not checked
};

class DownloadFailureTest : public DownloadTest,
                            public ::testing::WithParamInterface<DownloadFailure> {};

TEST_P(DownloadFailureTest, ReportsTheStepWithItsResult) {
  const DownloadFailure& f = GetParam();
  AddFive();
  f.script(*server_, env_);
  EXPECT_EQ(GetPop(), f.result);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, std::string(" - GetPop - ") + f.message);
  if (f.error_text) {
    EXPECT_EQ(env_.events[0].error_text, f.error_text);
  }
  // No failure ends the session.
  EXPECT_EQ(std::count(env_.journal.begin(), env_.journal.end(), "send QUIT\r\n"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DownloadFailureTest,
    ::testing::Values(
        DownloadFailure{"UidlSendError",
                        [](Server&, GatewayTestEnv& e) { e.send_results["UIDL\r\n"] = -1; },
                        "Send failed - Initial UIDL", -1, "Tallowmere error: 10054"},
        DownloadFailure{"UidlSendsNothing",
                        [](Server&, GatewayTestEnv& e) { e.send_results["UIDL\r\n"] = 0; },
                        "Socket closed by remote", -1, nullptr},
        DownloadFailure{"ListingSilent", [](Server& s, GatewayTestEnv&) { s.StallInReply("UIDL", 9); },
                        "Recv failed - UIDL Loop", 5, "Tallowmere error: 10060"},
        DownloadFailure{"ListingClosed", [](Server& s, GatewayTestEnv&) { s.CloseInReply("UIDL", 9); },
                        "Socket closed by remote", 5, nullptr},
        DownloadFailure{"ListingNegative",
                        [](Server& s, GatewayTestEnv&) { s.ReplaceReply("UIDL", "-ERR no\r\n"); },
                        "Protocol Error - UIDL listing", -1, nullptr},
        DownloadFailure{"RetrSendError",
                        [](Server&, GatewayTestEnv& e) { e.send_results["RETR 2\r\n"] = -1; },
                        "Send failed - RETR", -1, nullptr},
        DownloadFailure{"RetrSendsNothing",
                        [](Server&, GatewayTestEnv& e) { e.send_results["RETR 1\r\n"] = 0; },
                        "Socket closed by remote", -1, nullptr},
        DownloadFailure{"MessageSilent",
                        [](Server& s, GatewayTestEnv&) { s.StallInReply("RETR 4", 20); },
                        "Recv failed - select loop", 5, "Tallowmere error: 10060"},
        DownloadFailure{"MessageNegative",
                        [](Server& s, GatewayTestEnv&) { s.ReplaceReply("RETR 1", "-ERR gone\r\n"); },
                        "Protocol Error - Message Retrieval - RETR command", -1, nullptr},
        DownloadFailure{"TrailingUidlSendError",
                        [](Server&, GatewayTestEnv& e) { e.send_results["UIDL 3\r\n"] = -1; },
                        "Send failed - Trailing Message UIDL", -1, nullptr},
        DownloadFailure{"TrailingUidlSendsNothing",
                        [](Server&, GatewayTestEnv& e) { e.send_results["UIDL 3\r\n"] = 0; },
                        "Socket closed by remote", -1, nullptr},
        DownloadFailure{"TrailingUidlSilent",
                        [](Server& s, GatewayTestEnv&) { s.StallInReply("UIDL 5", 0); },
                        "Recv failed - Trialing Message UIDL", -1, "Tallowmere error: 10060"},
        DownloadFailure{"TrailingUidlClosed",
                        [](Server& s, GatewayTestEnv&) { s.CloseInReply("UIDL 5", 0); },
                        "Socket closed by remote", -1, nullptr}),
    [](const ::testing::TestParamInfo<DownloadFailure>& info) { return info.param.name; });

TEST_F(DownloadTest, NegativeFirstChunkStoresNothingOfIt) {
  server_->AddMessage("u1", "x\r\n");
  server_->ReplaceReply("RETR 1", "-ERR gone\r\n");
  EXPECT_EQ(GetPop(), -1);
  EXPECT_EQ(File("popout.txt"), "+OK\r\n1 u1\r\n.\r\n");
}

struct QuitFailure {
  const char* name;
  void (*script)(GatewayTestEnv&);
  const char* message;
};
class EmptyMailboxQuitTest : public DownloadTest,
                             public ::testing::WithParamInterface<QuitFailure> {};

TEST_P(EmptyMailboxQuitTest, FailureToEndTheSessionStillGivesTheCount) {
  GetParam().script(env_);
  EXPECT_EQ(GetPop(), 0);
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{std::string(" - GetPop - ") +
                                                           GetParam().message});
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, EmptyMailboxQuitTest,
    ::testing::Values(
        QuitFailure{"SendError", [](GatewayTestEnv& e) { e.send_results["QUIT\r\n"] = -1; },
                    "Send failed - QUIT"},
        QuitFailure{"SendsNothing", [](GatewayTestEnv& e) { e.send_results["QUIT\r\n"] = 0; },
                    "Socket closed by remote"},
        QuitFailure{"CloseFails", [](GatewayTestEnv& e) { e.fail_close_socket = true; },
                    "Close Socket failed"}),
    [](const ::testing::TestParamInfo<QuitFailure>& info) { return info.param.name; });

}  // namespace
}  // namespace pop3_testing
