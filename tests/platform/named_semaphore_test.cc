// Named semaphores on POSIX: "already exists" while another handle holds the
// lock file, free again once it is closed or its process is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/platform/machine_root_fixture.h"

namespace {

namespace fs = std::filesystem;
using platform::Handle;

constexpr char kHoldLock[] = "TALLOWMERE_TEST_HOLD_LOCK";

// Started again by LockDiesWithItsProcess with kHoldLock naming a file: this
// process takes POP3LOCK, writes the outcome to that file and waits to be
// killed, before any test runs.
const bool kHolder = [] {
  const char* report = std::getenv(kHoldLock);
  if (report == nullptr) return false;
  platform::Env& env = *platform::Env::Default();
  const Handle handle = env.CreateNamedSemaphore("POP3LOCK", 1, 1);
  std::ofstream(report) << (handle != 0 && env.LastError() == 0 ? "held" : "failed");
  std::this_thread::sleep_for(std::chrono::seconds(30));
  std::exit(1);
}();

class NamedSemaphoreTest : public MachineRootTest {
 protected:
  // The handle and the last error it left.
  std::pair<bool, std::uint32_t> Create(const std::string& name, Handle* handle) {
    env_.SetLastErrorCode(99);
    *handle = env_.CreateNamedSemaphore(name, 1, 1);
    return {*handle != 0, env_.LastError()};
  }
};

TEST_F(NamedSemaphoreTest, SecondHandleSeesAlreadyExistsUntilTheFirstCloses) {
  Handle first = 0, second = 0, third = 0, other = 0;
  EXPECT_EQ(Create("POP3LOCK", &first), std::make_pair(true, 0u));
  EXPECT_TRUE(fs::is_regular_file(Path("locks/POP3LOCK")));
  EXPECT_EQ(Mode(root_), fs::perms::owner_all);
  EXPECT_EQ(Create("POP3LOCK", &second), std::make_pair(true, 183u));
  EXPECT_EQ(Create("OTHERLOCK", &other), std::make_pair(true, 0u)) << "names are separate";
  // Closing a handle that never held the lock leaves the holder's lock.
  EXPECT_TRUE(env_.CloseHandleValue(second));
  EXPECT_EQ(Create("POP3LOCK", &second), std::make_pair(true, 183u));
  EXPECT_TRUE(env_.CloseHandleValue(second));
  EXPECT_TRUE(env_.CloseHandleValue(first));
  EXPECT_EQ(Create("POP3LOCK", &third), std::make_pair(true, 0u));
  EXPECT_TRUE(env_.CloseHandleValue(third));
  EXPECT_TRUE(env_.CloseHandleValue(other));
}

// A lock file left by a run as root must not lock the gateway's user out.
TEST_F(NamedSemaphoreTest, RootLeavesTheLockFileToTheMachineRootsOwner) {
  if (!platform::testing::RunningAsRoot()) GTEST_SKIP() << "changing owners needs root";
  using platform::testing::FileOwnership;
  using platform::testing::OwnershipOf;
  fs::create_directory(root_);
  ASSERT_TRUE(platform::testing::SetOwner(root_.string(), 4711, 4712));
  Handle handle = 0;
  EXPECT_EQ(Create("POP3LOCK", &handle), std::make_pair(true, 0u));
  EXPECT_TRUE(env_.CloseHandleValue(handle));
  EXPECT_EQ(OwnershipOf(Path("locks")), (FileOwnership{4711, 4712, 0700}));
  EXPECT_EQ(OwnershipOf(Path("locks/POP3LOCK")), (FileOwnership{4711, 4712, 0600}));
}

TEST_F(NamedSemaphoreTest, LockDiesWithItsProcess) {
  const fs::path report = base_ / "holder-report";
  auto holder = platform::testing::ChildProcess::Start(
      {TALLOWMERE_BIN_DIR "/platform_lock_test"}, {std::string(kHoldLock) + "=" + report.string()});
  ASSERT_NE(holder, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadFile(report).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(ReadFile(report), "held");
  Handle handle = 0;
  EXPECT_EQ(Create("POP3LOCK", &handle), std::make_pair(true, 183u));
  env_.CloseHandleValue(handle);
  holder->Kill();
  EXPECT_FALSE(holder->Wait(10000).exited);
  EXPECT_EQ(Create("POP3LOCK", &handle), std::make_pair(true, 0u));
  env_.CloseHandleValue(handle);
}

TEST_F(NamedSemaphoreTest, BadNamesAndCountsAreInvalidParameters) {
  struct Case {
    const char* name;
    long initial;
    long maximum;
  } const cases[] = {{"", 1, 1},  {".", 1, 1},        {"..", 1, 1},       {"a/b", 1, 1},
                     {"a\\b", 1, 1}, {"POP3LOCK", 1, 0}, {"POP3LOCK", -1, 1}, {"POP3LOCK", 2, 1}};
  for (const Case& c : cases) {
    env_.SetLastErrorCode(0);
    EXPECT_EQ(env_.CreateNamedSemaphore(c.name, c.initial, c.maximum), 0u) << c.name;
    EXPECT_EQ(env_.LastError(), 87u) << c.name;
  }
  EXPECT_FALSE(fs::exists(root_));
}

TEST_F(NamedSemaphoreTest, UnusableLockDirectoryFails) {
  struct Case {
    const char* title;
    const char* file;       // made a regular file
    const char* directory;  // made a directory
    std::uint32_t error;
  } const cases[] = {
      {"root is a file", "", nullptr, 3},
      {"locks is a file", "locks", nullptr, 3},
      {"lock is a directory", nullptr, "locks/POP3LOCK", 5},
  };
  for (const Case& c : cases) {
    fs::remove_all(root_);
    if (c.file) {
      const fs::path file = *c.file ? Path(c.file) : root_;
      fs::create_directories(file.parent_path());
      WriteFile(file, "");
    }
    if (c.directory) fs::create_directories(Path(c.directory));
    Handle handle = 1;
    EXPECT_EQ(Create("POP3LOCK", &handle), std::make_pair(false, c.error)) << c.title;
  }
  env_.SetLastErrorCode(0);
  EXPECT_FALSE(env_.CloseHandleValue(0));
  EXPECT_EQ(env_.LastError(), 6u);
}

}  // namespace
