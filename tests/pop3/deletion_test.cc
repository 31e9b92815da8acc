// The remote deletion in both phases, the recovery pass, and the durability
// of the spool before QUIT.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/control/run_state.h"
#include "gateway/delivery/delivery.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"
#include "tests/pop3/pop3_fixture.h"

namespace pop3_testing {
namespace {

using Server = testing_support::ScriptedPop3Server;
using testing_support::DirectoryNames;
using testing_support::WriteFileBytes;

constexpr char kNotDeleted[] =
    " - DeleteFromPop - RECOVERY MODE - del failed - Msg not in pop - delivered anyway";

class DeletionTest : public Pop3Test {
 protected:
  void Spool(const std::string& dir, const std::string& name, const std::string& bytes = "x\n.\n") {
    WriteFileBytes(spool_.root() / dir / name, bytes);
  }
  std::vector<std::string> In() const { return DirectoryNames(spool_.in()); }
  std::vector<std::string> Out() const { return DirectoryNames(spool_.out()); }
  std::vector<std::string> Commands() const { return server_->Commands(); }
  // The commands after the login.
  std::vector<std::string> AfterLogin() const {
    std::vector<std::string> c = Commands();
    c.erase(c.begin(), c.begin() + std::min<std::size_t>(2, c.size()));
    return c;
  }
  // Phase DELETE with the session that a download left open.
  int DownloadSplitDelete() {
    const int count = GetPop();
    if (count > 0) ParseMsgs(count);
    CurrentPhase = "DELETE";
    return DeleteFromPop();
  }
};

// --- LineBeforePosition ---

struct LineCase {
  const char* text;
  std::size_t position;
  const char* before;
};
class LineBeforePositionTest : public ::testing::TestWithParam<LineCase> {};
TEST_P(LineBeforePositionTest, FromTheLastLineFeedUpToThePosition) {
  EXPECT_EQ(LineBeforePosition(GetParam().text, GetParam().position), GetParam().before);
}
INSTANTIATE_TEST_SUITE_P(Texts, LineBeforePositionTest,
                         ::testing::Values(LineCase{"+OK\r\n12 abc\r\n", 7, "\n12"},
                                           LineCase{"3 abc", 1, "3"},
                                           LineCase{"abc", 0, ""},
                                           LineCase{"ab\ncd", 3, "\n"},
                                           LineCase{"a\nb\nc d", 5, "\nc"}));

// --- Nothing to do ---

TEST_F(DeletionTest, OnlyDotEntriesMeansNoTrafficInEitherPhase) {
  Spool("in", ".hidden");
  for (const char* phase : {"RECOVERY", "DELETE"}) {
    CurrentPhase = phase;
    EXPECT_EQ(DeleteFromPop(), 1);
  }
  EXPECT_EQ(server_->Sessions(), 0);
  EXPECT_TRUE(env_.journal.empty());
  EXPECT_TRUE(env_.events.empty());
  EXPECT_EQ(RecoveryLoginDone, 0);
}

TEST_F(DeletionTest, UnreadableInMeansNothingToDo) {
  Spool("in", "u1");
  CurrentPhase = "RECOVERY";
  env_.list_directory_successes = 0;
  EXPECT_EQ(DeleteFromPop(), 1);
  EXPECT_EQ(env_.EventMessages(),
            std::vector<std::string>{" - DeleteFromPop - Unable to get File Handle"});
  EXPECT_EQ(server_->Sessions(), 0);
}

// --- Phase DELETE ---

TEST_F(DeletionTest, AcceptedDeleMovesTheFileAndQuitDeletesTheMessage) {
  server_->AddMessage("u1", "Subject: 1\r\n\r\none\r\n");
  server_->AddMessage("u2", "Subject: 2\r\n\r\ntwo\r\n");
  EXPECT_EQ(DownloadSplitDelete(), 1);
  WaitForQuit();
  EXPECT_TRUE(In().empty());
  EXPECT_EQ(Out(), (std::vector<std::string>{"u1", "u2"}));
  EXPECT_EQ(testing_support::ReadFileBytes(spool_.out() / "u2"), "Subject: 2\n\ntwo\n.\n");
  EXPECT_TRUE(server_->Uids().empty());
  std::vector<std::string> after = AfterLogin();
  ASSERT_EQ(after.size(), 10u);
  std::sort(after.begin() + 7, after.begin() + 9);  // the order of the directory
  EXPECT_EQ(after, (std::vector<std::string>{"STAT", "UIDL", "RETR 1", "UIDL 1", "RETR 2",
                                             "UIDL 2", "UIDL", "DELE 1", "DELE 2", "QUIT"}));
  EXPECT_EQ(server_->Sessions(), 1);
  EXPECT_TRUE(env_.events.empty());
}

// The gateway's receives as the server's thread sees them.
class ReceiveWatch : public platform::EnvWrapper {
 public:
  explicit ReceiveWatch(platform::Env* target) : EnvWrapper(target) {}
  int Receive(platform::Socket s, char* buffer, int length) override {
    const int got = target()->Receive(s, buffer, length);
    std::lock_guard<std::mutex> lock(mutex_);
    if (got > 0) received_.append(buffer, static_cast<std::size_t>(got));
    changed_.notify_all();
    return got;
  }
  // Waits, at most 5 s, until all the gateway has received ends with tail.
  bool WaitUntilReceivedEndsWith(const std::string& tail) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5),
                             [&] { return received_.ends_with(tail); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
};

struct EndAtCarriageReturn {
  const char* name;
  const char* command;  // whose reply arrives in two sends, the LF of its end alone
  bool in_deletion;     // the deletion's listing rather than the download's
};

class EndAtCarriageReturnTest : public DeletionTest,
                                public ::testing::WithParamInterface<EndAtCarriageReturn> {
 protected:
  // A member, so that it outlives the server's threads, which TearDown ends.
  ReceiveWatch watch_{&env_};
};

TEST_P(EndAtCarriageReturnTest, TheLineFeedOfTheFullStopLineBelongsToTheReply) {
  const EndAtCarriageReturn& c = GetParam();
  const std::string m1 = "Subject: 1\r\n\r\none\r\n";
  std::string m2 = "Subject: 2\r\n\r\n";
  for (int i = 0; i < 30; ++i) m2 += std::string(60, 'a' + i % 26) + "\r\n";
  server_->AddMessage("u1", m1);
  server_->AddMessage("u2", m2);
  const std::string listing = "+OK\r\n1 u1\r\n2 u2\r\n.\r\n";
  auto retr = [](const std::string& m) {
    return "+OK " + std::to_string(m.size()) + " octets\r\n" + m + ".\r\n";
  };
  // Everything but the LF; the LF once the gateway has read all of that, so
  // its last receive of the reply ends at the CR.
  const std::string whole = std::string(c.command) == "UIDL" ? listing : retr(m2);
  const std::string before_line_feed = whole.substr(0, whole.size() - 1);
  platform::SetEnv(&watch_);
  auto split = [&] {
    server_->SplitReply(c.command, before_line_feed.size(), [this, before_line_feed] {
      watch_.WaitUntilReceivedEndsWith(before_line_feed);
    });
  };

  if (!c.in_deletion) split();
  const int count = GetPop();
  ASSERT_EQ(count, 2);
  EXPECT_EQ(File("popout.txt"), listing + retr(m1) + "+OK 1 u1\r\n" + retr(m2) + "+OK 2 u2\r\n");
  ParseMsgs(count);
  if (c.in_deletion) split();
  CurrentPhase = "DELETE";
  EXPECT_EQ(DeleteFromPop(), 1);
  WaitForQuit();

  // The LF came in a receive of its own, right after the one that ended at
  // the CR, and every later reply was read as the answer to its command.
  auto line_feed = std::find(env_.receives.begin(), env_.receives.end(), "\n");
  ASSERT_NE(line_feed, env_.receives.end());
  ASSERT_NE(line_feed, env_.receives.begin());
  EXPECT_TRUE(std::prev(line_feed)->ends_with("\r\n.\r"));
  EXPECT_TRUE(In().empty());
  EXPECT_EQ(Out(), (std::vector<std::string>{"u1", "u2"}));
  EXPECT_TRUE(server_->Uids().empty());
  EXPECT_TRUE(env_.events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, EndAtCarriageReturnTest,
    ::testing::Values(EndAtCarriageReturn{"ListingBeforeRetr1", "UIDL", false},
                      EndAtCarriageReturn{"LastMessageBeforeItsUidl", "RETR 2", false},
                      EndAtCarriageReturn{"DeletionListingBeforeDele", "UIDL", true}),
    [](const ::testing::TestParamInfo<EndAtCarriageReturn>& info) { return info.param.name; });

TEST_F(DeletionTest, RefusedDeleLeavesTheFileInInSilently) {
  server_->AddMessage("u1", "a\r\n");
  server_->ReplaceReply("DELE 1", "-ERR locked\r\n");
  EXPECT_EQ(DownloadSplitDelete(), 1);
  WaitForQuit();
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_TRUE(Out().empty());
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"u1"});
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(DeletionTest, FileNotInTheListingStaysInInDuringDelete) {
  server_->AddMessage("u1", "a\r\n");
  Spool("in", "stranger");
  EXPECT_EQ(DownloadSplitDelete(), 1);
  WaitForQuit();
  EXPECT_EQ(In(), std::vector<std::string>{"stranger"});
  EXPECT_EQ(Out(), std::vector<std::string>{"u1"});
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(DeletionTest, DownloadBrokenInsideAMessageDeletesNothing) {
  server_->AddMessage("u1", "Subject: 1\r\n\r\none\r\n");
  server_->AddMessage("u2", "Subject: 2\r\n\r\ntwo\r\n");
  server_->AddMessage("u3", "Subject: 3\r\n\r\nthree\r\n");
  server_->CloseInReply("RETR 2", 25);
  EXPECT_EQ(DownloadSplitDelete(), -1);
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_TRUE(Out().empty());
  EXPECT_EQ(server_->Uids(), (std::vector<std::string>{"u1", "u2", "u3"}));
  EXPECT_EQ(env_.EventMessages(),
            (std::vector<std::string>{" - GetPop - Socket closed by remote",
                                      " - DeleteFromPop - Socket closed by remote"}));
}

TEST_F(DeletionTest, TimedOutDownloadLeavesASessionWhoseNextSendFailsAtOnce) {
  server_->AddMessage("u1", "Subject: 1\r\n\r\none\r\n");
  server_->AddMessage("u2", "Subject: 2\r\n\r\ntwo\r\n");
  server_->StallInReply("RETR 2", 25);
  EXPECT_EQ(DownloadSplitDelete(), -1);
  ASSERT_EQ(env_.events.size(), 2u);
  EXPECT_EQ(env_.events[0].message, " - GetPop - Recv failed - select loop");
  EXPECT_EQ(env_.events[0].error_text, "Tallowmere error: 10060");
  EXPECT_EQ(env_.events[1].message, " - DeleteFromPop - Send failed");
  EXPECT_EQ(env_.journal.back(), "closesocket");
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  WaitForQuit();
  EXPECT_EQ(server_->Uids(), (std::vector<std::string>{"u1", "u2"}));
}

TEST_F(DeletionTest, NameAlreadyInOutKeepsTheFileInIn) {
  server_->AddMessage("u1", "new\r\n");
  Spool("out", "u1", "older\n.\n");
  EXPECT_EQ(DownloadSplitDelete(), 1);
  WaitForQuit();
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_EQ(testing_support::ReadFileBytes(spool_.out() / "u1"), "older\n.\n");
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(DeletionTest, RecoveryFlagIsNotSetInDelete) {
  server_->AddMessage("u1", "a\r\n");
  EXPECT_EQ(DownloadSplitDelete(), 1);
  EXPECT_EQ(RecoveryLoginDone, 0);
}

// --- Phase RECOVERY ---

class RecoveryTest : public DeletionTest {
 protected:
  void SetUp() override {
    DeletionTest::SetUp();
    CurrentPhase = "RECOVERY";
  }
};

TEST_F(RecoveryTest, FileNotInTheListingIsDeliveredAnyway) {
  server_->AddMessage("u1", "a\r\n");
  Spool("in", "gone-already");
  EXPECT_EQ(DeleteFromPop(), 1);
  WaitForQuit();
  EXPECT_EQ(RecoveryLoginDone, 1);
  EXPECT_TRUE(In().empty());
  EXPECT_EQ(Out(), std::vector<std::string>{"gone-already"});
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{kNotDeleted});
  EXPECT_EQ(Received(), "USER postmaster\r\nPASS secret\r\nUIDL\r\nQUIT\r\n");
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"u1"});
}

TEST_F(RecoveryTest, RefusedDeleIsDeliveredAnyway) {
  server_->AddMessage("u1", "a\r\n");
  server_->ReplaceReply("DELE 1", "-ERR locked\r\n");
  Spool("in", "u1");
  EXPECT_EQ(DeleteFromPop(), 1);
  EXPECT_EQ(Out(), std::vector<std::string>{"u1"});
  EXPECT_EQ(env_.EventMessages(), std::vector<std::string>{kNotDeleted});
}

TEST_F(RecoveryTest, NameMatchesAWholeIdentifierOnly) {
  server_->AddMessage("10", "ten\r\n");
  server_->AddMessage("1", "one\r\n");
  Spool("in", "1");
  EXPECT_EQ(DeleteFromPop(), 1);
  WaitForQuit();
  EXPECT_EQ(AfterLogin(), (std::vector<std::string>{"UIDL", "DELE 2", "QUIT"}));
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"10"});
  EXPECT_EQ(Out(), std::vector<std::string>{"1"});
}

