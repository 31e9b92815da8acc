// One run of the real gateway under a fast clock: a mailbox of three
// messages ends up as three spool files in "out" and an empty mailbox; what
// a run writes is readable by the site's account alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"

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

// True when the unprivileged user nobody can open path for reading (the
// tests run as root).
bool NobodyCanRead(const std::filesystem::path& path) {
  const platform::testing::ProcessResult r = platform::testing::RunProcess(
      {"runuser", "-u", "nobody", "--", "head", "-c", "0", path.string()}, {}, 10000);
  return r.exited && r.exit_code == 0;
}

// Started with the usual umask 022, a run still keeps the whole mailbox
// ("popout.txt"), the statistics and every spool file, whichever directory
// it ends in, to the owner: 0600, and nobody else can read them although
// the directories above let everyone through.
TEST(EndToEndTest, EveryFileOfARunIsTheOwnersAloneWhateverTheUmask) {
  namespace fs = std::filesystem;
  const std::string pop = platform::testing::FreshLoopbackAddress({110});
  const std::string smtp = platform::testing::FreshLoopbackAddress({25});
  testing_support::ScriptedPop3Server server(pop, "site", "secret");
  ASSERT_TRUE(server.listening());
  server.AddMessage("archived", "From: a@example.org\r\nTo: u@example.com\r\n\r\nfirst\r\n");
  server.AddMessage("refused", "From: b@example.org\r\nTo: v@example.com\r\n\r\nsecond\r\n");
  server.AddMessage("kept", "From: c@example.org\r\nTo: u@example.com\r\n\r\nthird\r\n");
  server.ReplaceReply("DELE 3", "-ERR busy\r\n");  // "kept" stays in "in"
  testing_support::ScriptedSmtpServer exchange(
      smtp, testing_support::SmtpScript().OnLine("RCPT TO: V@EXAMPLE.COM",
                                                 testing_support::SmtpAction::Reply("550 no\r\n")));

  testing_support::MachineRoot root;
  root.MakeSpool();
  root.WriteDefaultSettings(pop, smtp, "2");  // delivered files go to "Archive"
  const fs::perms open_directory = fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec;
  for (const fs::path& dir : {root.path(), root.exchangedir(), root.spool(), root.spool() / "in",
                              root.spool() / "out", root.spool() / "Archive"}) {
    fs::permissions(dir, open_directory);
  }
  // The check itself: a file open to all in the same place is readable.
  WriteFileBytes(root.spool() / "in" / "control", "x");
  fs::permissions(root.spool() / "in" / "control",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::others_read);
  ASSERT_TRUE(NobodyCanRead(root.spool() / "in" / "control"));
  fs::remove(root.spool() / "in" / "control");

  std::vector<std::string> environment = testing_support::FastClockEnvironment();
  environment.push_back(root.EnvironmentEntry());
  const platform::testing::ProcessResult result = platform::testing::RunProcess(
      {"sh", "-c", "umask 022 && exec \"$0\"", std::string(TALLOWMERE_BIN_DIR) + "/quillon"},
      environment, kRunLimitMs);
  ASSERT_TRUE(result.exited) << "signal " << result.signal << (result.timed_out ? " (timed out)" : "");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(DirectoryNames(root.spool() / "in"), std::vector<std::string>{"kept"});
  EXPECT_EQ(DirectoryNames(root.spool() / "out"), std::vector<std::string>{"refused"});
  EXPECT_EQ(DirectoryNames(root.spool() / "Archive").size(), 1u);

  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root.spool())) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  EXPECT_EQ(files.size(), 5u);  // popout.txt, statlog.txt and the three spool files
  for (const fs::path& file : files) {
    EXPECT_EQ(static_cast<int>(fs::status(file).permissions()), 0600) << file;
    EXPECT_FALSE(NobodyCanRead(file)) << file;
  }
}

}  // namespace
