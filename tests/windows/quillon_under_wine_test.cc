// The Windows gateway, Quillon.exe as cross-compiled into build-win, run
// under Wine against the scripted servers: the Win32 backend's registry,
// named semaphore, files, sockets and event log in one whole run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_support.h"
#include "tests/crash/test_mailbox.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"
#include "tests/support/small_disk.h"
#include "tests/windows/wine.h"

namespace {

using testing_support::DirectoryNames;
using testing_support::EventStrings;
using testing_support::OnPath;
using testing_support::QuillonExe;
using testing_support::ReadFileBytes;
using testing_support::Wine;
using testing_support::WindowsPath;

// A provider holding two messages, a local server whose keep-alive ends at
// its first NOOP (so that a run need not wait out the 50-second pause), and
// a Wine prefix whose registry holds settings pointing at them.
class QuillonUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("wine") || !std::filesystem::exists(QuillonExe())) {
      GTEST_SKIP() << "needs wine and " << QuillonExe();
    }
    pop_ = platform::testing::FreshLoopbackAddress({110});
    provider_.emplace(pop_, "site", "secret");
    ASSERT_TRUE(provider_->listening());
    provider_->AddMessage("<1@x>", "From: a@example.org\r\nTo: u@example.com\r\n\r\nfirst\r\n");
    provider_->AddMessage("two:2",
                          "From: b@example.org\r\nCc: v@example.com, w@foreign.org\r\n\r\n.dot\r\n");
    const std::string smtp = platform::testing::FreshLoopbackAddress({25});
    exchange_.emplace(smtp, testing_support::SmtpScript().On(
                                "NOOP", testing_support::SmtpAction::Reply("502 no\r\n")));

    root_.MakeSpool();
    root_.WriteSettings({{"localdomain", "example.com"},
                         {"localserver", smtp},
                         {"popserver", pop_},
                         {"popname", "site"},
                         {"poppass", "secret"},
                         {"installdir", WindowsPath(root_.path())},
                         {"exchangedir", WindowsPath(root_.exchangedir())},
                         {"loglevel", "2"}});
    wine_.emplace(root_.path() / "wineprefix");
    ASSERT_TRUE(ImportSettings());
  }

  // Imports the settings file into the prefix's registry.
  ::testing::AssertionResult ImportSettings() const {
    const platform::testing::ProcessResult imported =
        wine_->Run({"regedit", "/S", WindowsPath(root_.path() / "registry.reg")}, Log());
    if (imported.exited && imported.exit_code == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << ReadFileBytes(Log());
  }
  // One more value in the settings key, imported.
  ::testing::AssertionResult AddSetting(const std::string& name, const std::string& value) const {
    root_.AddSetting(name, value);
    return ImportSettings();
  }

  std::filesystem::path Log(const std::string& name = "wine.log") const { return root_.path() / name; }

  testing_support::MachineRoot root_;
  std::string pop_;  // the provider's address
  std::optional<testing_support::ScriptedPop3Server> provider_;
  std::optional<testing_support::ScriptedSmtpServer> exchange_;
  std::optional<Wine> wine_;
};

TEST_F(QuillonUnderWineTest, WholeRunDeliversArchivesAndEmptiesTheMailbox) {
  const platform::testing::ProcessResult run = wine_->Run({QuillonExe().string()}, Log());
  ASSERT_TRUE(run.exited) << (run.timed_out ? "timed out" : "killed");
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_TRUE(provider_->WaitUntilIdle(5000));
  EXPECT_TRUE(provider_->Uids().empty());
  EXPECT_EQ(provider_->Sessions(), 1);

  // The keep-alive's connection, then one per message.
  std::vector<std::string> transcripts = exchange_->Transcripts();
  ASSERT_EQ(transcripts.size(), 3u);
  EXPECT_EQ(transcripts[0], "HELO ZUL\r\nNOOP\r\n");
  std::sort(transcripts.begin() + 1, transcripts.end());
  EXPECT_EQ(transcripts[1],
            "HELO ZUL\nMAIL FROM: A@EXAMPLE.ORG\nRCPT TO: U@EXAMPLE.COM\nDATA\n"
            "From: a@example.org\nTo: u@example.com\n\nfirst\n.\n\nQUIT\r\n");
  EXPECT_EQ(transcripts[2],
            "HELO ZUL\nMAIL FROM: B@EXAMPLE.ORG\nRCPT TO: V@EXAMPLE.COM\nDATA\n"
            "From: b@example.org\nCc: v@example.com, w@foreign.org\n\n..dot\n.\n\nQUIT\r\n");

  EXPECT_TRUE(DirectoryNames(root_.spool() / "in").empty());
  EXPECT_TRUE(DirectoryNames(root_.spool() / "out").empty());
  EXPECT_EQ(DirectoryNames(root_.spool() / "Archive"), (std::vector<std::string>{"_1@x_", "two_2"}));
  EXPECT_EQ(ReadFileBytes(root_.spool() / "Archive" / "two_2"),
            "From: b@example.org\nCc: v@example.com, w@foreign.org\n\n..dot\n.\n");
  EXPECT_EQ(ReadFileBytes(root_.spool() / "statlog.txt"),
            "There were 2 messages waiting this session\n");

  // The one entry: the keep-alive's refused NOOP.
  EXPECT_EQ(EventStrings(Log()),
            (std::vector<std::string>{"Tallowmere error: 0", " - KeepAlive - Unable to NOOP"}));
}

