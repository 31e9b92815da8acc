// The installed Debian package on this very machine, as an administrator
// meets it: root saves the settings with /usr/sbin/setwick in a terminal,
// and /usr/sbin/quillon, run as the user tallowmere the way its systemd unit
// runs it, delivers between Dovecot and Postfix started here. Run only by
// tools/package_test.sh, between the package's installation and its purge
// (which checks that the message this test leaves in "out" survives).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/real_servers.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;
using platform::testing::FileOwnership;
using platform::testing::OwnershipOf;

const fs::path kMachineRoot = "/var/lib/tallowmere";
const fs::path kSpool = "/var/spool/tallowmere/quillon";
constexpr int kRunLimitMs = 180000;  // a run takes 50 s: the keep-alive pause

// The unit's conditions: its user, its umask, no environment of the
// caller's but what the unit sets (an instance's TALLOWMERE_ROOT).
std::vector<std::string> AsTheUnit(const std::string& unit_environment = "") {
  return {"/bin/sh", "-c",
          "umask 0077 && exec runuser -u tallowmere -- env -i "
          "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin " +
              unit_environment + " /usr/sbin/quillon"};
}
const std::vector<std::string> kAsTheUnit = AsTheUnit();

// Saves settings with /usr/sbin/setwick in a terminal, as root, on the
// machine root that command_prefix names (empty: the installed default).
// The screen before the first key is left in *first_screen.
void SaveWithSetwick(const std::string& command_prefix, const fs::path& screens,
                     const std::string& pop_address, const std::string& smtp_address,
                     const std::string& account, const std::string& password,
                     std::vector<std::string>* first_screen) {
  fs::create_directories(screens);
  testing_support::TmuxSession terminal(screens);
  ASSERT_TRUE(terminal.Start("cd / && env -u TALLOWMERE_ROOT " + command_prefix +
                             " /usr/sbin/setwick; echo SETWICK-EXIT=$?; sleep 60"));
  ASSERT_TRUE(terminal.WaitFor("Product Information", first_screen));
  // Focus starts on "OK": Cancel, then the five edits, then "1 - Log".
  ASSERT_TRUE(terminal.Keys({"Tab", "Tab"}));
  for (const std::string& field :
       {std::string("example.com"), smtp_address, pop_address, account, password}) {
    ASSERT_TRUE(terminal.Type(field));
    ASSERT_TRUE(terminal.Keys({"Tab"}));
  }
  ASSERT_TRUE(terminal.Keys({"Space"}));
  ASSERT_TRUE(terminal.WaitFor("(*) 1 - Log"));
  ASSERT_TRUE(terminal.Keys({"Enter"}));
  ASSERT_TRUE(terminal.WaitFor("Tallowmere Configured"));
  ASSERT_TRUE(terminal.Keys({"Enter"}));
  ASSERT_TRUE(terminal.WaitFor("SETWICK-EXIT=0"));
}

