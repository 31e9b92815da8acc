// The Windows installer, Tallowmere-<version>-setup.exe as built into
// build-win, installed (twice) and uninstalled silently in a fresh Wine prefix
// that already holds settings and an administrator's maillist.txt (as an
// upgrade finds them), with the installed Setwick.exe started in between.
//
// Wine's task scheduler keeps the task's registration and settings but
// neither its trigger, nor its account, nor its command, and runs nothing:
// the definition handed to schtasks is checked from the file that the
// installation keeps beside the programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/machine_root.h"
#include "tests/windows/wine.h"

namespace {

using testing_support::OnPath;
using testing_support::ReadFileBytes;
using testing_support::WindowsPath;
using testing_support::WriteFileBytes;

const std::filesystem::path kBin = TALLOWMERE_WINDOWS_BIN_DIR;
const std::filesystem::path kInstaller = TALLOWMERE_WINDOWS_INSTALLER;
const char kSettingsKey[] = "HKLM\\SOFTWARE\\Brackwater\\Tallowmere\\1.0";
const char kConnectorKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters";
const char kUninstallKey[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tallowmere";
const char kInstallDir[] = "C:\\Program Files\\Brackwater\\Tallowmere";

// A UTF-16LE text of ASCII characters as single bytes.
std::string Narrow(const std::string& utf16) {
  std::string text;
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) text += utf16[i];
  return text;
}

class InstallerUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("wine") || !OnPath("Xvfb") || !std::filesystem::exists(kInstaller) ||
        !std::filesystem::exists(kBin / "dialog_driver.exe")) {
      GTEST_SKIP() << "needs wine, Xvfb, " << kInstaller << " and dialog_driver.exe";
    }
    display_.emplace(root_.path());
    ASSERT_FALSE(display_->name().empty()) << ReadFileBytes(root_.path() / "xvfb.log");
    wine_.emplace(root_.path() / "wineprefix", display_->name());
  }

  platform::testing::ProcessResult Run(const std::vector<std::string>& argv) {
    return wine_->Run(argv, root_.path() / "wine.log");
  }
  std::filesystem::path InstallDir() const {
    return wine_->DriveC() / "Program Files" / "Brackwater" / "Tallowmere";
  }
  std::filesystem::path StartMenu() const {
    return wine_->DriveC() / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Programs" /
           "Tallowmere";
  }
  std::filesystem::path Task() const {
    return wine_->DriveC() / "windows" / "system32" / "tasks" / "Tallowmere Gateway";
  }
  std::filesystem::path Spool() const {
    return wine_->DriveC() / "ProgramData" / "Brackwater" / "Tallowmere" / "quillon";
  }

  testing_support::MachineRoot root_;
  std::optional<testing_support::VirtualDisplay> display_;
  std::optional<testing_support::Wine> wine_;
};

