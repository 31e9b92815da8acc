// Whole runs of the gateway over a spool disk that fails: the n-th write,
// close or flush of the run, or every one of them. Whatever fails, each
// message is delivered whole, at most once a run, or stays at the provider
// for the next run; none is lost and none is delivered cut short.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/run/cycle.h"
#include "platform/test_support.h"
#include "tests/crash/test_mailbox.h"
#include "tests/pop3/gateway_test_env.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using crash_testing::Deliveries;
using crash_testing::TestMessage;

enum class Call { kWrite, kClose, kFlush, kNone };
constexpr int kEvery = 0;
constexpr int kIdleLimitMs = 10000;

const char* CallName(Call call) {
  switch (call) {
    case Call::kWrite: return "write";
    case Call::kClose: return "close";
    case Call::kFlush: return "flush";
    case Call::kNone: break;
  }
  return "none";
}

// The gateway's Env over a disk that fails one kind of call: its n-th, or
// every one (kEvery). A failed write stores half its bytes first, as a disk
// that fills up does; a failed close still closes. Only the calls of the
// thread that made the Env count: the servers' threads are not the gateway.
// The keep-alive thread is left out (it touches no file).
class FaultyDiskEnv : public pop3_testing::GatewayTestEnv {
 public:
  FaultyDiskEnv(Call call, int nth) : call_(call), nth_(nth) { flush_files = false; }

  bool fail_removes_in_out = false;  // a file in "out" cannot be deleted

  int count(Call call) const { return counts_[static_cast<int>(call)]; }
  int failures() const { return failures_; }

  bool WriteOnce(platform::FileHandle f, const void* d, std::uint32_t c,
                 std::uint32_t* w) override {
    if (!Hit(Call::kWrite)) return GatewayTestEnv::WriteOnce(f, d, c, w);
    GatewayTestEnv::WriteOnce(f, d, c / 2, w);
    SetLastErrorCode(platform::kErrorDiskFull);
    return false;
  }
  bool CloseFile(platform::FileHandle f) override {
    const bool closed = GatewayTestEnv::CloseFile(f);
    if (!Hit(Call::kClose)) return closed;
    SetLastErrorCode(platform::kErrorIoDevice);
    return false;
  }
  bool FlushWrittenFiles(const std::vector<std::string>& paths) override {
    if (!Hit(Call::kFlush)) return GatewayTestEnv::FlushWrittenFiles(paths);
    SetLastErrorCode(platform::kErrorIoDevice);
    return false;
  }
  bool FlushDirectory(const std::string& path) override {
    if (!Hit(Call::kFlush)) return GatewayTestEnv::FlushDirectory(path);
    SetLastErrorCode(platform::kErrorIoDevice);
    return false;
  }
  bool RemoveFile(const std::string& path) override {
    if (fail_removes_in_out && path.find("\\out\\") != std::string::npos) {
      SetLastErrorCode(platform::kErrorAccessDenied);
      return false;
    }
    return GatewayTestEnv::RemoveFile(path);
  }
  platform::Thread StartThread(std::function<void()>) override {
    return target()->StartThread([] {});
  }

 private:
  bool Hit(Call call) {
    if (std::this_thread::get_id() != owner_) return false;
    const int n = ++counts_[static_cast<int>(call)];
    const bool hit = call == call_ && (nth_ == kEvery || n == nth_);
    if (hit) ++failures_;
    return hit;
  }

  const Call call_;
  const int nth_;
  const std::thread::id owner_ = std::this_thread::get_id();
  int counts_[3] = {0, 0, 0};
  int failures_ = 0;
};

