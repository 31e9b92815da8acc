// The installed Debian package on this very machine, as an administrator
// meets it: root saves the settings with /usr/sbin/setwick in a terminal,
// and /usr/sbin/quillon, run as the user tallowmere the way its systemd unit
// runs it, delivers between Dovecot and Postfix started here. Run only by
// tools/package_test.sh, between the package's installation and its purge
// (which checks that the message this test leaves in "out" survives).
#include <gtest/gtest.h>

#include <filesystem>

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

// The unit's conditions: its user, its umask, no environment of the caller's.
const std::vector<std::string> kAsTheUnit = {
    "/bin/sh", "-c",
    "umask 0077 && exec runuser -u tallowmere -- env -i "
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /usr/sbin/quillon"};

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
  fs::create_directories(screens);
  {
    testing_support::TmuxSession terminal(screens);
    ASSERT_TRUE(terminal.Start("cd / && env -u TALLOWMERE_ROOT /usr/sbin/setwick; "
                               "echo SETWICK-EXIT=$?; sleep 60"));
    std::vector<std::string> screen;
    ASSERT_TRUE(terminal.WaitFor("Product Information", &screen));
    // The version records survive the package's stripping.
    EXPECT_TRUE(terminal.Shows(screen, "1.2.7.0"));
    EXPECT_TRUE(terminal.Shows(screen, "1.5.0 "));
    // Focus starts on "OK": Cancel, then the five edits, then "1 - Log".
    ASSERT_TRUE(terminal.Keys({"Tab", "Tab"}));
    for (const std::string& field : {std::string("example.com"), address, address,
                                     std::string("site"), std::string("secret")}) {
      ASSERT_TRUE(terminal.Type(field));
      ASSERT_TRUE(terminal.Keys({"Tab"}));
    }
    ASSERT_TRUE(terminal.Keys({"Space"}));
    ASSERT_TRUE(terminal.WaitFor("(*) 1 - Log"));
    ASSERT_TRUE(terminal.Keys({"Enter"}));
    ASSERT_TRUE(terminal.WaitFor("Tallowmere Configured", &screen));
    ASSERT_TRUE(terminal.Keys({"Enter"}));
    ASSERT_TRUE(terminal.WaitFor("SETWICK-EXIT=0", &screen));
  }
  fs::remove_all(screens);

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

}  // namespace
