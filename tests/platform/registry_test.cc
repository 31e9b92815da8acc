// The POSIX registry: HKEY_LOCAL_MACHINE as $TALLOWMERE_ROOT/registry.reg,
// Windows status codes, atomic replacement under the writers' lock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/regedit_file.h"
#include "platform/test_support.h"
#include "tests/platform/machine_root_fixture.h"

namespace {

using platform::RegAccess;
using platform::RegDisposition;
using platform::RegKey;
using platform::RegRoot;
namespace fs = std::filesystem;

constexpr char kSubkey[] = "SOFTWARE\\Brackwater\\Tallowmere\\1.0";
constexpr char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\n";

class RegistryTest : public MachineRootTest {
 protected:
  RegKey Create(const std::string& path) {
    RegKey key = 0;
    EXPECT_EQ(env_.RegCreate(RegRoot::kLocalMachine, path, &key, nullptr), 0);
    return key;
  }
  RegKey Open(const std::string& path, RegAccess access) {
    RegKey key = 0;
    EXPECT_EQ(env_.RegOpen(RegRoot::kLocalMachine, path, access, &key), 0);
    return key;
  }
  long Set(RegKey key, const std::string& name, std::uint32_t type, const std::string& data) {
    return env_.RegSet(key, name, type, reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<std::uint32_t>(data.size()));
  }
  // The value's type and bytes, or the failing status as text.
  std::string Query(RegKey key, const std::string& name) {
    std::uint32_t type = 0;
    std::vector<unsigned char> data(128 * 1024);
    auto size = static_cast<std::uint32_t>(data.size());
    const long status = env_.RegQuery(key, name, &type, data.data(), &size);
    if (status != 0) return "status " + std::to_string(status);
    return std::to_string(type) + ":" + std::string(data.begin(), data.begin() + size);
  }
  std::string Registry() { return ReadFile(Path("registry.reg")); }
};

TEST_F(RegistryTest, ValuesRoundTripInTheirExactForms) {
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string data;
    const char* line;
  } const cases[] = {
      {"localdomain", platform::kRegSz, std::string("example.com", 12),
       "\"localdomain\"=\"example.com\""},
      {"installdir", platform::kRegSz, std::string("C:\\a \"b\"\\", 10),
       "\"installdir\"=\"C:\\\\a \\\"b\\\"\\\\\""},
      {"q\"\\n", platform::kRegSz, std::string("", 1), "\"q\\\"\\\\n\"=\"\""},
      {"", platform::kRegSz, std::string("default", 8), "@=\"default\""},
      {"nonul", platform::kRegSz, "abc", "\"nonul\"=hex(1):61,62,63"},
      {"reply", platform::kRegSz, std::string("+OK\r\n", 6), "\"reply\"=hex(1):2b,4f,4b,0d,0a,00"},
      {"expand", platform::kRegExpandSz, std::string("%R%\\q", 6),
       "\"expand\"=hex(2):25,52,25,5c,71,00"},
      {"TypesSupported", platform::kRegDword, std::string("\x07\0\0\0", 4),
       "\"TypesSupported\"=dword:00000007"},
      {"big", platform::kRegDword, "\x78\x56\x34\x12", "\"big\"=dword:12345678"},
      {"binary", platform::kRegBinary, std::string("\0\xff", 2), "\"binary\"=hex:00,ff"},
      {"empty", platform::kRegBinary, "", "\"empty\"=hex:"},
  };
  const RegKey key = Create(kSubkey);
  std::string lines;
  for (const Case& c : cases) {
    ASSERT_EQ(Set(key, c.name, c.type, c.data), 0) << c.name;
    lines += std::string(c.line) + "\n";
  }
  EXPECT_EQ(Registry(), std::string("REGEDIT4\n\n") + kSection + lines + "\n");
  EXPECT_EQ(env_.RegClose(key), 0);

  const RegKey reader = Open(kSubkey, RegAccess::kQueryValue);
  for (const Case& c : cases) {
    EXPECT_EQ(Query(reader, c.name), std::to_string(c.type) + ":" + c.data) << c.name;
  }
  env_.RegClose(reader);
}

