// SendSMTP: which files of "out" are delivered, and what becomes of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"
#include "tests/delivery/smtp_client_fixture.h"

namespace {

using testing_support::DirectoryNames;
using testing_support::ReadFileBytes;
using testing_support::ScriptedSmtpServer;
using testing_support::SmtpAction;
using testing_support::SmtpClientEnv;
using testing_support::SmtpScript;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Message(const std::string& to) { return "To: " + to + "\n\nbody\n.\n"; }

class SendSmtpTest : public SmtpClientTest {
 protected:
  std::vector<std::string> Names(const std::string& dir) const {
    return DirectoryNames(root_.spool() / dir);
  }
};

TEST_F(SendSmtpTest, AnEmptyOutDirectoryMakesNoConnectionAndNoEntry) {
  Serve();
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_EQ(env_.calls(SmtpClientEnv::Call::kCreateSocket), 0);
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(SendSmtpTest, AMissingOutDirectoryIsOneEntry) {
  std::filesystem::remove_all(root_.spool() / "out");
  EXPECT_EQ(SendSMTP(), 1);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].type, platform::kEventlogErrorType);
  EXPECT_EQ(env_.events()[0].message, " - SendSMTP - Unable to get File Handle");
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 3");
}

TEST_F(SendSmtpTest, DotFilesAreNeverDeliveredNorRemoved) {
  ScriptedSmtpServer& server = Serve();
  Write("out", ".hidden", Message("ann@example.com"));
  Write("out", "m1", Message("bob@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_EQ(server.AcceptedMessages(), 1);
  EXPECT_THAT(server.Transcript(0), ::testing::HasSubstr("RCPT TO: BOB@EXAMPLE.COM\n"));
  EXPECT_THAT(Names("out"), ElementsAre(".hidden"));
  EXPECT_EQ(ReadFileBytes(root_.spool() / "out" / ".hidden"), Message("ann@example.com"));
}

TEST_F(SendSmtpTest, TheLogLevelChoosesBetweenDeletingAndArchiving) {
  struct Case {
    int loglevel;
    bool archived;
  };
  Serve();
  for (const Case& c : std::vector<Case>{{-1, false}, {0, false}, {1, false}, {2, true},
                                         {3, true}, {7, true}}) {
    SCOPED_TRACE(c.loglevel);
    GatewaySettings.loglevel = c.loglevel;
    const std::string name = "m" + std::to_string(c.loglevel);
    Write("out", name, Message("ann@example.com"));
    EXPECT_EQ(SendSMTP(), 1);
    EXPECT_THAT(Names("out"), IsEmpty());
    if (c.archived) {
      EXPECT_EQ(ReadFileBytes(root_.spool() / "Archive" / name), Message("ann@example.com"));
    } else {
      EXPECT_FALSE(std::filesystem::exists(root_.spool() / "Archive" / name));
    }
  }
  EXPECT_EQ(server_->AcceptedMessages(), 6);
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(SendSmtpTest, AnArchiveNameClashGetsTheSuffixOfTheRun) {
  Serve();
  GatewaySettings.loglevel = 2;
  Write("Archive", "m1", "older one\n");
  Write("Archive", "m2", "older two\n");
  Write("out", "m1", Message("ann@example.com"));
  Write("out", "m2", Message("bob@example.com"));
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(SendSMTP(), 1);
  const std::time_t after = std::time(nullptr);

  EXPECT_THAT(Names("out"), IsEmpty());
  EXPECT_EQ(ReadFileBytes(root_.spool() / "Archive" / "m1"), "older one\n");
  EXPECT_EQ(ReadFileBytes(root_.spool() / "Archive" / "m2"), "older two\n");
  // One draw of the C library's generator, seeded with the time of the run.
  std::vector<std::string> suffixes;
  for (std::time_t t = before; t <= after; ++t) {
    std::srand(static_cast<unsigned>(t));
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "  %3d", std::rand() % 32768);
    suffixes.push_back(suffix);
  }
  const std::vector<std::string> names = Names("Archive");
  ASSERT_EQ(names.size(), 4u);
  const std::string suffix = names[1].substr(2);  // sorted: m1, m1<suffix>, m2, m2<suffix>
  EXPECT_THAT(names, ElementsAre("m1", "m1" + suffix, "m2", "m2" + suffix));
  EXPECT_THAT(suffixes, ::testing::Contains(suffix));
  EXPECT_GE(suffix.size(), 5u);
  EXPECT_LE(suffix.size(), 7u);
  EXPECT_EQ(ReadFileBytes(root_.spool() / "Archive" / ("m1" + suffix)), Message("ann@example.com"));
}

TEST_F(SendSmtpTest, AFailedDeliveryLeavesTheFileUnderItsName) {
  ScriptedSmtpServer& server = Serve(
      SmtpScript().OnLine("RCPT TO: GONE@EXAMPLE.COM", SmtpAction::Reply("550 No such user\r\n")));
  Write("out", "good", Message("ann@example.com"));
  Write("out", "bad", Message("gone@example.com"));
  GatewaySettings.loglevel = 3;
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_THAT(Names("out"), ElementsAre("bad"));
  EXPECT_EQ(ReadFileBytes(root_.spool() / "out" / "bad"), Message("gone@example.com"));
  EXPECT_THAT(Names("Archive"), ElementsAre("good"));
  EXPECT_EQ(server.AcceptedMessages(), 1);
  // SendMail's own entry, none of the run's.
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Bad To:"));
}

TEST_F(SendSmtpTest, AFailedDeliveryIsTriedAgainByTheNextRun) {
  Write("out", "m1", Message("ann@example.com"));
  {
    Serve(SmtpScript().On("DATA", SmtpAction::Reply("451 Try again later\r\n")));
    EXPECT_EQ(SendSMTP(), 1);
    EXPECT_THAT(Names("out"), ElementsAre("m1"));
  }
  ScriptedSmtpServer& server = Serve();
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_THAT(Names("out"), IsEmpty());
  EXPECT_EQ(server.AcceptedMessages(), 1);
}

TEST_F(SendSmtpTest, NamesAreTrimmedBeforeTheyAreHandedOn) {
  // " m1 " is handed on as "m1", which does not exist: the delivery fails
  // before any connection and the file stays where it is.
  Serve();
  Write("out", " m1 ", Message("ann@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_THAT(Names("out"), ElementsAre(" m1 "));
  EXPECT_THAT(env_.messages(), ElementsAre(" - SendMail - Unable to open message file"));
  EXPECT_EQ(env_.calls(SmtpClientEnv::Call::kCreateSocket), 0);
}

TEST_F(SendSmtpTest, EveryFileIsDeliveredOverAConnectionOfItsOwn) {
  ScriptedSmtpServer& server = Serve();
  for (int i = 0; i < 5; ++i) Write("out", "m" + std::to_string(i), Message("ann@example.com"));
  EXPECT_EQ(SendSMTP(), 1);
  EXPECT_EQ(server.ConnectionCount(), 5);
  EXPECT_EQ(server.AcceptedMessages(), 5);
  for (const std::string& transcript : server.Transcripts()) {
    EXPECT_THAT(transcript, ::testing::StartsWith("HELO ZUL\n"));
    EXPECT_THAT(transcript, ::testing::EndsWith("\n.\n\nQUIT\r\n"));
  }
  EXPECT_THAT(Names("out"), IsEmpty());
}

// --- End to end: the real gateway under a fast clock, both servers scripted ---

constexpr int kRunLimitMs = 60000;

class GatewayRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = platform::testing::FreshLoopbackAddress({110, 25});
    pop3_ = std::make_unique<testing_support::ScriptedPop3Server>(address_, "site", "secret");
    ASSERT_TRUE(pop3_->listening());
    smtp_ = std::make_unique<ScriptedSmtpServer>(address_, SmtpScript());
    root_.MakeSpool();
  }

  platform::testing::ProcessResult Run(const std::string& loglevel) const {
    root_.WriteDefaultSettings(address_, address_, loglevel);
    std::vector<std::string> environment = testing_support::FastClockEnvironment();
    environment.push_back(root_.EnvironmentEntry());
    return platform::testing::RunProcess({std::string(TALLOWMERE_BIN_DIR) + "/quillon"},
                                         environment, kRunLimitMs);
  }
  static void ExpectExitZero(const platform::testing::ProcessResult& result) {
    ASSERT_TRUE(result.exited) << "signal " << result.signal
                               << (result.timed_out ? " (timed out)" : "");
    EXPECT_EQ(result.exit_code, 0);
  }
  // The delivery conversations (sorted) apart from the keep-alive one,
  // which is the only one whose HELO ends with CR LF.
  std::vector<std::string> Deliveries() const {
    std::vector<std::string> deliveries;
    for (const std::string& transcript : smtp_->Transcripts()) {
      if (!transcript.starts_with("HELO ZUL\r\n")) deliveries.push_back(transcript);
    }
    std::sort(deliveries.begin(), deliveries.end());
    return deliveries;
  }
  static std::string Delivery(const std::string& sender, const std::string& recipient,
                              const std::string& spool_file) {
    return "HELO ZUL\nMAIL FROM: " + sender + "\nRCPT TO: " + recipient + "\nDATA\n" +
           spool_file + "\nQUIT\r\n";
  }

  testing_support::MachineRoot root_;
  std::string address_;
  std::unique_ptr<testing_support::ScriptedPop3Server> pop3_;
  std::unique_ptr<ScriptedSmtpServer> smtp_;
};

TEST_F(GatewayRunTest, AMailboxOfThreeMessagesArrivesWithTheseBytes) {
  pop3_->AddMessage("u1", "From: Anna <anna@foreign.org>\r\nTo: ann@example.com\r\n"
                          "Subject: one\r\n\r\nfirst\r\n.a leading dot\r\n");
  pop3_->AddMessage("u2", "From: bob@foreign.org (Bob)\r\nTo: bob@example.com, x@foreign.org\r\n"
                          "Cc: carl@example.com\r\n\r\nsecond\r\n");
  pop3_->AddMessage("u3", "From: nobody\r\nTo: someone@foreign.org\r\n\r\nthird\r\n");

  ExpectExitZero(Run("2"));

  // The keep-alive connection came first: HELO, NOOPs, QUIT.
  const std::vector<std::string> transcripts = smtp_->Transcripts();
  ASSERT_EQ(transcripts.size(), 4u);
  const std::string& keep_alive = transcripts[0];
  EXPECT_THAT(keep_alive, ::testing::StartsWith("HELO ZUL\r\nNOOP\r\n"));
  EXPECT_THAT(keep_alive, ::testing::EndsWith("NOOP\r\nQUIT\r\n"));
  EXPECT_THAT(keep_alive, ::testing::MatchesRegex("HELO ZUL\r\n(NOOP\r\n)+QUIT\r\n"));
  EXPECT_THAT(Deliveries(),
              ElementsAre(Delivery("ANNA@FOREIGN.ORG", "ANN@EXAMPLE.COM",
                                   "From: Anna <anna@foreign.org>\nTo: ann@example.com\n"
                                   "Subject: one\n\nfirst\n..a leading dot\n.\n"),
                          "HELO ZUL\nMAIL FROM: BOB@FOREIGN.ORG\nRCPT TO: BOB@EXAMPLE.COM\n"
                          "RCPT TO: CARL@EXAMPLE.COM\nDATA\n"
                          "From: bob@foreign.org (Bob)\nTo: bob@example.com, x@foreign.org\n"
                          "Cc: carl@example.com\n\nsecond\n.\n\nQUIT\r\n",
                          Delivery("QUILLON", "UNDELIVERABLE@EXAMPLE.COM",
                                   "From: nobody\nTo: someone@foreign.org\n\nthird\n.\n")));
  // Download, deletion at the provider, then delivery: only a message
  // deleted there reaches "out", and only "out" is delivered.
  const std::vector<std::string> commands = pop3_->Commands();
  ASSERT_GE(commands.size(), 4u);
  // (in the order in which "in" lists the files)
  EXPECT_THAT(std::vector<std::string>(commands.end() - 4, commands.end() - 1),
              ::testing::UnorderedElementsAre("DELE 1", "DELE 2", "DELE 3"));
  EXPECT_EQ(commands.back(), "QUIT");
  EXPECT_THAT(pop3_->Uids(), IsEmpty());
  EXPECT_THAT(DirectoryNames(root_.spool() / "in"), IsEmpty());
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), IsEmpty());
  EXPECT_THAT(DirectoryNames(root_.spool() / "Archive"), ElementsAre("u1", "u2", "u3"));
  EXPECT_THAT(root_.EventMessages(), IsEmpty());
}