// A provider's mailbox of five messages, a local SMTP server and a spool,
// the gateway's settings pointing at them while it lives.
class Site {
 public:
  Site() {
    saved_ = GatewaySettings;
    mailbox_ = crash_testing::MakeMailbox(5);
    const std::string pop = platform::testing::FreshLoopbackAddress({110});
    const std::string smtp = platform::testing::FreshLoopbackAddress({25});
    pop3_ = std::make_unique<testing_support::ScriptedPop3Server>(pop);
    for (const TestMessage& message : mailbox_) pop3_->AddMessage(message.uid, message.content);
    smtp_ = std::make_unique<testing_support::ScriptedSmtpServer>(smtp, testing_support::SmtpScript());
    GatewaySettings.PopServerAddress = platform::env().DottedToAddress(pop);
    GatewaySettings.ExchangeServerAddress = platform::env().DottedToAddress(smtp);
    GatewaySettings.UserCommand = "USER postmaster\r\n";
    GatewaySettings.PassCommand = "PASS secret\r\n";
    GatewaySettings.DomainSuffix = "@EXAMPLE.COM";
    GatewaySettings.MailListCount = 0;
    GatewaySettings.loglevel = 1;
  }
  ~Site() { GatewaySettings = saved_; }
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  // One whole run over env; its exit code.
  int Run(FaultyDiskEnv& env) {
    platform::SetEnv(&env);
    RecoveryLoginDone = 0;
    const int exit_code = RunCycle();
    env.CloseLeftOpen();
    platform::SetEnv(nullptr);
    // The run does not wait for QUIT's reply: the server may still be
    // carrying out the deletions.
    EXPECT_TRUE(pop3_->WaitUntilIdle(kIdleLimitMs));
    return exit_code;
  }
  Deliveries Delivered() const {
    return crash_testing::FindDeliveries(mailbox_, smtp_->Transcripts());
  }

  // A run with the fault, then a healthy one; what went wrong, if anything.
  void RunFaultThenHealthy(Call call, int nth) {
    const std::string label = std::string(CallName(call)) + " " +
                              (nth == kEvery ? std::string("every") : std::to_string(nth));
    FaultyDiskEnv faulty(call, nth);
    Run(faulty);
    const Deliveries first = Delivered();
    EXPECT_TRUE(first.altered.empty()) << label << ": delivered cut short or altered";
    const std::vector<std::string> kept = pop3_->Uids();
    // Files whose flush failed may not survive a crash: none of them may
    // have its message deleted in this run.
    if (call == Call::kFlush && faulty.failures() > 0) {
      EXPECT_EQ(kept.size(), mailbox_.size()) << label << ": deleted after a failed flush";
    }
    for (const TestMessage& message : mailbox_) {
      const int delivered = first.count.count(message.number) ? first.count.at(message.number) : 0;
      const bool at_provider =
          std::find(kept.begin(), kept.end(), message.uid) != kept.end();
      EXPECT_LE(delivered, 1) << label << ": message " << message.number;
      EXPECT_TRUE(delivered == 1 || at_provider) << label << ": message " << message.number
                                                  << " neither delivered nor at the provider";
    }

    FaultyDiskEnv healthy(Call::kNone, kEvery);
    EXPECT_EQ(Run(healthy), 0) << label;
    const Deliveries both = Delivered();
    EXPECT_TRUE(both.altered.empty()) << label;
    EXPECT_TRUE(pop3_->Uids().empty()) << label << ": left at the provider";
    for (const TestMessage& message : mailbox_) {
      const int delivered = both.count.count(message.number) ? both.count.at(message.number) : 0;
      const bool was_kept = std::find(kept.begin(), kept.end(), message.uid) != kept.end();
      // A second copy only of a message that the provider still held.
      EXPECT_EQ(delivered, was_kept && first.count.count(message.number) ? 2 : 1)
          << label << ": message " << message.number;
    }
    EXPECT_TRUE(testing_support::DirectoryNames(spool_.in()).empty()) << label;
    EXPECT_TRUE(testing_support::DirectoryNames(spool_.out()).empty()) << label;
  }

  const std::vector<std::string> Uids() const { return pop3_->Uids(); }
  const pop3_testing::SpoolTree& spool() const { return spool_; }

 private:
  pop3_testing::SpoolTree spool_;
  std::vector<TestMessage> mailbox_;
  std::unique_ptr<testing_support::ScriptedPop3Server> pop3_;
  std::unique_ptr<testing_support::ScriptedSmtpServer> smtp_;
  GatewaySettingsRecord saved_;
};

// How many calls of each kind a healthy run of the five messages makes.
int CallsOfAHealthyRun(Call call) {
  Site site;
  FaultyDiskEnv env(Call::kNone, kEvery);
  EXPECT_EQ(site.Run(env), 0);
  EXPECT_EQ(site.Delivered().total(), 5);
  return env.count(call);
}

class EachCall : public ::testing::TestWithParam<Call> {};