TEST_F(RegistryTest, CreatesTheRootAndAPrivateFile) {
  EXPECT_FALSE(fs::exists(root_));
  const RegKey key = Create(kSubkey);
  EXPECT_EQ(Mode(root_), fs::perms::owner_all);
  EXPECT_EQ(Mode(Path("registry.reg")), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(Set(key, "poppass", platform::kRegSz, std::string("secret", 7)), 0);
  EXPECT_EQ(Mode(Path("registry.reg")), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::exists(Path("registry.reg.new")));
  env_.RegClose(key);
}

TEST_F(RegistryTest, CreateReportsNewAndExistingKeys) {
  RegKey key = 0;
  RegDisposition disposition{};
  ASSERT_EQ(env_.RegCreate(RegRoot::kLocalMachine, kSubkey, &key, &disposition), 0);
  EXPECT_EQ(disposition, RegDisposition::kCreatedNewKey);
  env_.RegClose(key);
  EXPECT_EQ(Registry(), std::string("REGEDIT4\n\n") + kSection + "\n");
  ASSERT_EQ(env_.RegCreate(RegRoot::kLocalMachine, "software\\BRACKWATER\\tallowmere\\1.0",
                           &key, &disposition), 0);
  EXPECT_EQ(disposition, RegDisposition::kOpenedExistingKey);
  EXPECT_EQ(Set(key, "a", platform::kRegSz, std::string("1", 2)), 0) << "created keys may set";
  env_.RegClose(key);
  // An ancestor exists through its subsection: opened, the file untouched.
  const std::string before = Registry();
  ASSERT_EQ(env_.RegCreate(RegRoot::kLocalMachine, "SOFTWARE\\Brackwater", &key, &disposition), 0);
  EXPECT_EQ(disposition, RegDisposition::kOpenedExistingKey);
  EXPECT_EQ(Registry(), before);
  env_.RegClose(key);
}

TEST_F(RegistryTest, NamesCompareWithoutCase) {
  const RegKey key = Create(kSubkey);
  ASSERT_EQ(Set(key, "LocalDomain", platform::kRegSz, std::string("a", 2)), 0);
  ASSERT_EQ(Set(key, "LOCALDOMAIN", platform::kRegSz, std::string("b", 2)), 0);
  env_.RegClose(key);
  EXPECT_EQ(Registry(), std::string("REGEDIT4\n\n") + kSection + "\"LocalDomain\"=\"b\"\n\n");
  const RegKey reader = Open("Software\\brackwater\\TALLOWMERE\\1.0", RegAccess::kQueryValue);
  EXPECT_EQ(Query(reader, "localdomain"), std::string("1:b", 4));
  env_.RegClose(reader);
}

TEST_F(RegistryTest, KeyExistsThroughASubsection) {
  fs::create_directories(root_);
  WriteFile(Path("registry.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n\"v\"=\"1\"\n");
  struct Case {
    const char* path;
    long status;
  } const cases[] = {{"", 0}, {"SOFTWARE", 0}, {"software\\a", 0}, {"SOFTWARE\\A\\B", 0},
                     {"SOFTWARE\\AB", 2}, {"SOFTWARE\\A\\B\\C", 2}, {"SYSTEM", 2}};
  for (const Case& c : cases) {
    env_.SetLastErrorCode(0);
    RegKey key = 0;
    EXPECT_EQ(env_.RegOpen(RegRoot::kLocalMachine, c.path, RegAccess::kAllAccess, &key),
              c.status) << c.path;
    EXPECT_EQ(env_.LastError(), static_cast<std::uint32_t>(c.status)) << c.path;
    EXPECT_EQ(key == 0, c.status != 0) << c.path;
    if (key != 0) env_.RegClose(key);
  }
  // A key without a section of its own has no values until one is set.
  const RegKey key = Open("SOFTWARE\\A", RegAccess::kAllAccess);
  EXPECT_EQ(Query(key, "v"), "status 2");
  ASSERT_EQ(Set(key, "w", platform::kRegSz, std::string("2", 2)), 0);
  EXPECT_EQ(Query(key, "w"), std::string("1:2", 4));
  env_.RegClose(key);
  EXPECT_EQ(Registry(),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n\"v\"=\"1\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"w\"=\"2\"\n\n");
}

TEST_F(RegistryTest, MissingFileIsAnEmptyRegistry) {
  RegKey key = 0;
  EXPECT_EQ(env_.RegOpen(RegRoot::kLocalMachine, kSubkey, RegAccess::kQueryValue, &key), 2);
  EXPECT_EQ(env_.LastError(), 2u);
  EXPECT_EQ(key, 0u);
  key = Open("", RegAccess::kQueryValue);
  EXPECT_EQ(Query(key, "anything"), "status 2");
  env_.RegClose(key);
  EXPECT_FALSE(fs::exists(root_)) << "readers create nothing";
}

TEST_F(RegistryTest, TooSmallBufferGivesMoreDataAndTheSizeNeeded) {
  const RegKey key = Create(kSubkey);
  ASSERT_EQ(Set(key, "v", platform::kRegSz, std::string("0123456789", 11)), 0);
  unsigned char buffer[16] = {};
  std::uint32_t type = 0;
  std::uint32_t size = 10;
  env_.SetLastErrorCode(0);
  EXPECT_EQ(env_.RegQuery(key, "v", &type, buffer, &size), 234);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(env_.LastError(), 234u);
  size = 11;
  ASSERT_EQ(env_.RegQuery(key, "v", nullptr, buffer, &size), 0);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 11), std::string("0123456789", 11));
  size = 0;
  EXPECT_EQ(env_.RegQuery(key, "v", nullptr, nullptr, &size), 0) << "size only";
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(env_.RegQuery(key, "v", nullptr, buffer, nullptr), 87);
  env_.RegClose(key);
}