TEST_F(QuillonUnderWineTest, StandardSmtpModeDeliversBothMessagesOverOneConnection) {
  ASSERT_TRUE(AddSetting("smtpmode", "standard"));

  const platform::testing::ProcessResult run = wine_->Run({QuillonExe().string()}, Log());
  ASSERT_TRUE(run.exited) << (run.timed_out ? "timed out" : "killed");
  EXPECT_EQ(run.exit_code, 0);
  // The keep-alive's connection, then one for both messages, in the order
  // of the listing of "out".
  const std::vector<std::string> transcripts = exchange_->Transcripts();
  ASSERT_EQ(transcripts.size(), 2u);
  EXPECT_EQ(transcripts[0], "HELO ZUL\r\nNOOP\r\n");
  const std::string a =
      "MAIL FROM:<A@EXAMPLE.ORG>\r\nRCPT TO:<U@EXAMPLE.COM>\r\nDATA\r\n"
      "From: a@example.org\r\nTo: u@example.com\r\n\r\nfirst\r\n.\r\n";
  const std::string b =
      "MAIL FROM:<B@EXAMPLE.ORG>\r\nRCPT TO:<V@EXAMPLE.COM>\r\nDATA\r\n"
      "From: b@example.org\r\nCc: v@example.com, w@foreign.org\r\n\r\n..dot\r\n.\r\n";
  EXPECT_THAT(transcripts[1], ::testing::AnyOf("HELO ZUL\r\n" + a + b + "QUIT\r\n",
                                               "HELO ZUL\r\n" + b + a + "QUIT\r\n"));
  EXPECT_TRUE(DirectoryNames(root_.spool() / "out").empty());
  EXPECT_EQ(DirectoryNames(root_.spool() / "Archive"), (std::vector<std::string>{"_1@x_", "two_2"}));
  EXPECT_EQ(EventStrings(Log()),
            (std::vector<std::string>{"Tallowmere error: 0", " - KeepAlive - Unable to NOOP"}));
}

// Without "Archive" a delivered file cannot be kept at log level 2: it is
// deleted with an entry, and the next run does not deliver it again.
TEST_F(QuillonUnderWineTest, MissingArchiveDeletesDeliveredFilesWithAnEntry) {
  std::filesystem::remove_all(root_.spool() / "Archive");
  for (const char* log : {"first.log", "second.log"}) {
    const platform::testing::ProcessResult run = wine_->Run({QuillonExe().string()}, Log(log));
    ASSERT_TRUE(run.exited) << (run.timed_out ? "timed out" : "killed");
    EXPECT_EQ(run.exit_code, 0);
  }
  // Each run's keep-alive connection, and one per message of the first.
  const std::vector<std::string> transcripts = exchange_->Transcripts();
  EXPECT_EQ(transcripts.size(), 4u);
  int deliveries = 0;
  for (const std::string& t : transcripts) deliveries += t.find("\nDATA\n") != std::string::npos;
  EXPECT_EQ(deliveries, 2);
  EXPECT_TRUE(DirectoryNames(root_.spool() / "out").empty());
  std::vector<std::string> first = EventStrings(Log("first.log"));
  std::vector<std::string> archive_entries;
  for (std::size_t i = 1; i < first.size(); i += 2) {
    if (first[i].find("Archive") != std::string::npos || first[i].find("archive") != std::string::npos) {
      archive_entries.push_back(first[i - 1] + " |" + first[i]);
    }
  }
  std::sort(archive_entries.begin(), archive_entries.end());
  EXPECT_EQ(archive_entries,
            (std::vector<std::string>{
                "Tallowmere error: 3 | - SendSMTP - Unable to archive delivered file - deleted - _1@x_",
                "Tallowmere error: 3 | - SendSMTP - Unable to archive delivered file - deleted - two_2"}));
}