TEST_F(RecoveryTest, FirstListingLineOfAnIdentifierCounts) {
  // Trailing white space is no part of an identifier; a line without a blank
  // names none.
  server_->ReplaceReply("UIDL", "+OK\r\n3 dup\r\n4 dup\r\ntail\r\n9 tail\t \r\n.\r\n");
  Spool("in", "dup");
  Spool("in", "tail");
  EXPECT_EQ(DeleteFromPop(), 1);
  WaitForQuit();
  std::vector<std::string> after = AfterLogin();
  ASSERT_EQ(after.size(), 4u);
  std::sort(after.begin() + 1, after.begin() + 3);  // the order of the directory
  EXPECT_EQ(after, (std::vector<std::string>{"UIDL", "DELE 3", "DELE 9", "QUIT"}));
}

TEST_F(RecoveryTest, SlashAndColonInIdentifiersMatchUnderscores) {
  server_->AddMessage("keep", "k\r\n");
  server_->AddMessage("a/b:c", "x\r\n");
  Spool("in", "a_b_c");
  EXPECT_EQ(DeleteFromPop(), 1);
  WaitForQuit();
  EXPECT_EQ(AfterLogin(), (std::vector<std::string>{"UIDL", "DELE 2", "QUIT"}));
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"keep"});
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(RecoveryTest, FlagIsSetEvenWhenTheLoginFails) {
  Spool("in", "u1");
  GatewaySettings.PassCommand = "PASS wrong\r\n";
  EXPECT_EQ(DeleteFromPop(), -1);
  EXPECT_EQ(RecoveryLoginDone, 1);
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
}

