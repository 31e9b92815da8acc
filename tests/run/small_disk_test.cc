// The real gateway over a spool file system that is too small for the
// mailbox (a tmpfs in a private mount namespace; the tests run as root):
// nothing is lost, nothing is delivered cut short, and once the file system
// has room again the next run delivers the rest, each message once.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/crash/test_mailbox.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"
#include "tests/support/small_disk.h"

namespace {

using crash_testing::TestMessage;
using testing_support::WriteFileBytes;

constexpr int kRunLimitMs = 90000;
constexpr int kMessages = 6;
constexpr int kBodyLines = 4800;  // about 300 KB a message

class SmallDiskTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!testing_support::PrivateMountsAvailable()) {
      GTEST_SKIP() << "no private mount namespace here (the tests need root)";
    }
    mailbox_ = crash_testing::MakeMailbox(kMessages, kBodyLines);
    const std::string pop = platform::testing::FreshLoopbackAddress({110});
    const std::string smtp = platform::testing::FreshLoopbackAddress({25});
    pop3_ = std::make_unique<testing_support::ScriptedPop3Server>(pop, "site", "secret");
    for (const TestMessage& message : mailbox_) pop3_->AddMessage(message.uid, message.content);
    smtp_ = std::make_unique<testing_support::ScriptedSmtpServer>(smtp, testing_support::SmtpScript());
    root_.MakeSpool();
    std::filesystem::create_directories(root_.path() / "install");
    WriteFileBytes(root_.path() / "install" / "maillist.txt", "u@example.com\n");
    root_.WriteDefaultSettings(pop, smtp);
  }

  // One run; with a size, over a tmpfs of that size mounted on exchangedir
  // for the run alone, its contents carried in before and out after.
  platform::testing::ProcessResult Run(const std::string& size) {
    std::vector<std::string> environment = testing_support::FastClockEnvironment();
    environment.push_back(root_.EnvironmentEntry());
    const std::string quillon = std::string(TALLOWMERE_BIN_DIR) + "/quillon";
    const platform::testing::ProcessResult result =
        size.empty() ? platform::testing::RunProcess({quillon}, environment, kRunLimitMs)
                     : testing_support::RunOverSmallDisk(root_.exchangedir(), size,
                                                         testing_support::ShellQuoted(quillon),
                                                         environment, kRunLimitMs);
    // The run does not wait for QUIT's reply: the server may still be
    // carrying out the deletions.
    EXPECT_TRUE(pop3_->WaitUntilIdle(kRunLimitMs));
    return result;
  }

  crash_testing::Deliveries Delivered() const {
    return crash_testing::FindDeliveries(mailbox_, smtp_->Transcripts());
  }

  std::vector<TestMessage> mailbox_;
  std::unique_ptr<testing_support::ScriptedPop3Server> pop3_;
  std::unique_ptr<testing_support::ScriptedSmtpServer> smtp_;
  testing_support::MachineRoot root_;
};

TEST_P(SmallDiskTest, FullSpoolKeepsTheRestAtTheProviderForTheNextRun) {
  const std::string size = GetParam();
  const platform::testing::ProcessResult full = Run(size);
  ASSERT_TRUE(full.exited) << "signal " << full.signal << (full.timed_out ? " (timed out)" : "");
  ASSERT_FALSE(testing_support::SmallDiskNotSetUp(full)) << "the tmpfs could not be set up";

  const crash_testing::Deliveries first = Delivered();
  EXPECT_TRUE(first.altered.empty()) << "delivered cut short";
  EXPECT_EQ(first.duplicates(), 0);
  // What was not delivered is still at the provider, and "in" holds nothing.
  EXPECT_EQ(first.total() + static_cast<int>(pop3_->Uids().size()), kMessages);
  EXPECT_TRUE(testing_support::DirectoryNames(root_.spool() / "in").empty());
  std::vector<std::string> errors;
  for (const testing_support::LoggedEvent& e : root_.Events()) {
    if (e.type == "error") errors.push_back(e.strings.at(0) + " |" + e.message());
  }
  ASSERT_EQ(errors.size(), 1u);
  if (size == "600k") {
    EXPECT_EQ(full.exit_code, 255);
    EXPECT_EQ(first.total(), 0);
    EXPECT_EQ(errors[0], "Tallowmere error: 112 | - GetPop - Write failed - popout.txt");
  } else {
    EXPECT_EQ(full.exit_code, 0);
    EXPECT_GE(first.total(), 1);
    EXPECT_LT(first.total(), kMessages);
    EXPECT_EQ(errors[0].substr(0, 58),
              "Tallowmere error: 112 | - ParseMsgs - Write failed - spool")
        << errors[0];
  }

  const platform::testing::ProcessResult roomy = Run("");
  ASSERT_TRUE(roomy.exited);
  EXPECT_EQ(roomy.exit_code, 0);
  const crash_testing::Deliveries both = Delivered();
  EXPECT_TRUE(crash_testing::EachDeliveredOnce(both, kMessages));
  EXPECT_TRUE(pop3_->Uids().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, SmallDiskTest, ::testing::Values("600k", "2500k"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