TEST(InstalledPackageTest, SetwickSavesAsRootAndTheGatewayDeliversAsTallowmere) {
  const std::string why = testing_support::RealServersUnavailable();
  ASSERT_TRUE(why.empty()) << why;
  ASSERT_TRUE(fs::exists("/usr/sbin/quillon") && fs::exists("/usr/sbin/setwick"))
      << "the package is not installed";
  const unsigned gateway_user = OwnershipOf(kMachineRoot.string()).uid;
  ASSERT_NE(gateway_user, 0u) << "the machine root belongs to root";

  const std::string address = platform::testing::FreshLoopbackAddress({110, 25});
  testing_support::DovecotProvider dovecot(address, "site", "secret");
  // A sender this server refuses: that message stays in "out".
  testing_support::PostfixServer postfix(
      address, "example.com", {"alice", "bob"},
      {{"smtpd_sender_restrictions", "check_sender_access inline:{refused@origin.example=REJECT}"}});
  dovecot.AddMessage("From: ann@origin.example\nTo: alice@example.com\nSubject: installed\n\n"
                     "The package's first delivery.\n");
  dovecot.AddMessage("From: refused@origin.example\nTo: bob@example.com\nSubject: refused\n\n"
                     "Stays in the spool.\n");
  ASSERT_TRUE(dovecot.Start()) << dovecot.Log();
  ASSERT_TRUE(postfix.Start()) << postfix.Log();

  // setwick as root on the installed machine root (no TALLOWMERE_ROOT).
  const fs::path screens = fs::temp_directory_path() / ("tallowmere-package-" + address);
  std::vector<std::string> screen;
  SaveWithSetwick("", screens, address, address, "site", "secret", &screen);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  fs::remove_all(screens);
  // The version records survive the package's stripping.
  EXPECT_TRUE(testing_support::TmuxSession::Shows(screen, "1.2.7.0"));
  EXPECT_TRUE(testing_support::TmuxSession::Shows(screen, "1.5.0 "));

  // What root saved and made stays the gateway user's.
  EXPECT_EQ(OwnershipOf((kMachineRoot / "registry.reg").string()),
            (FileOwnership{gateway_user, OwnershipOf(kMachineRoot.string()).gid, 0600}));
  const std::string registry = testing_support::ReadFileBytes(kMachineRoot / "registry.reg");
  EXPECT_NE(registry.find("\"installdir\"=\"/etc/tallowmere\""), std::string::npos) << registry;
  EXPECT_NE(registry.find("\"exchangedir\"=\"/var/spool/tallowmere\""), std::string::npos)
      << registry;
  EXPECT_NE(registry.find("\"popserver\"=\"" + address + "\""), std::string::npos) << registry;
  // The new installation's conversation, which setwick leaves as it is.
  EXPECT_NE(registry.find("\"smtpmode\"=\"standard\""), std::string::npos) << registry;
  for (const char* dir : {"", "in", "out", "Archive"}) {
    EXPECT_EQ(OwnershipOf((kSpool / dir).string()).uid, gateway_user) << dir;
  }

  const platform::testing::ProcessResult run =
      platform::testing::RunProcess(kAsTheUnit, {}, kRunLimitMs);
  ASSERT_TRUE(run.exited) << "signal " << run.signal << (run.timed_out ? " (timed out)" : "");
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_TRUE(postfix.WaitForDeliveries(1, 30000)) << postfix.Log();
  const std::vector<testing_support::DeliveredMessage> alice = postfix.Delivered("alice");
  ASSERT_EQ(alice.size(), 1u);
  EXPECT_NE(alice[0].content().find("The package's first delivery."), std::string::npos);
  EXPECT_EQ(postfix.DeliveredCount(), 1);
  EXPECT_EQ(dovecot.MessageCount(), 0);
  EXPECT_TRUE(testing_support::DirectoryNames(kSpool / "in").empty());
  const std::vector<std::string> out = testing_support::DirectoryNames(kSpool / "out");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(OwnershipOf((kSpool / "out" / out[0]).string()).uid, gateway_user);
  EXPECT_EQ(OwnershipOf((kSpool / "out" / out[0]).string()).mode, 0600u);

  // The event log, written by the gateway's user, reports the refusal.
  const fs::path log = kMachineRoot / "eventlog" / "Application.jsonl";
  EXPECT_EQ(OwnershipOf(log.string()).uid, gateway_user);
  EXPECT_NE(testing_support::ReadFileBytes(log).find(" - SendMail - Bad"), std::string::npos)
      << testing_support::ReadFileBytes(log);
}

