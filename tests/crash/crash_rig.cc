#include "tests/crash/crash_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/test_support.h"

namespace crash_testing {

namespace {

using testing_support::DirectoryNames;
using testing_support::ReadFileBytes;

// Bounds every wait of a run: a run of the gateway takes a few seconds at
// most under the fast clock, also under the sanitizers.
constexpr int kRunLimitMs = 60000;

// Where a trigger fired, for the test thread that kills the run. A server
// thread that reaches it can be held there, its reply not sent, until the
// run is dead.
class Gate {
 public:
  void Arrive(bool hold) {
    std::unique_lock lock(mutex_);
    arrived_ = true;
    changed_.notify_all();
    if (hold) changed_.wait_for(lock, std::chrono::milliseconds(kRunLimitMs), [this] { return open_; });
  }
  bool WaitArrived(int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return arrived_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false;
  bool open_ = false;
};

// The command lines that both servers received during one run, in the
// order they arrived.
class Timeline {
 public:
  struct Entry {
    bool pop3;
    std::string line;
  };
  void Add(bool pop3, const std::string& line) {
    std::lock_guard lock(mutex_);
    entries_.push_back({pop3, line});
  }
  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

bool Matches(const std::string& pattern, const std::string& line) {
  return pattern.ends_with(' ') ? line.starts_with(pattern) : line == pattern;
}

// The phase that the timeline of a killed run reached. The split sends
// nothing; it shows in the spool.
std::string PhaseOf(const std::vector<Timeline::Entry>& timeline, bool split_seen) {
  std::string phase = "start";
  bool download_session = false;
  bool downloaded = false;
  int listings = 0;
  for (const Timeline::Entry& entry : timeline) {
    const std::string& line = entry.line;
    if (!entry.pop3) {
      // Deliveries come before the download (the recovery's) or after its
      // session ended; the two servers' threads may see the end of the
      // session and the first delivery in either order.
      if (line.starts_with("MAIL FROM")) phase = downloaded ? "delivery" : "recovery";
      continue;
    }
    if (line.starts_with("USER ")) {
      download_session = false;
      listings = 0;
    } else if (line == "STAT") {
      download_session = true;
      downloaded = true;
      phase = "download";
    } else if (line == "UIDL") {
      ++listings;
      if (!download_session) phase = "recovery";
      if (download_session && listings == 2) phase = "deletion";
    }
  }
  if (phase == "download" && split_seen) phase = "split";
  return phase;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace

CrashRig::CrashRig()
    : mailbox_(MakeMailbox(kMessages)),
      address_(platform::testing::FreshLoopbackAddress({110, 25})),
      pop3_(address_, "site", "secret"),
      smtp_(address_, testing_support::SmtpScript()) {
  EXPECT_TRUE(pop3_.listening());
  for (const TestMessage& message : mailbox_) pop3_.AddMessage(message.uid, message.content);
  root_.WriteDefaultSettings(address_, address_);
  root_.MakeSpool();
  std::filesystem::create_directories(root_.path() / "install");
  testing_support::WriteFileBytes(root_.path() / "install" / "maillist.txt", "u@example.com\n");
}

std::vector<std::string> CrashRig::Environment() const {
  std::vector<std::string> environment = testing_support::FastClockEnvironment();
  environment.push_back(root_.EnvironmentEntry());
  return environment;
}

std::vector<std::string> CrashRig::SpoolNames(const std::string& directory) const {
  return DirectoryNames(root_.spool() / directory);
}

std::map<std::string, std::filesystem::file_time_type> CrashRig::WorkFiles() const {
  std::map<std::string, std::filesystem::file_time_type> files;
  for (const std::string& name : DirectoryNames(root_.spool())) {
    std::error_code gone;
    const auto time = std::filesystem::last_write_time(root_.spool() / name, gone);
    if (name.starts_with("split") && name.ends_with(".tmp") && !gone) files[name] = time;
  }
  return files;
}

RunRecord CrashRig::Run(const KillPoint& point, const std::string& label) {
  using Trigger = KillPoint::Trigger;
  ++runs_;
  const std::vector<std::string> in_before = SpoolNames("in");
  const auto work_before = WorkFiles();
  const int accepted_before = smtp_.AcceptedMessages();

  auto gate = std::make_shared<Gate>();
  auto timeline = std::make_shared<Timeline>();
  auto matches = std::make_shared<std::atomic<int>>(0);
  const bool hold = point.delay_ms == 0;
  // The split is watched from outside and may end before the kill lands;
  // the deletion's listing then waits, unanswered, so that the run dies
  // with nothing deleted and nothing moved all the same.
  auto backstop = std::make_shared<Gate>();
  auto listings = std::make_shared<std::atomic<int>>(0);
  const bool split_watch = point.trigger == Trigger::kSpoolFile;
  auto hook = [=](bool pop3) {
    const bool aimed = pop3 ? point.trigger == Trigger::kPop3Command
                            : point.trigger == Trigger::kSmtpCommand;
    return [=](const std::string& line) {
      timeline->Add(pop3, line);
      if (aimed && Matches(point.command, line) && ++*matches == point.occurrence) {
        gate->Arrive(hold);
      }
      // The download's session starts with STAT; its second listing is the deletion's.
      if (pop3 && split_watch && line == "STAT") *listings = 0;
      if (pop3 && split_watch && line == "UIDL" && ++*listings == 2) backstop->Arrive(true);
    };
  };
  pop3_.OnCommand(hook(true));
  smtp_.OnCommand(hook(false));
  if (point.trigger == Trigger::kPop3Command && point.stall_after != 0) {
    pop3_.StallInReply(point.command, point.stall_after);
  }

  RunRecord record;
  std::unique_ptr<platform::testing::ChildProcess> child = platform::testing::ChildProcess::Start(
      {std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, Environment());
  if (!child) {
    ADD_FAILURE() << label << ": the gateway did not start";
    gate->Open();
    backstop->Open();
    return record;
  }

  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::milliseconds(kRunLimitMs);
  switch (point.trigger) {
    case Trigger::kNone:
      break;
    case Trigger::kPop3Command:
    case Trigger::kSmtpCommand:
      record.trigger_reached = gate->WaitArrived(kRunLimitMs);
      break;
    case Trigger::kSmtpAccepted:
      record.trigger_reached =
          smtp_.WaitForAcceptedMessages(accepted_before + point.occurrence, kRunLimitMs);
      break;
    case Trigger::kSpoolFile: {
      // The split sends nothing: the spool is watched, as closely as a
      // bounded spin allows.
      const std::filesystem::path file = root_.spool() / point.command;
      while (!(record.trigger_reached = std::filesystem::exists(file)) &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      break;
    }
    case Trigger::kDelay:
      record.trigger_reached = true;
      break;
  }
  if (record.trigger_reached) {
    std::this_thread::sleep_for(std::chrono::milliseconds(point.delay_ms));
    child->Kill();
  }
  const platform::testing::ProcessResult result = child->Wait(kRunLimitMs);
  backstop->Open();
  const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started).count();
  gate->Open();
  // What the killed run sent before it died is read to its end.
  EXPECT_TRUE(pop3_.WaitUntilIdle(kRunLimitMs)) << label;
  smtp_.Transcripts(kRunLimitMs);
  pop3_.OnCommand({});
  smtp_.OnCommand({});

  if (point.trigger != Trigger::kNone) {
    EXPECT_TRUE(record.trigger_reached) << label << ": the run never reached its kill point";
  }
  EXPECT_FALSE(result.timed_out) << label;
  record.killed = !result.exited;
  record.exit_code = result.exit_code;
  if (record.killed) {
    const bool split_seen = SpoolNames("in") != in_before || WorkFiles() != work_before;
    record.phase = PhaseOf(timeline->entries(), split_seen);
    ++kills_[record.phase];
  } else {
    record.phase = "completed";
  }
  std::cout << "run " << runs_ << " (" << label << "): " << record.phase
            << (record.killed ? "" : ", exit code " + std::to_string(record.exit_code))
            << "; mailbox " << pop3_.Uids().size() << ", in " << SpoolNames("in").size()
            << ", out " << SpoolNames("out").size() << ", accepted "
            << smtp_.AcceptedMessages() << " (" << elapsed_ms << " ms)" << std::endl;
  return record;
}

Deliveries CrashRig::Delivered() const {
  return FindDeliveries(mailbox_, smtp_.Transcripts(kRunLimitMs));
}

std::vector<std::string> CrashRig::Problems() const {
  std::vector<std::string> problems;
  const Deliveries delivered = Delivered();
  for (const std::string& altered : delivered.altered) {
    problems.push_back("a delivery that is no message's exact bytes: " + altered);
  }
  const std::vector<std::string> uids = pop3_.Uids();
  std::set<std::string> spool_names;
  for (const TestMessage& message : mailbox_) {
    spool_names.insert(message.spool_name);
    bool somewhere = std::find(uids.begin(), uids.end(), message.uid) != uids.end() ||
                     delivered.count.contains(message.number);
    for (const char* directory : {"in", "out"}) {
      const std::filesystem::path file = root_.spool() / directory / message.spool_name;
      if (!std::filesystem::exists(file)) continue;
      if (ReadFileBytes(file) == message.spool_bytes) {
        somewhere = true;
      } else {
        problems.push_back(std::string(directory) + "/" + message.spool_name +
                           " does not hold its message's bytes");
      }
    }
    if (!somewhere) {
      problems.push_back("message " + std::to_string(message.number) +
                         " is lost: not at the provider, in no spool file, never delivered");
    }
  }
  for (const char* directory : {"in", "out"}) {
    for (const std::string& name : SpoolNames(directory)) {
      if (!spool_names.contains(name)) {
        problems.push_back(std::string("unexpected file ") + directory + "/" + name);
      }
    }
  }
  return problems;
}

int CrashRig::FinishWithCleanRuns(int max_runs) {
  int runs = 0;
  while (runs < max_runs &&
         !(Mailbox().empty() && SpoolNames("in").empty() && SpoolNames("out").empty())) {
    ++runs;
    const RunRecord record = Run({}, "clean run " + std::to_string(runs));
    EXPECT_FALSE(record.killed) << "clean run " << runs;
    EXPECT_EQ(record.exit_code, 0) << "clean run " << runs;
  }
  EXPECT_TRUE(Mailbox().empty()) << Joined(Mailbox());
  EXPECT_TRUE(SpoolNames("in").empty()) << Joined(SpoolNames("in"));
  EXPECT_TRUE(SpoolNames("out").empty()) << Joined(SpoolNames("out"));
  // A killed run never leaves the lock behind: no run found it taken.
  for (const std::string& message : root_.EventMessages()) {
    EXPECT_EQ(message.find("Another instance"), std::string::npos) << message;
  }
  return runs;
}

std::string Summary(const CrashRig& rig) {
  const Deliveries delivered = rig.Delivered();
  std::string kills;
  int killed = 0;
  for (const auto& [phase, count] : rig.kills()) {
    kills += (kills.empty() ? "" : ", ") + phase + " " + std::to_string(count);
    killed += count;
  }
  return std::to_string(rig.runs()) + " runs, " + std::to_string(killed) + " killed (" + kills +
         "), " + std::to_string(delivered.total()) + " deliveries of " +
         std::to_string(delivered.count.size()) + " messages, " +
         std::to_string(delivered.duplicates()) + " duplicates";
}

void Tally::Add(const CrashRig& rig) {
  runs_ += rig.runs();
  duplicates_ += rig.Delivered().duplicates();
  for (const auto& [phase, count] : rig.kills()) kills_[phase] += count;
}

void Tally::Report(const std::string& note) const {
  ::testing::Test::RecordProperty("runs", runs_);
  ::testing::Test::RecordProperty("duplicates", duplicates_);
  std::string by_phase;
  for (const auto& [phase, count] : kills_) {
    ::testing::Test::RecordProperty("kills_" + phase, count);
    by_phase += " " + phase + " " + std::to_string(count);
  }
  std::cout << "total: " << runs_ << " runs, kills by phase:" << by_phase << ", " << duplicates_
            << " duplicates" << note << std::endl;
}

}  // namespace crash_testing
