// Product information, the about box and the platform's figures.
#include <gtest/gtest.h>

#include "config/config_app.h"
#include "config/figures.h"
#include "config/resources.h"
#include "tests/config/scripted_dialogs.h"

namespace setwick_test {
namespace {

using setwick::ConfigApp;

struct VersionCase {
  const char* name;
  bool setwick_found;
  const char* setwick_version;  // nullptr: record without ProductVersion
  bool quillon_found;
  const char* label_1009;
  const char* label_1010;
};

class ProductInformationTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ProductInformationTest, LabelsShowTheVersionsFound) {
  const VersionCase& c = GetParam();
  FakeMachine machine;
  if (c.setwick_found) {
    auto& record = machine.version_records["Setwick.exe"];
    record["FileVersion"] = "1.2.7.0";
    if (c.setwick_version) record["ProductVersion"] = c.setwick_version;
  }
  if (c.quillon_found) {
    machine.version_records["Quillon.exe"] = {{"FileVersion", "1.5.0.0"}, {"ProductVersion", "1.5.0"}};
  }
  ScriptedHost host;
  host.Expect([&](ScriptedWindow& w) {
    EXPECT_EQ(w.ItemText(setwick::kSetwickVersionLabel), c.label_1009);
    EXPECT_EQ(w.ItemText(setwick::kQuillonVersionLabel), c.label_1010);
    return platform::kIdCancel;
  });
  ConfigApp(host).Run();
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ProductInformationTest,
    ::testing::Values(VersionCase{"BothFound", true, "1.2.7.0", true, "1.2.7.0", "1.5.0"},
                      VersionCase{"GatewayMissing", true, "1.2.7.0", false, "1.2.7.0", "Not Found"},
                      VersionCase{"OwnMissing", false, nullptr, true, "Not Found", "Not Found"},
                      VersionCase{"OwnWithoutEntry", true, nullptr, true, "Not Found", "1.5.0"}),
    [](const auto& info) { return std::string(info.param.name); });

// The about box, opened from the settings dialog's system menu.
class AboutTest : public ::testing::Test {
 protected:
  // The texts of 1006 and 1007.
  std::pair<std::string, std::string> Open() {
    std::pair<std::string, std::string> shown;
    host.Expect([](ScriptedWindow& w) {
      w.SystemCommand(setwick::kAboutCommand);
      return platform::kIdCancel;
    });
    host.Expect([&](ScriptedWindow& w) {
      shown = {w.ItemText(setwick::kMemoryLabel), w.ItemText(setwick::kDiskLabel)};
      EXPECT_EQ(w.dialog().caption, "About Setwick");
      return w.PressOk();
    });
    ConfigApp(host).Run();
    return shown;
  }