TEST_F(RegistryTest, AccessRightsHandlesAndParametersAreChecked) {
  RegKey created = Create(kSubkey);
  ASSERT_EQ(Set(created, "v", platform::kRegSz, std::string("1", 2)), 0);
  env_.RegClose(created);
  const std::string before = Registry();

  const RegKey reader = Open(kSubkey, RegAccess::kQueryValue);
  env_.SetLastErrorCode(0);
  EXPECT_EQ(Set(reader, "v", platform::kRegSz, std::string("2", 2)), 5);
  EXPECT_EQ(env_.LastError(), 5u);
  const RegKey writer = Open(kSubkey, RegAccess::kSetValue);
  EXPECT_EQ(Query(writer, "v"), "status 5");
  EXPECT_EQ(Registry(), before);

  struct Case {
    const char* what;
    long status;
  } const cases[] = {
      {"query without key", env_.RegQuery(0, "v", nullptr, nullptr, nullptr)},
      {"set without key", Set(0, "v", platform::kRegSz, "x")},
      {"close without key", env_.RegClose(0)},
      {"leading backslash", env_.RegOpen(RegRoot::kLocalMachine, "\\SOFTWARE", RegAccess::kAllAccess, &created)},
      {"trailing backslash", env_.RegOpen(RegRoot::kLocalMachine, "SOFTWARE\\", RegAccess::kAllAccess, &created)},
      {"empty component", env_.RegCreate(RegRoot::kLocalMachine, "SOFTWARE\\\\X", &created, nullptr)},
      {"line end in key", env_.RegCreate(RegRoot::kLocalMachine, "SOFTWARE\nX", &created, nullptr)},
      {"no key pointer", env_.RegOpen(RegRoot::kLocalMachine, kSubkey, RegAccess::kAllAccess, nullptr)},
      {"line end in name", Set(writer, "a\nb", platform::kRegSz, "x")},
      {"CR in name", Set(writer, "a\rb", platform::kRegSz, "x")},
      {"no data", env_.RegSet(writer, "v", platform::kRegSz, nullptr, 2)},
  };
  const long expected[] = {6, 6, 6, 87, 87, 87, 87, 87, 87, 87, 87};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].status, expected[i]) << cases[i].what;
  }
  EXPECT_EQ(Registry(), before);
  env_.RegClose(reader);
  env_.RegClose(writer);
}