TEST_F(RecoveryTest, SecondListingFailureGoesStraightToQuit) {
  server_->AddMessage("u1", "a\r\n");
  Spool("in", "u1");
  env_.list_directory_successes = 1;
  EXPECT_EQ(DeleteFromPop(), 1);
  WaitForQuit();
  EXPECT_EQ(env_.EventMessages(),
            std::vector<std::string>{" - DeleteFromPop - Unable to get File Handle"});
  EXPECT_EQ(AfterLogin(), (std::vector<std::string>{"UIDL", "QUIT"}));
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_EQ(server_->Uids(), std::vector<std::string>{"u1"});
}

// --- Failures of the conversation ---

struct DeletionFailure {
  const char* name;
  void (*script)(Server&, GatewayTestEnv&);
  const char* message;
  bool closes_socket;
  bool quit_sent;
};

class DeletionFailureTest : public RecoveryTest,
                            public ::testing::WithParamInterface<DeletionFailure> {};

TEST_P(DeletionFailureTest, ReportsTheStepAndReturnsMinusOne) {
  const DeletionFailure& f = GetParam();
  server_->AddMessage("u1", "a\r\n");
  Spool("in", "u1");
  f.script(*server_, env_);
  EXPECT_EQ(DeleteFromPop(), -1);
  ASSERT_FALSE(env_.events.empty());
  EXPECT_EQ(env_.events.back().message, std::string(" - DeleteFromPop - ") + f.message);
  EXPECT_EQ(std::count(env_.journal.begin(), env_.journal.end(), "closesocket"),
            f.closes_socket ? 1 : 0);
  // An abandoned session ends without QUIT when the gateway's process does.
  if (!f.closes_socket) env_.CloseLeftOpen();
  WaitForQuit();
  EXPECT_EQ(server_->Uids(),
            f.quit_sent ? std::vector<std::string>{} : std::vector<std::string>{"u1"});
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DeletionFailureTest,
    ::testing::Values(
        DeletionFailure{"UidlSendError",
                        [](Server&, GatewayTestEnv& e) { e.send_results["UIDL\r\n"] = -1; },
                        "Send failed", true, false},
        DeletionFailure{"UidlSendsNothing",
                        [](Server&, GatewayTestEnv& e) { e.send_results["UIDL\r\n"] = 0; },
                        "Socket closed by remote", false, false},
        DeletionFailure{"ListingSilent", [](Server& s, GatewayTestEnv&) { s.StallInReply("UIDL", 4); },
                        "Recv failed - UIDL Loop", false, false},
        DeletionFailure{"ListingClosed", [](Server& s, GatewayTestEnv&) { s.CloseInReply("UIDL", 4); },
                        "Socket closed by remote", false, false},
        DeletionFailure{"ListingNegative",
                        [](Server& s, GatewayTestEnv&) { s.ReplaceReply("UIDL", "-ERR\r\n"); },
                        "Protocol Error - UIDL listing", false, false},
        DeletionFailure{"DeleSilent", [](Server& s, GatewayTestEnv&) { s.StallInReply("DELE 1"); },
                        "Recv failed - ACK DELE", true, false},
        DeletionFailure{"DeleClosed", [](Server& s, GatewayTestEnv&) { s.CloseInReply("DELE 1", 0); },
                        "Socket closed by remote", false, false},
        DeletionFailure{"QuitSendError",
                        [](Server&, GatewayTestEnv& e) { e.send_results["QUIT\r\n"] = -1; },
                        "Send failed - QUIT", true, false},
        DeletionFailure{"QuitSendsNothing",
                        [](Server&, GatewayTestEnv& e) { e.send_results["QUIT\r\n"] = 0; },
                        "Socket closed by remote", false, false},
        DeletionFailure{"CloseFails", [](Server&, GatewayTestEnv& e) { e.fail_close_socket = true; },
                        "Close Socket failed", true, true}),
    [](const ::testing::TestParamInfo<DeletionFailure>& info) { return info.param.name; });