TEST_P(EachCall, NthFailureLosesNothingAndDeliversNothingCut) {
  const int calls = CallsOfAHealthyRun(GetParam());
  ASSERT_GE(calls, GetParam() == Call::kFlush ? 3 : 6) << "the run's calls were not counted";
  for (int nth = 1; nth <= calls && !HasFailure(); ++nth) {
    Site site;
    site.RunFaultThenHealthy(GetParam(), nth);
  }
}

TEST_P(EachCall, EveryCallFailingKeepsTheMailboxAtTheProvider) {
  Site site;
  site.RunFaultThenHealthy(GetParam(), kEvery);
}

INSTANTIATE_TEST_SUITE_P(Calls, EachCall,
                         ::testing::Values(Call::kWrite, Call::kClose, Call::kFlush),
                         [](const auto& info) { return std::string(CallName(info.param)); });

// The entries name what failed and carry the system's code: a full disk is
// 112 in either platform's numbering.
TEST(DiskFaultTest, FullDiskWhileDownloadingIsOneEntryAndNoQuit) {
  Site site;
  FaultyDiskEnv env(Call::kWrite, 3);  // the first two write the statistics
  EXPECT_EQ(site.Run(env), -1);
  std::vector<std::string> errors;
  for (const pop3_testing::RecordedEvent& e : env.events) {
    if (e.type == platform::kEventlogErrorType) errors.push_back(e.error_text + " |" + e.message);
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Tallowmere error: 112 | - GetPop - Write failed - popout.txt");
  for (const std::string& entry : env.journal) EXPECT_NE(entry, "send QUIT\r\n");
  EXPECT_EQ(site.Uids().size(), 5u);
}

// Error entries of a run, "code |message".
std::vector<std::string> Errors(const FaultyDiskEnv& env) {
  std::vector<std::string> errors;
  for (const pop3_testing::RecordedEvent& e : env.events) {
    if (e.type == platform::kEventlogErrorType) errors.push_back(e.error_text + " |" + e.message);
  }
  return errors;
}

// Log level 2 keeps delivered files in "Archive". Without the directory the
// file cannot go there under either name: it is deleted, so that no later
// run delivers it again, and the lost archive copy is reported.
TEST(ArchiveFaultTest, MissingArchiveDeliversEachMessageOnceOverThreeRuns) {
  Site site;
  GatewaySettings.loglevel = 2;
  std::filesystem::remove_all(site.spool().root() / "Archive");
  std::vector<std::string> errors;
  for (int run = 0; run < 3; ++run) {
    FaultyDiskEnv env(Call::kNone, kEvery);
    EXPECT_EQ(site.Run(env), 0);
    for (const std::string& e : Errors(env)) errors.push_back(e);
  }
  const Deliveries delivered = site.Delivered();
  EXPECT_TRUE(crash_testing::EachDeliveredOnce(delivered, 5));
  EXPECT_TRUE(testing_support::DirectoryNames(site.spool().out()).empty());
  std::vector<std::string> expected;
  for (int n = 1; n <= 5; ++n) {
    expected.push_back("Tallowmere error: 3 | - SendSMTP - Unable to archive delivered file - deleted - crash_" +
                       std::to_string(n));
  }
  std::sort(errors.begin(), errors.end());
  EXPECT_EQ(errors, expected);
}

// A delivered file that cannot be deleted either is renamed to a dot-file,
// which no delivery run hands on; the next run does not deliver it again.
TEST(ArchiveFaultTest, UndeletableDeliveredFileIsRenamedAndNotDeliveredAgain) {
  Site site;
  FaultyDiskEnv stuck(Call::kNone, kEvery);
  stuck.fail_removes_in_out = true;
  EXPECT_EQ(site.Run(stuck), 0);
  std::vector<std::string> errors = Errors(stuck);
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0].substr(0, 21), "Tallowmere error: 5 |");
  EXPECT_NE(errors[0].find(" - SendSMTP - Unable to delete delivered file - crash_"), std::string::npos)
      << errors[0];
  FaultyDiskEnv next(Call::kNone, kEvery);
  EXPECT_EQ(site.Run(next), 0);
  const Deliveries delivered = site.Delivered();
  EXPECT_EQ(delivered.total(), 5);
  EXPECT_EQ(delivered.duplicates(), 0);
  std::vector<std::string> renamed = testing_support::DirectoryNames(site.spool().out());
  EXPECT_EQ(renamed.size(), 5u);
  for (const std::string& name : renamed) EXPECT_TRUE(name.starts_with(".crash_")) << name;
}

}  // namespace