TEST_F(RegistryTest, DamagedFileReadsWhatCanBeReadAndIsRewrittenClean) {
  fs::create_directories(root_);
  std::string junk = "REGEDIT4\n\x01\x02garbage\xff\n";
  for (int b = 0; b < 256; ++b) junk.push_back(static_cast<char>(b));
  junk += std::string("\n") + kSection + "\"a\"=hex:01,02,\\\n\"b\"=\"kept\"\n\"c\"=hex(2):41,4";
  WriteFile(Path("registry.reg"), junk);
  RegKey key = Open(kSubkey, RegAccess::kAllAccess);
  EXPECT_EQ(Query(key, "a"), "status 2");
  EXPECT_EQ(Query(key, "b"), std::string("1:kept", 7));
  EXPECT_EQ(Query(key, "c"), "status 2");
  ASSERT_EQ(Set(key, "d", platform::kRegDword, std::string("\1\0\0\0", 4)), 0);
  env_.RegClose(key);
  EXPECT_EQ(Registry(), std::string("REGEDIT4\n\n") + kSection +
                            "\"b\"=\"kept\"\n\"d\"=dword:00000001\n\n");
}

TEST_F(RegistryTest, UnusableFilesFailWithTheirCodes) {
  struct Case {
    const char* title;
    const char* directory;  // made a directory inside the root
    long open_status;
    long set_status;
  } const cases[] = {
      {"registry file", "registry.reg", 5, 5},
      {"lock file", "registry.reg.lock", 0, 5},
      {"temporary file", "registry.reg.new", 0, 5},
  };
  for (const Case& c : cases) {
    fs::remove_all(root_);
    fs::create_directories(root_ / c.directory);
    env_.SetLastErrorCode(0);
    RegKey key = 0;
    EXPECT_EQ(env_.RegOpen(RegRoot::kLocalMachine, "", RegAccess::kAllAccess, &key),
              c.open_status) << c.title;
    if (key == 0) continue;
    EXPECT_EQ(Set(key, "v", platform::kRegSz, "x"), c.set_status) << c.title;
    EXPECT_EQ(env_.LastError(), static_cast<std::uint32_t>(c.set_status)) << c.title;
    EXPECT_FALSE(fs::exists(Path("registry.reg"))) << c.title;
    env_.RegClose(key);
  }
  // A machine root that is a regular file.
  fs::remove_all(root_);
  WriteFile(root_, "");
  RegKey key = 0;
  EXPECT_EQ(env_.RegCreate(RegRoot::kLocalMachine, kSubkey, &key, nullptr), 3);
}

TEST_F(RegistryTest, ReadersNeverSeeHalfAFileAndWritersLoseNothing) {
  const RegKey key = Create(kSubkey);
  const std::string padding(16 * 1024, 'p');  // more than a page
  ASSERT_EQ(Set(key, "pad", platform::kRegSz, padding + '\0'), 0);
  constexpr int kWrites = 200;
  auto writer = [&](const std::string& name) {
    for (int i = 1; i <= kWrites; ++i) {
      const std::uint32_t n = static_cast<std::uint32_t>(i);
      ASSERT_EQ(env_.RegSet(key, name, platform::kRegDword,
                            reinterpret_cast<const unsigned char*>(&n), 4), 0);
    }
  };
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    const RegKey own = Open(kSubkey, RegAccess::kQueryValue);
    while (!done.load()) {
      const std::string text = Registry();
      const platform::regedit::Document document = platform::regedit::Parse(text);
      ASSERT_TRUE(platform::regedit::Serialize(document) == text) << "a torn file";
      EXPECT_TRUE(Query(own, "pad") == "1:" + padding + '\0');
      ++reads;
    }
    env_.RegClose(own);
  });
  std::thread first(writer, "first");
  std::thread second(writer, "second");
  first.join();
  second.join();
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(Query(key, "first"), std::string("4:\xc8\0\0\0", 6));
  EXPECT_EQ(Query(key, "second"), std::string("4:\xc8\0\0\0", 6));
  env_.RegClose(key);
}