TEST_F(InstallerUnderWineTest, InstallsKeepsTheSettingsAndUninstallsLeavingSettingsAndSpool) {
  // What an earlier installation left: settings and the administrator's list.
  WriteFileBytes(root_.path() / "earlier.reg",
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\r\n"
                 "\"popname\"=\"site\"\r\n\"loglevel\"=\"3\"\r\n\"smtpmode\"=\"\"\r\n\r\n");
  const platform::testing::ProcessResult imported =
      Run({"regedit", "/S", WindowsPath(root_.path() / "earlier.reg")});
  ASSERT_TRUE(imported.exited && imported.exit_code == 0);
  std::filesystem::create_directories(InstallDir());
  WriteFileBytes(InstallDir() / "maillist.txt", "news@lists.example.org\r\n");

  // Twice: the second run upgrades the first installation (its files, its
  // task) in place.
  for (int run = 0; run < 2; ++run) {
    const platform::testing::ProcessResult installed = Run({kInstaller.string(), "/S"});
    ASSERT_TRUE(installed.exited) << (installed.timed_out ? "timed out" : "killed");
    ASSERT_EQ(installed.exit_code, 0) << run << ReadFileBytes(root_.path() / "wine.log");
  }

  for (const char* program : {"Quillon.exe", "Setwick.exe"}) {
    EXPECT_EQ(ReadFileBytes(InstallDir() / program), ReadFileBytes(kBin / program)) << program;
  }
  EXPECT_TRUE(std::filesystem::exists(InstallDir() / "Uninstall.exe"));
  EXPECT_EQ(ReadFileBytes(InstallDir() / "maillist.txt"), "news@lists.example.org\r\n");
  EXPECT_TRUE(std::filesystem::exists(StartMenu() / "Setwick.lnk"));

  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "installdir"), kInstallDir);
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "popname"), "site");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "loglevel"), "3");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "exchangedir"), std::nullopt);
  // The administrator's choice of the gateway's own conversation stays.
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "smtpmode"), "");
  // No mail connector on this machine: the spool gets a root of its own.
  EXPECT_EQ(wine_->RegistryValue(kConnectorKey, "RootDir"), "C:\\ProgramData\\Brackwater\\Tallowmere");
  EXPECT_EQ(wine_->RegistryValue(kUninstallKey, "DisplayName"), "Tallowmere");
  EXPECT_EQ(wine_->RegistryValue(kUninstallKey, "DisplayVersion"), TALLOWMERE_VERSION);
  EXPECT_EQ(wine_->RegistryValue(kUninstallKey, "QuietUninstallString"),
            "\"" + std::string(kInstallDir) + "\\Uninstall.exe\" /S");

  // The task as registered, and the definition it was registered from.
  const std::string task = ReadFileBytes(Task());
  EXPECT_NE(task.find("<Description>Runs the Tallowmere mail gateway every 15 minutes.</Description>"),
            std::string::npos) << task;
  EXPECT_NE(task.find("<Enabled>true</Enabled>"), std::string::npos) << task;
  const std::string definition = ReadFileBytes(InstallDir() / "gateway-task.xml");
  ASSERT_GE(definition.size(), 2u);
  EXPECT_EQ(definition.substr(0, 2), "\xFF\xFE");  // UTF-16LE
  const std::string text = Narrow(definition.substr(2));
  for (const std::string& part :
       {std::string("<Interval>PT15M</Interval>"), std::string("<UserId>S-1-5-18</UserId>"),
        "<Command>\"" + std::string(kInstallDir) + "\\Quillon.exe\"</Command>",
        std::string("<Enabled>true</Enabled>\r\n    </TimeTrigger>")}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }

  // Setwick finds the settings key and the connector, shows both versions,
  // and sets up the spool and the event-log source.
  EXPECT_EQ(wine_->DriveDialog(InstallDir() / "Setwick.exe", "Setwick",
                               {"wait:1012", "text:1009", "text:1010", "press:2", "gone"}),
            "text 1009: 1.2.7.0\ntext 1010: " TALLOWMERE_VERSION "\n");
  EXPECT_TRUE(std::filesystem::is_directory(Spool() / "out"));
  EXPECT_EQ(wine_->RegistryValue(
                "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tallowmere",
                "EventMessageFile"),
            std::string(kInstallDir) + "\\quillon.exe");
  WriteFileBytes(Spool() / "out" / "waiting", "To: a@example.com\n\nmail\n");

  // The uninstaller runs from a copy of itself: wait for the prefix to idle.
  const platform::testing::ProcessResult uninstalled = Run({(InstallDir() / "Uninstall.exe").string(), "/S"});
  ASSERT_TRUE(uninstalled.exited && uninstalled.exit_code == 0);
  ASSERT_TRUE(wine_->WaitIdle());

  for (const char* file : {"Quillon.exe", "Setwick.exe", "Uninstall.exe", "gateway-task.xml"}) {
    EXPECT_FALSE(std::filesystem::exists(InstallDir() / file)) << file;
  }
  EXPECT_FALSE(std::filesystem::exists(StartMenu()));
  EXPECT_FALSE(std::filesystem::exists(Task()));
  EXPECT_FALSE(wine_->RegistryKeyExists(kUninstallKey));
  EXPECT_EQ(ReadFileBytes(InstallDir() / "maillist.txt"), "news@lists.example.org\r\n");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "installdir"), kInstallDir);
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "popname"), "site");
  EXPECT_EQ(wine_->RegistryValue(kConnectorKey, "RootDir"), "C:\\ProgramData\\Brackwater\\Tallowmere");
  EXPECT_EQ(ReadFileBytes(Spool() / "out" / "waiting"), "To: a@example.com\n\nmail\n");
}

TEST_F(InstallerUnderWineTest, AFirstInstallationSpeaksStandardSmtpAndAnUpgradeKeepsTheKeysChoice) {
  EXPECT_FALSE(wine_->RegistryKeyExists(kSettingsKey));
  const platform::testing::ProcessResult installed = Run({kInstaller.string(), "/S"});
  ASSERT_TRUE(installed.exited && installed.exit_code == 0) << ReadFileBytes(root_.path() / "wine.log");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "smtpmode"), "standard");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "installdir"), kInstallDir);

  // A key as an installation older than the value left it: still without.
  const platform::testing::ProcessResult deleted =
      Run({"reg", "delete", kSettingsKey, "/v", "smtpmode", "/f"});
  ASSERT_TRUE(deleted.exited && deleted.exit_code == 0);
  ASSERT_EQ(wine_->RegistryValue(kSettingsKey, "smtpmode"), std::nullopt);
  const platform::testing::ProcessResult upgraded = Run({kInstaller.string(), "/S"});
  ASSERT_TRUE(upgraded.exited && upgraded.exit_code == 0) << ReadFileBytes(root_.path() / "wine.log");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "smtpmode"), std::nullopt);
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "installdir"), kInstallDir);
}

}  // namespace
