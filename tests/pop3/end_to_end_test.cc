// One run of the real gateway under a fast clock: a mailbox of three
// messages ends up as three spool files in "out" and an empty mailbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"

namespace {

using testing_support::DirectoryNames;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr int kRunLimitMs = 60000;

TEST(EndToEndTest, RunDownloadsSplitsDeletesAndSpoolsThreeMessages) {
  const std::string pop = platform::testing::FreshLoopbackAddress({110});
  // Nothing listens for SMTP there: delivery fails and the files stay in "out".
  const std::string smtp = platform::testing::FreshLoopbackAddress({25});
  testing_support::ScriptedPop3Server server(pop, "site", "secret");
  ASSERT_TRUE(server.listening());
  server.AddMessage("<1@x>", "From: a@example.org\r\nTo: u@example.com\r\n\r\nfirst\r\n");
  server.AddMessage("two:2", "From: b@example.org\r\nTo: u@example.com\r\n\r\n.dot\r\n");
  server.AddMessage("three", "From: c@example.org\r\nTo: u@example.com\r\n\r\nthird\r\n");

  testing_support::MachineRoot root;
  root.MakeSpool();
  std::filesystem::create_directories(root.path() / "install");
  WriteFileBytes(root.path() / "install" / "maillist.txt", "u@example.com\n");
  WriteFileBytes(root.path() / "registry.reg",
                 "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\n"
                 "\"localdomain\"=\"example.com\"\n"
                 "\"localserver\"=\"" + smtp + "\"\n"
                 "\"popserver\"=\"" + pop + "\"\n"
                 "\"popname\"=\"site\"\n"
                 "\"poppass\"=\"secret\"\n"
                 "\"installdir\"=\"" + (root.path() / "install").string() + "\"\n"
                 "\"exchangedir\"=\"" + root.exchangedir().string() + "\"\n"
                 "\"loglevel\"=\"1\"\n");

  std::vector<std::string> environment = testing_support::FastClockEnvironment();
  environment.push_back(root.EnvironmentEntry());
  const platform::testing::ProcessResult result = platform::testing::RunProcess(
      {std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, environment, kRunLimitMs);
  ASSERT_TRUE(result.exited) << "signal " << result.signal << (result.timed_out ? " (timed out)" : "");
  EXPECT_EQ(result.exit_code, 0);
  ASSERT_TRUE(server.WaitUntilIdle(5000));

  EXPECT_TRUE(server.Uids().empty());
  EXPECT_TRUE(DirectoryNames(root.spool() / "in").empty());
  ASSERT_EQ(DirectoryNames(root.spool() / "out"),
            (std::vector<std::string>{"_1@x_", "three", "two_2"}));
  EXPECT_EQ(ReadFileBytes(root.spool() / "out" / "_1@x_"),
            "From: a@example.org\nTo: u@example.com\n\nfirst\n.\n");
  EXPECT_EQ(ReadFileBytes(root.spool() / "out" / "two_2"),
            "From: b@example.org\nTo: u@example.com\n\n..dot\n.\n");
  EXPECT_EQ(ReadFileBytes(root.spool() / "out" / "three"),
            "From: c@example.org\nTo: u@example.com\n\nthird\n.\n");
  EXPECT_EQ(ReadFileBytes(root.spool() / "statlog.txt"),
            "There were 3 messages waiting this session\n");
  // One session: the recovery pass found nothing to do.
  EXPECT_EQ(server.Sessions(), 1);
  for (const std::string& message : root.EventMessages()) {
    EXPECT_EQ(message.find("PopLogin"), std::string::npos) << message;
    EXPECT_EQ(message.find("GetPop"), std::string::npos) << message;
    EXPECT_EQ(message.find("DeleteFromPop"), std::string::npos) << message;
    EXPECT_EQ(message.find("ParseMsgs"), std::string::npos) << message;
  }
}

}  // namespace