TEST_F(GatewayRunTest, DeliveredFilesAreDeletedBelowLevelTwo) {
  pop3_->AddMessage("u1", "To: ann@example.com\r\n\r\nfirst\r\n");
  ExpectExitZero(Run("1"));
  EXPECT_EQ(smtp_->AcceptedMessages(), 1);
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), IsEmpty());
  EXPECT_THAT(DirectoryNames(root_.spool() / "Archive"), IsEmpty());
}

TEST_F(GatewayRunTest, WorkLeftByAnInterruptedRunIsDeliveredInRecovery) {
  // "in": split, not yet deleted at the provider; "out": deleted, not yet delivered.
  pop3_->AddMessage("u-in", "To: ann@example.com\r\n\r\nleft in\r\n");
  testing_support::WriteFileBytes(root_.spool() / "in" / "u-in",
                                  "To: ann@example.com\n\nleft in\n.\n");
  testing_support::WriteFileBytes(root_.spool() / "out" / "u-out",
                                  "To: bob@example.com\n\nleft out\n.\n");

  ExpectExitZero(Run("1"));

  EXPECT_THAT(Deliveries(),
              ElementsAre(Delivery("QUILLON", "ANN@EXAMPLE.COM", "To: ann@example.com\n\nleft in\n.\n"),
                          Delivery("QUILLON", "BOB@EXAMPLE.COM", "To: bob@example.com\n\nleft out\n.\n")));
  // Both went out before the keep-alive thread started: it is the last connection.
  const std::vector<std::string> transcripts = smtp_->Transcripts();
  ASSERT_EQ(transcripts.size(), 3u);
  EXPECT_THAT(transcripts[2], ::testing::StartsWith("HELO ZUL\r\n"));
  EXPECT_THAT(pop3_->Uids(), IsEmpty());
  EXPECT_THAT(DirectoryNames(root_.spool() / "in"), IsEmpty());
  EXPECT_THAT(DirectoryNames(root_.spool() / "out"), IsEmpty());
}

}  // namespace
