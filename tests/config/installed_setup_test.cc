// The set-up and the saving on the real POSIX machine as installed: the
// machine root belongs to the gateway's user while root runs setwick.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/config_app.h"
#include "platform/test_support.h"
#include "tests/config/scripted_dialogs.h"
#include "tests/support/machine_root.h"

namespace setwick_test {
namespace {

namespace fs = std::filesystem;
using platform::testing::FileOwnership;
using platform::testing::OwnershipOf;

constexpr unsigned kUser = 4711;  // stands for the gateway's user
constexpr unsigned kGroup = 4712;

class InstalledSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::testing::RunningAsRoot()) GTEST_SKIP() << "changing owners needs root";
    fs::create_directories(root_.exchangedir());
    testing_support::WriteFileBytes(
        root_.path() / "registry.reg",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\n"
        "\"installdir\"=\"/etc/tallowmere\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters]\n"
        "\"RootDir\"=\"" + root_.exchangedir().string() + "\"\n");
    fs::permissions(root_.path() / "registry.reg", fs::perms::owner_read | fs::perms::owner_write);
    platform::testing::SetEnvironmentVariable("TALLOWMERE_ROOT", root_.path().string());
  }
  void TearDown() override { platform::testing::UnsetEnvironmentVariable("TALLOWMERE_ROOT"); }

  // Gives the machine root, its registry and the spool's base to the user,
  // as the package's installation does.
  void InstallForTheUser() {
    for (const fs::path& path :
         {root_.path(), root_.path() / "registry.reg", root_.exchangedir()}) {
      ASSERT_TRUE(platform::testing::SetOwner(path.string(), kUser, kGroup)) << path;
    }
  }

  void Run(Script script) {
    ScriptedHost host;
    host.Expect(std::move(script));
    setwick::ConfigApp(host).Run();
    EXPECT_TRUE(host.all_scripts_used());
  }

  testing_support::MachineRoot root_;
};

TEST_F(InstalledSetupTest, SpoolDirectoriesAndSavedSettingsStayTheGatewayUsers) {
  InstallForTheUser();
  Run(PressOk);
  for (const char* dir : {"quillon", "quillon/in", "quillon/out", "quillon/Archive"}) {
    const FileOwnership owner = OwnershipOf((root_.exchangedir() / dir).string());
    EXPECT_EQ(owner.uid, kUser) << dir;
    EXPECT_EQ(owner.gid, kGroup) << dir;
  }
  EXPECT_EQ(OwnershipOf((root_.path() / "registry.reg").string()),
            (FileOwnership{kUser, kGroup, 0600}));
  const std::string registry = testing_support::ReadFileBytes(root_.path() / "registry.reg");
  EXPECT_NE(registry.find("\"exchangedir\"=\"" + root_.exchangedir().string() + "\""),
            std::string::npos)
      << registry;
}

// A machine root of root's own (a development machine, the tests): nothing
// changes owner.
TEST_F(InstalledSetupTest, MachineRootOfRootsOwnChangesNoOwner) {
  Run(Cancel);
  EXPECT_EQ(OwnershipOf((root_.spool() / "out").string()).uid, 0u);
  EXPECT_EQ(OwnershipOf((root_.path() / "registry.reg").string()).uid, 0u);
}

}  // namespace
}  // namespace setwick_test
