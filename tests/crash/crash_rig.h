// One crash scenario: a provider's POP3 mailbox, a local SMTP server that
// stays up across runs, a machine root with its spool, and runs of the real
// gateway over them, each killed (SIGKILL) at a chosen moment or left to end.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/crash/test_mailbox.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"

namespace crash_testing {

// When a run is killed.
struct KillPoint {
  enum class Trigger {
    kNone,          // the run is left to end
    kPop3Command,   // a command line reaches the POP3 server, before its reply
    kSmtpCommand,   // a command line (or "." ending the data) reaches the SMTP server, before its reply
    kSmtpAccepted,  // the SMTP server has counted the occurrence-th message of the run as accepted
    kSpoolFile,     // the file command (a path below the spool root) appears
    kDelay,         // delay_ms after the start
  };
  Trigger trigger = Trigger::kNone;
  // The command line exactly; one that ends with a blank ("DELE ") stands
  // for every line that begins with it.
  std::string command;
  int occurrence = 1;  // the occurrence-th match within the run, from 1
  // After the trigger, the run goes on this long before it is killed (the
  // server answers meanwhile).
  int delay_ms = 0;
  // kPop3Command with an exact command: when not 0, the server's reply to it
  // stops after this many bytes and stays silent, so that the run still
  // waits inside that reply when the kill lands, however late.
  std::size_t stall_after = 0;
};

// Where a run was when it ended: "start", "recovery", "download", "split",
// "deletion", "delivery", or "completed" for a run that was not killed.
struct RunRecord {
  std::string phase;
  bool killed = false;
  int exit_code = -1;
  bool trigger_reached = false;
};

class CrashRig {
 public:
  static constexpr int kMessages = 50;

  CrashRig();
  CrashRig(const CrashRig&) = delete;
  CrashRig& operator=(const CrashRig&) = delete;

  // One run of the gateway, killed as point says. label names it in the
  // output and in failure messages.
  RunRecord Run(const KillPoint& point, const std::string& label);

  // What is wrong now, between runs: messages that are neither at the
  // provider, nor in "in" or "out" with their exact bytes, nor delivered;
  // spool files whose bytes are not their message's; altered deliveries.
  std::vector<std::string> Problems() const;

  // Runs without a kill until mailbox, "in" and "out" are empty (at most
  // max_runs). Each must end with exit code 0, and none may find the lock
  // taken. The number of runs it took.
  int FinishWithCleanRuns(int max_runs);

  Deliveries Delivered() const;
  std::vector<std::string> Mailbox() const { return pop3_.Uids(); }
  std::vector<std::string> SpoolNames(const std::string& directory) const;
  int runs() const { return runs_; }
  // Runs killed, by phase.
  const std::map<std::string, int>& kills() const { return kills_; }

 private:
  std::vector<std::string> Environment() const;
  // The splitter's work files ("split*.tmp" beside "in") and their times.
  std::map<std::string, std::filesystem::file_time_type> WorkFiles() const;
  std::string Phase(std::size_t commands_before, int data_ends_before,
                    const std::vector<std::string>& in_before, std::size_t mailbox_before) const;

  std::vector<TestMessage> mailbox_;
  testing_support::MachineRoot root_;
  std::string address_;
  testing_support::ScriptedPop3Server pop3_;
  testing_support::ScriptedSmtpServer smtp_;
  int runs_ = 0;
  std::map<std::string, int> kills_;
};

// A line for the test's output: runs, kills by phase, deliveries and
// duplicates.
std::string Summary(const CrashRig& rig);

// Runs, kills by phase and duplicates over the scenarios of one test.
class Tally {
 public:
  void Add(const CrashRig& rig);
  // Prints the totals and records them as properties of the running test.
  void Report(const std::string& note) const;

 private:
  int runs_ = 0;
  int duplicates_ = 0;
  std::map<std::string, int> kills_;
};

}  // namespace crash_testing
