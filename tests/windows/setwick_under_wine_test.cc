// The Windows configuration program, Setwick.exe as cross-compiled into
// build-win, run under Wine on a display of its own (Xvfb), its dialog worked
// through its controls by the test tool dialog_driver.exe.
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

const std::filesystem::path kBin = TALLOWMERE_WINDOWS_BIN_DIR;
const char kSettingsKey[] = "HKLM\\SOFTWARE\\Brackwater\\Tallowmere\\1.0";

// A text as a REGEDIT4 file writes it: backslashes doubled.
std::string RegText(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return escaped;
}

class SetwickUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("wine") || !OnPath("Xvfb") || !std::filesystem::exists(kBin / "Setwick.exe") ||
        !std::filesystem::exists(kBin / "dialog_driver.exe")) {
      GTEST_SKIP() << "needs wine, Xvfb, Setwick.exe and dialog_driver.exe in " << kBin;
    }
    display_.emplace(root_.path());
    ASSERT_FALSE(display_->name().empty()) << ReadFileBytes(root_.path() / "xvfb.log");
    wine_.emplace(root_.path() / "wineprefix", display_->name());
  }

  // Imports a REGEDIT4 text into the prefix's registry.
  void Import(const std::string& text) {
    testing_support::WriteFileBytes(root_.path() / "import.reg", text);
    const platform::testing::ProcessResult imported =
        wine_->Run({"regedit", "/S", WindowsPath(root_.path() / "import.reg")}, Log());
    ASSERT_TRUE(imported.exited && imported.exit_code == 0) << ReadFileBytes(Log());
  }

  std::filesystem::path Log(const std::string& name = "wine.log") const { return root_.path() / name; }

  testing_support::MachineRoot root_;
  std::optional<testing_support::VirtualDisplay> display_;
  std::optional<testing_support::Wine> wine_;
};

// With a stored level of 0 the disabled "0 - None" shows checked; a click on
// "2 - Log/Archive" must leave only that one checked, and "OK" saves it.
// (Windows' automatic radio buttons pass over a disabled one when they
// uncheck their group.)
TEST_F(SetwickUnderWineTest, LevelClickedFromNoneIsTheOneSaved) {
  std::filesystem::create_directories(root_.exchangedir());
  Import("REGEDIT4\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\r\n"
         "\"installdir\"=\"C:\\\\Tallowmere\"\r\n"
         "\"localdomain\"=\"example.com\"\r\n"
         "\"loglevel\"=\"0\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters]\r\n"
         "\"RootDir\"=\"" + RegText(WindowsPath(root_.exchangedir())) + "\"\r\n\r\n");

  EXPECT_EQ(wine_->DriveDialog(kBin / "Setwick.exe", "Setwick", {"wait:1012", "checked", "click:1014", "checked", "press:1", "box", "gone"}),
            "checked: 1012\n"
            "checked: 1014\n"
            "box: Tallowmere Configured\n");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "loglevel"), "2");
  EXPECT_EQ(wine_->RegistryValue(kSettingsKey, "localdomain"), "example.com");
  EXPECT_TRUE(std::filesystem::is_directory(root_.spool() / "Archive"));
}

}  // namespace