// A local server that answers NOOP: the keep-alive's 50-second pause is
// under way when the run's work is done, and the run's stop ends it: QUIT
// follows without another NOOP, and the run does not wait out the pause.
TEST_F(QuillonUnderWineTest, TheRunEndsWithItsWorkNotWithTheKeepAlivePause) {
  const std::string smtp = exchange_->address();
  exchange_.reset();
  exchange_.emplace(smtp, testing_support::SmtpScript());
  const auto start = std::chrono::steady_clock::now();
  const platform::testing::ProcessResult run = wine_->Run({QuillonExe().string()}, Log());
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(run.exited) << (run.timed_out ? "timed out" : "killed");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_LT(took, std::chrono::seconds(45)) << "the run waited for the keep-alive's pause";
  const std::vector<std::string> transcripts = exchange_->Transcripts();
  ASSERT_EQ(transcripts.size(), 3u);
  EXPECT_EQ(transcripts[0], "HELO ZUL\r\nNOOP\r\nQUIT\r\n");
  EXPECT_TRUE(EventStrings(Log()).empty());
}

// With envelopeheader, the copy that the provider stored for a Bcc recipient
// goes to that recipient alone; the two messages without the field go by
// their headers, each with its entry.
TEST_F(QuillonUnderWineTest, TheProvidersEnvelopeFieldSendsABccCopyToItsRecipientOnly) {
  provider_->AddMessage("3", "X-Original-To: bcc@example.com\r\nFrom: c@example.org\r\n"
                             "To: u@example.com, v@example.com\r\n\r\nfor bcc\r\n");
  ASSERT_TRUE(AddSetting("envelopeheader", "x-original-to"));

  const platform::testing::ProcessResult run = wine_->Run({QuillonExe().string()}, Log());
  ASSERT_TRUE(run.exited) << (run.timed_out ? "timed out" : "killed");
  EXPECT_EQ(run.exit_code, 0);
  std::vector<std::string> transcripts = exchange_->Transcripts();
  ASSERT_EQ(transcripts.size(), 4u);
  std::sort(transcripts.begin() + 1, transcripts.end());
  EXPECT_EQ(transcripts[1],
            "HELO ZUL\nMAIL FROM: A@EXAMPLE.ORG\nRCPT TO: U@EXAMPLE.COM\nDATA\n"
            "From: a@example.org\nTo: u@example.com\n\nfirst\n.\n\nQUIT\r\n");
  EXPECT_THAT(transcripts[2], ::testing::StartsWith(
                                  "HELO ZUL\nMAIL FROM: B@EXAMPLE.ORG\nRCPT TO: V@EXAMPLE.COM\nDATA\n"));
  EXPECT_EQ(transcripts[3],
            "HELO ZUL\nMAIL FROM: C@EXAMPLE.ORG\nRCPT TO: BCC@EXAMPLE.COM\nDATA\n"
            "X-Original-To: bcc@example.com\nFrom: c@example.org\n"
            "To: u@example.com, v@example.com\n\nfor bcc\n.\n\nQUIT\r\n");
  EXPECT_TRUE(DirectoryNames(root_.spool() / "out").empty());

  // The keep-alive's refused NOOP, and one entry for each file without the
  // field, in the order of the listing of "out".
  std::vector<std::string> entries = EventStrings(Log());
  ASSERT_EQ(entries.size(), 6u);
  std::vector<std::string> messages = {entries[1], entries[3], entries[5]};
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages, (std::vector<std::string>{" - KeepAlive - Unable to NOOP",
                                                " - SendMail - No envelope header - _1@x_",
                                                " - SendMail - No envelope header - two_2"}));
}