// --- Durability before QUIT ---

// The journal's entries from the first of these on, up to the QUIT.
std::vector<std::string> BeforeQuit(const std::vector<std::string>& journal) {
  std::vector<std::string> tail;
  for (const std::string& entry : journal) {
    if (entry == "send QUIT\r\n") return tail;
    if (entry.starts_with("flush") || entry.starts_with("move ")) tail.push_back(entry);
  }
  ADD_FAILURE() << "no QUIT sent";
  return tail;
}

TEST_F(DeletionTest, BothDirectoriesAreFlushedBeforeQuitInDelete) {
  server_->AddMessage("u1", "a\r\n");
  EXPECT_EQ(DownloadSplitDelete(), 1);
  const std::string root = spool_.gateway_root();
  std::vector<std::string> journal = env_.journal;
  // Only what the deletion did: from its first move on.
  journal.erase(journal.begin(),
                std::find_if(journal.begin(), journal.end(),
                             [](const std::string& e) { return e.starts_with("move "); }));
  EXPECT_EQ(BeforeQuit(journal),
            (std::vector<std::string>{"move " + root + "\\in\\u1 " + root + "\\out\\u1",
                                      "flushdir " + root + "\\out",
                                      "flushdir " + root + "\\in"}));
}

TEST_F(RecoveryTest, BothDirectoriesAreFlushedBeforeQuit) {
  server_->AddMessage("u1", "a\r\n");
  Spool("in", "u1");
  Spool("in", "stranger");
  EXPECT_EQ(DeleteFromPop(), 1);
  const std::string root = spool_.gateway_root();
  std::vector<std::string> flushes;
  for (const std::string& e : BeforeQuit(env_.journal)) {
    if (!e.starts_with("move ")) flushes.push_back(e);
  }
  EXPECT_EQ(flushes, (std::vector<std::string>{"flushdir " + root + "\\out",
                                               "flushdir " + root + "\\in"}));
}

}  // namespace
}  // namespace pop3_testing
