// The resources of Quillon.exe as Windows itself reads them, under Wine: the
// message table that the event viewer formats each entry with, and the
// version record that Setwick shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/windows/wine.h"

namespace {

using testing_support::OnPath;
using testing_support::QuillonExe;
using testing_support::ReadFileBytes;
using testing_support::Wine;
using testing_support::WindowsPath;

std::filesystem::path ResourceReader() {
  return std::filesystem::path(TALLOWMERE_WINDOWS_BIN_DIR) / "resource_reader.exe";
}

// One Wine prefix for the suite: each reading is a short program.
class QuillonResourcesUnderWineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!OnPath("wine") || !std::filesystem::exists(QuillonExe()) ||
        !std::filesystem::exists(ResourceReader())) {
      return;
    }
    root_ = new testing_support::MachineRoot();
    wine_ = new Wine(root_->path() / "wineprefix");
  }
  static void TearDownTestSuite() {
    delete wine_;
    wine_ = nullptr;
    delete root_;
    root_ = nullptr;
  }
  void SetUp() override {
    if (wine_ == nullptr) {
      GTEST_SKIP() << "needs wine, " << QuillonExe() << " and " << ResourceReader();
    }
  }

  // What resource_reader printed; exit_code its exit code.
  static std::string Read(const std::vector<std::string>& arguments, int* exit_code) {
    std::vector<std::string> argv{ResourceReader().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::filesystem::path output = root_->path() / "reader.out";
    const platform::testing::ProcessResult run =
        wine_->Run(argv, root_->path() / "reader.log", output);
    *exit_code = run.exited ? run.exit_code : -1;
    return ReadFileBytes(output);
  }

  static testing_support::MachineRoot* root_;
  static Wine* wine_;
};

testing_support::MachineRoot* QuillonResourcesUnderWineTest::root_ = nullptr;
Wine* QuillonResourcesUnderWineTest::wine_ = nullptr;

TEST_F(QuillonResourcesUnderWineTest, EventZeroReadsAsItsTwoStringsOnTwoLines) {
  struct Case {
    const char* name;
    std::string error_text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"an entry of the keep-alive", "Tallowmere error: 10061",
       " - KeepAlive - Connect failed to Exchange Server"},
      {"insertion marks in a string stay as they are", "Tallowmere error: 0",
       " - SendMail - Recv failed - RCPT TO:<%1@%%.%n.COM>"},
      {"an empty message", "Tallowmere error: 0", ""},
      {"a long message", "Tallowmere error: 2", " - ParseMsgs - " + std::string(3000, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int exit_code = -1;
    const std::string text =
        Read({"message", WindowsPath(QuillonExe()), "0", c.error_text, c.message}, &exit_code);
    EXPECT_EQ(exit_code, 0) << text;
    EXPECT_EQ(text, c.error_text + "\r\n" + c.message);
  }
}

TEST_F(QuillonResourcesUnderWineTest, TheVersionRecordIsUnchanged) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"FileDescription", "Tallowmere mail gateway"},
      {"FileVersion", "1.5.0.0"},
      {"OriginalFilename", "Quillon.exe"},
      {"ProductName", "Tallowmere"},
      {"ProductVersion", "1.5.0"},
  };
  for (const auto& [name, value] : values) {
    SCOPED_TRACE(name);
    int exit_code = -1;
    EXPECT_EQ(Read({"version", WindowsPath(QuillonExe()), name}, &exit_code), value);
    EXPECT_EQ(exit_code, 0);
  }
}

}  // namespace