TEST_F(QuillonUnderWineTest, SecondInstanceLeavesWhileTheFirstHoldsTheLock) {
  // The first run waits at the provider's silent greeting, holding the lock.
  provider_->StallInReply(testing_support::ScriptedPop3Server::kGreeting);
  std::unique_ptr<platform::testing::ChildProcess> first = wine_->Start({QuillonExe().string()}, Log("first.log"));
  ASSERT_NE(first, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (provider_->Sessions() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(provider_->Sessions(), 1);

  const platform::testing::ProcessResult second = wine_->Run({QuillonExe().string()}, Log());
  ASSERT_TRUE(second.exited);
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_EQ(EventStrings(Log()),
            (std::vector<std::string>{"Tallowmere error: 183",
                                      " - main - Another instance of Tallowmere is running - Exiting.."}));
  EXPECT_EQ(provider_->Sessions(), 1);
  EXPECT_EQ(provider_->Uids().size(), 2u);
  first->Kill();
}

// A spool disk too small for the mailbox: a tmpfs on exchangedir in a
// private mount namespace (the tests run as root), with a wineserver of its
// own, which opens the files. Windows' ERROR_DISK_FULL reaches the entry;
// nothing is lost or delivered cut short, and a run with room delivers the
// rest, each message once.
class FullDiskUnderWineTest : public QuillonUnderWineTest,
                              public ::testing::WithParamInterface<const char*> {
 protected:
  static constexpr int kMessages = 6;  // of about 300 KB each

  void SetUp() override {
    QuillonUnderWineTest::SetUp();
    if (IsSkipped()) return;
    if (!testing_support::PrivateMountsAvailable()) GTEST_SKIP() << "no private mount namespace here";
    // A provider holding only the large messages.
    provider_.reset();
    provider_.emplace(pop_, "site", "secret");
    mailbox_ = crash_testing::MakeMailbox(kMessages, 4800);
    for (const crash_testing::TestMessage& message : mailbox_) {
      provider_->AddMessage(message.uid, message.content);
    }
  }

  // One run over a tmpfs of this size.
  platform::testing::ProcessResult RunOnSmallDisk(const std::string& size) {
    EXPECT_TRUE(wine_->WaitIdle());  // no wineserver outside the namespace
    return testing_support::RunOverSmallDisk(
        root_.exchangedir(), size,
        // The run's exit code, once its wineserver has ended too.
        wine_->Command({QuillonExe().string()}, Log()) + "; code=$?; wineserver -w; (exit $code)",
        wine_->Environment(), testing_support::kWineLimitMs);
  }

  // What the runs delivered, once the provider has carried out the last
  // QUIT (the run does not wait for its reply).
  crash_testing::Deliveries Delivered() const {
    EXPECT_TRUE(provider_->WaitUntilIdle(10000));
    return crash_testing::FindDeliveries(mailbox_, exchange_->Transcripts());
  }

  std::vector<crash_testing::TestMessage> mailbox_;
};

TEST_P(FullDiskUnderWineTest, KeepsTheRestAtTheProviderForTheNextRun) {
  const platform::testing::ProcessResult full = RunOnSmallDisk(GetParam());
  ASSERT_TRUE(full.exited) << (full.timed_out ? "timed out" : "killed");
  ASSERT_FALSE(testing_support::SmallDiskNotSetUp(full)) << "the tmpfs could not be set up";
  // The entries but the keep-alive's (the fixture's server refuses NOOP).
  std::vector<std::string> strings;
  const std::vector<std::string> logged = EventStrings(Log());
  for (std::size_t i = 0; i + 1 < logged.size(); i += 2) {
    if (logged[i + 1].starts_with(" - KeepAlive - ")) continue;
    strings.insert(strings.end(), {logged[i], logged[i + 1]});
  }
  ASSERT_EQ(strings.size(), 2u) << ::testing::PrintToString(logged);
  EXPECT_EQ(strings[0], "Tallowmere error: 112");
  const crash_testing::Deliveries first = Delivered();
  EXPECT_TRUE(first.altered.empty()) << "delivered cut short";
  EXPECT_EQ(first.duplicates(), 0);
  if (std::string(GetParam()) == "600k") {
    EXPECT_EQ(full.exit_code, 255);
    EXPECT_EQ(strings[1], " - GetPop - Write failed - popout.txt");
    EXPECT_EQ(first.total(), 0);
  } else {
    EXPECT_EQ(full.exit_code, 0);
    EXPECT_TRUE(strings[1].starts_with(" - ParseMsgs - Write failed - spool file ")) << strings[1];
    EXPECT_LT(first.total(), kMessages);
  }
  // What was not delivered is still at the provider.
  EXPECT_EQ(first.total() + static_cast<int>(provider_->Uids().size()), kMessages);
  EXPECT_TRUE(DirectoryNames(root_.spool() / "in").empty());

  const platform::testing::ProcessResult roomy = wine_->Run({QuillonExe().string()}, Log("roomy.log"));
  ASSERT_TRUE(roomy.exited);
  EXPECT_EQ(roomy.exit_code, 0);
  const crash_testing::Deliveries both = Delivered();
  EXPECT_TRUE(crash_testing::EachDeliveredOnce(both, kMessages));
  EXPECT_TRUE(provider_->Uids().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, FullDiskUnderWineTest, ::testing::Values("600k", "2500k"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