  FakeMachine machine;
  ScriptedHost host;
};

TEST_F(AboutTest, MemoryFigures) {
  struct Case {
    std::uint64_t bytes;
    const char* shown;
  };
  for (const Case& c : {Case{64ull << 20, "65536 KB"},
                        // 4 GB and more: a 32-bit take would show 0 and 1024 KB
                        Case{4ull << 30, "4194304 KB"},
                        Case{(8ull << 30) + (1 << 20), "8389632 KB"},
                        Case{1023, "0 KB"}}) {
    machine.memory.total_physical_bytes = c.bytes;
    EXPECT_EQ(Open().first, c.shown) << c.bytes;
  }
}

TEST_F(AboutTest, MemoryThatCannotBeQueriedKeepsTheTemplateText) {
  machine.memory_ok = false;
  EXPECT_EQ(Open().first, "Memory");
}

TEST_F(AboutTest, DiskFigures) {
  struct Case {
    int drive;
    platform::DiskFree free;
    const char* root;
    const char* shown;
  };
  for (const Case& c : {Case{3, {1310720, 8, 512}, "C:\\", "5242880 KB Free on C:"},
                        Case{4, {5ull << 30, 1, 1}, "D:\\", "5242880 KB Free on D:"},
                        Case{1, {1ull << 32, 8, 4096}, "A:\\", "137438953472 KB Free on A:"},
                        Case{3, {0, 1, 4096}, "C:\\", "0 KB Free on C:"}}) {
    machine.drive = c.drive;
    machine.disk = c.free;
    EXPECT_EQ(Open().second, c.shown);
    EXPECT_EQ(machine.disk_root_asked, c.root);
  }
}

TEST_F(AboutTest, DiskThatCannotBeQueriedIsUnavailable) {
  machine.disk_ok = false;
  EXPECT_EQ(Open().second, "Unavailable");
}

TEST(FigureFormat, StringTableFormatsTakeWhole64BitFigures) {
  EXPECT_EQ(setwick::FormatFigure("%lu KB", 0), "0 KB");
  EXPECT_EQ(setwick::FormatFigure("%lu KB", 4294967296ull), "4294967296 KB");
  EXPECT_EQ(setwick::FormatFigure("%lu KB", 18446744073709551615ull), "18446744073709551615 KB");
  EXPECT_EQ(setwick::FormatFigure("%lu KB Free on %c:", 5242880, 'C'), "5242880 KB Free on C:");
}

TEST(Resources, StringTable) {
  const platform::ProgramResources& r = setwick::Resources();
  EXPECT_EQ(r.name, "Setwick");
  EXPECT_EQ(r.icon_id, 128);
  EXPECT_EQ(r.strings, (std::map<int, std::string>{{101, "&About Setwick..."},
                                                   {103, "%lu KB"},
                                                   {104, "%lu KB Free on %c:"},
                                                   {105, "Unavailable"}}));
  EXPECT_EQ(r.LoadString(102), "");
}

// The real backend: the program files of this build carry their records.
TEST(PlatformFigures, VersionRecordsOfTheBuiltPrograms) {
  platform::Env* env = platform::Env::Default();
  std::map<std::string, std::string> record;
  ASSERT_TRUE(env->ReadVersionRecord("Setwick.exe", &record));
  EXPECT_EQ(record["ProductVersion"], "1.2.7.0");
  EXPECT_EQ(record["FileVersion"], "1.2.7.0");
  ASSERT_TRUE(env->ReadVersionRecord("QUILLON.EXE", &record));
  EXPECT_EQ(record["ProductVersion"], "1.5.0");
  EXPECT_EQ(record["FileVersion"], "1.5.0.0");
  // Found, but without a record: this test program itself.
  EXPECT_FALSE(env->ReadVersionRecord("config_test.exe", &record));
  EXPECT_FALSE(env->ReadVersionRecord("No_Such_Program.exe", &record));
  EXPECT_EQ(env->LastError(), platform::kErrorFileNotFound);
}

TEST(PlatformFigures, MemoryAndDisk) {
  platform::Env* env = platform::Env::Default();
  platform::MemoryStatus memory;
  ASSERT_TRUE(env->QueryMemory(&memory));
  EXPECT_GT(memory.total_physical_bytes, 16ull << 20);
  EXPECT_EQ(env->CurrentDrive(), 3);
  platform::DiskFree free;
  ASSERT_TRUE(env->QueryDiskFree("C:\\", &free));
  EXPECT_EQ(free.sectors_per_cluster, 1u);
  EXPECT_GE(free.bytes_per_sector, 512u);
}

TEST(DialogLayer, RadioGroupRunsFromItsStartToTheNextGroupStart) {
  EXPECT_EQ(platform::RadioGroup(setwick::SettingsTemplate(), 1012),
            (std::vector<int>{1012, 1013, 1014, 1016}));
  EXPECT_TRUE(platform::RadioGroup(setwick::SettingsTemplate(), 1000).empty());
  platform::DialogTemplate two = setwick::SettingsTemplate();
  two.controls[20].style |= platform::kStyleGroup;  // 1014 starts a group of its own
  EXPECT_EQ(platform::RadioGroup(two, 1012), (std::vector<int>{1012, 1013}));
  EXPECT_EQ(platform::RadioGroup(two, 1014), (std::vector<int>{1014, 1016}));
}

// The group a clicked button unchecks: the disabled "0 - None" belongs to it.
TEST(DialogLayer, RadioGroupOfAButtonHoldsItsWholeGroup) {
  const std::vector<int> all{1012, 1013, 1014, 1016};
  for (int id : all) EXPECT_EQ(platform::RadioGroupOf(setwick::SettingsTemplate(), id), all) << id;
  EXPECT_TRUE(platform::RadioGroupOf(setwick::SettingsTemplate(), 1000).empty());
  EXPECT_TRUE(platform::RadioGroupOf(setwick::SettingsTemplate(), 1015).empty());
  platform::DialogTemplate two = setwick::SettingsTemplate();
  two.controls[20].style |= platform::kStyleGroup;  // 1014 starts a group of its own
  EXPECT_EQ(platform::RadioGroupOf(two, 1013), (std::vector<int>{1012, 1013}));
  EXPECT_EQ(platform::RadioGroupOf(two, 1016), (std::vector<int>{1014, 1016}));
}

TEST(DialogLayer, MinimisedIconIsCentred) {
  const platform::DialogRect r = platform::MinimisedIconPlace(36, 36, 32, 32);
  EXPECT_EQ(r.x, 2);
  EXPECT_EQ(r.y, 2);
  const platform::DialogRect odd = platform::MinimisedIconPlace(37, 40, 32, 32);
  EXPECT_EQ(odd.x, 3);
  EXPECT_EQ(odd.y, 4);
}

}  // namespace
}  // namespace setwick_test