// On an installed machine root saves through setwick while the gateway reads
// as the machine root's owner: a replaced file keeps its owner, group and
// mode; a first file written by root belongs to the machine root's owner.
TEST_F(RegistryTest, WriterKeepsTheOwnerGroupAndModeOfTheFileItReplaces) {
  if (!platform::testing::RunningAsRoot()) GTEST_SKIP() << "changing owners needs root";
  using platform::testing::FileOwnership;
  using platform::testing::OwnershipOf;
  const RegKey key = Create(kSubkey);
  ASSERT_EQ(Set(key, "poppass", platform::kRegSz, std::string("old", 4)), 0);
  const std::string file = Path("registry.reg");
  ASSERT_EQ(OwnershipOf(file), (FileOwnership{0, 0, 0600}));  // root's machine root: root's
  ASSERT_TRUE(platform::testing::SetOwner(file, 4711, 4712));
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  ASSERT_EQ(Set(key, "poppass", platform::kRegSz, std::string("new", 4)), 0);
  EXPECT_EQ(OwnershipOf(file), (FileOwnership{4711, 4712, 0640}));
  EXPECT_NE(Registry().find("\"poppass\"=\"new\""), std::string::npos) << Registry();
  EXPECT_FALSE(fs::exists(Path("registry.reg.new")));
  env_.RegClose(key);
}

TEST_F(RegistryTest, FirstFileWrittenByRootBelongsToTheMachineRootsOwner) {
  if (!platform::testing::RunningAsRoot()) GTEST_SKIP() << "changing owners needs root";
  using platform::testing::FileOwnership;
  using platform::testing::OwnershipOf;
  fs::create_directory(root_);
  ASSERT_TRUE(platform::testing::SetOwner(root_.string(), 4711, 4712));
  const RegKey key = Create(kSubkey);
  ASSERT_EQ(Set(key, "installdir", platform::kRegSz, std::string("/etc/tallowmere", 16)), 0);
  EXPECT_EQ(OwnershipOf(Path("registry.reg")), (FileOwnership{4711, 4712, 0600}));
  EXPECT_EQ(OwnershipOf(Path("registry.reg.lock")), (FileOwnership{4711, 4712, 0600}));
  env_.RegClose(key);
}

// The machine root belongs to the gateway's user, who may plant links there
// for root's next save: root writes through none of them and hands none of
// their targets over.
TEST_F(RegistryTest, RootFollowsNoLinkPlantedInTheMachineRoot) {
  if (!platform::testing::RunningAsRoot()) GTEST_SKIP() << "changing owners needs root";
  using platform::testing::FileOwnership;
  using platform::testing::OwnershipOf;
  fs::create_directory(root_);
  const fs::path victim = base_ / "victim";
  WriteFile(victim, "untouched");
  fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(victim, Path("registry.reg.new"));
  fs::create_hard_link(victim, Path("registry.reg.lock"));
  ASSERT_TRUE(platform::testing::SetOwner(root_.string(), 4711, 4712));

  const RegKey key = Create(kSubkey);
  ASSERT_EQ(Set(key, "poppass", platform::kRegSz, std::string("secret", 7)), 0);
  EXPECT_EQ(ReadFile(victim), "untouched");
  EXPECT_EQ(OwnershipOf(victim.string()), (FileOwnership{0, 0, 0600}));
  EXPECT_EQ(OwnershipOf(Path("registry.reg")), (FileOwnership{4711, 4712, 0600}));
  EXPECT_NE(Registry().find("\"poppass\"=\"secret\""), std::string::npos);

  // A symbolic link in the registry file's place is replaced, not followed.
  fs::remove(Path("registry.reg"));
  fs::create_symlink(victim, Path("registry.reg"));
  ASSERT_EQ(Set(key, "poppass", platform::kRegSz, std::string("other", 6)), 0);
  env_.RegClose(key);
  EXPECT_EQ(ReadFile(victim), "untouched");
  EXPECT_EQ(OwnershipOf(Path("registry.reg")), (FileOwnership{4711, 4712, 0600}));
}

}  // namespace