// Holds an instance's lock file as the gateway's user, the way a running
// gateway does, until the object goes; false from held() when it could not.
// One process from start to end (setpriv and the shells exec, the lock's
// descriptor goes to sleep), so that killing it releases the lock.
class HeldLock {
 public:
  explicit HeldLock(const fs::path& machine_root) : ready_(machine_root / "lock-held") {
    fs::remove(ready_);
    holder_ = platform::testing::ChildProcess::Start(
        {"setpriv", "--reuid=tallowmere", "--regid=tallowmere", "--clear-groups", "/bin/sh", "-c",
         "umask 0077 && exec 9>>" + (machine_root / "locks" / "POP3LOCK").string() +
             " && flock -n 9 && touch " + ready_.string() + " && exec sleep 300"},
        {});
    for (int i = 0; i < 200 && holder_ != nullptr && !fs::exists(ready_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~HeldLock() {
    if (holder_ != nullptr) holder_->Kill();
    fs::remove(ready_);
  }
  bool held() const { return holder_ != nullptr && fs::exists(ready_); }

 private:
  fs::path ready_;
  std::unique_ptr<platform::testing::ChildProcess> holder_;
};

// Two instances that tools/package_test.sh made with tallowmere-instance,
// north and south, each configured through setwick for a mailbox of its own;
// both gateways at once deliver only their own mail, and neither the other's
// lock nor the default instance's holds one back.
TEST(InstalledPackageTest, TwoInstancesDeliverOnlyTheirOwnMailboxesAtTheSameTime) {
  const std::string why = testing_support::RealServersUnavailable();
  ASSERT_TRUE(why.empty()) << why;
  const fs::path north = kMachineRoot / "north";
  const fs::path south = kMachineRoot / "south";
  ASSERT_TRUE(fs::exists(north / "registry.reg") && fs::exists(south / "registry.reg"))
      << "tools/package_test.sh makes the instances north and south";

  const std::string address = platform::testing::FreshLoopbackAddress({110, 25});
  testing_support::DovecotProvider north_mailbox(address, "north-site", "north-secret");
  testing_support::PostfixServer postfix(address, "example.com", {"alice", "bob"});
  north_mailbox.AddMessage("From: ann@origin.example\nTo: alice@example.com\nSubject: north\n\n"
                           "For the north.\n");
  ASSERT_TRUE(north_mailbox.Start()) << north_mailbox.Log();
  ASSERT_TRUE(postfix.Start()) << postfix.Log();
  const std::string south_address = platform::testing::FreshLoopbackAddress({110});
  testing_support::DovecotProvider south_mailbox(south_address, "south-site", "south-secret");
  south_mailbox.AddMessage("From: ann@origin.example\nTo: bob@example.com\nSubject: south\n\n"
                           "For the south.\n");
  ASSERT_TRUE(south_mailbox.Start()) << south_mailbox.Log();

  const fs::path screens = fs::temp_directory_path() / ("tallowmere-instances-" + address);
  SaveWithSetwick("TALLOWMERE_ROOT=" + north.string(), screens / "north", address, address,
                  "north-site", "north-secret", nullptr);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  SaveWithSetwick("TALLOWMERE_ROOT=" + south.string(), screens / "south", south_address, address,
                  "south-site", "south-secret", nullptr);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  fs::remove_all(screens);
  for (const fs::path& root : {north, south}) {
    const std::string registry = testing_support::ReadFileBytes(root / "registry.reg");
    const std::string name = root.filename().string();
    EXPECT_NE(registry.find("\"installdir\"=\"/etc/tallowmere/" + name + "\""), std::string::npos)
        << registry;
    EXPECT_NE(registry.find("\"exchangedir\"=\"/var/spool/tallowmere/" + name + "\""),
              std::string::npos) << registry;
    EXPECT_NE(registry.find("\"smtpmode\"=\"standard\""), std::string::npos) << registry;
    EXPECT_EQ(OwnershipOf((root / "registry.reg").string()).uid, OwnershipOf(root.string()).uid);
  }

  // Its own lock keeps a second run of an instance out, as the default
  // instance's does.
  {
    HeldLock lock(north);
    ASSERT_TRUE(lock.held());
    const platform::testing::ProcessResult run = platform::testing::RunProcess(
        AsTheUnit("TALLOWMERE_ROOT=" + north.string()), {}, kRunLimitMs);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(testing_support::ReadFileBytes(north / "eventlog" / "Application.jsonl")
                  .find("Another instance of Tallowmere is running"),
              std::string::npos);
  }
  EXPECT_EQ(postfix.DeliveredCount(), 0);

  // Both at once, while the default instance's lock is held too.
  HeldLock default_lock(kMachineRoot);
  ASSERT_TRUE(default_lock.held());
  std::vector<std::unique_ptr<platform::testing::ChildProcess>> runs;
  for (const fs::path& root : {north, south}) {
    runs.push_back(platform::testing::ChildProcess::Start(
        AsTheUnit("TALLOWMERE_ROOT=" + root.string()), {}));
    ASSERT_NE(runs.back(), nullptr);
  }
  for (auto& run : runs) {
    const platform::testing::ProcessResult result = run->Wait(kRunLimitMs);
    ASSERT_TRUE(result.exited) << (result.timed_out ? "timed out" : "killed");
    EXPECT_EQ(result.exit_code, 0);
  }
  ASSERT_TRUE(postfix.WaitForDeliveries(2, 30000)) << postfix.Log();
  const std::vector<testing_support::DeliveredMessage> alice = postfix.Delivered("alice");
  const std::vector<testing_support::DeliveredMessage> bob = postfix.Delivered("bob");
  ASSERT_EQ(alice.size(), 1u);
  ASSERT_EQ(bob.size(), 1u);
  EXPECT_NE(alice[0].content().find("For the north."), std::string::npos);
  EXPECT_NE(bob[0].content().find("For the south."), std::string::npos);
  EXPECT_TRUE(north_mailbox.WaitForMessageCount(0));
  EXPECT_TRUE(south_mailbox.WaitForMessageCount(0));
  for (const char* name : {"north", "south"}) {
    const fs::path spool = fs::path("/var/spool/tallowmere") / name / "quillon";
    EXPECT_TRUE(testing_support::DirectoryNames(spool / "out").empty()) << name;
    EXPECT_EQ(OwnershipOf(spool.string()).uid, OwnershipOf(north.string()).uid) << name;
  }
  EXPECT_EQ(testing_support::ReadFileBytes(south / "eventlog" / "Application.jsonl")
                .find("Another instance"),
            std::string::npos);
}

}  // namespace
