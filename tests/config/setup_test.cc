// The installation set-up of every start: Exchange root, spool directories
// and the event-log source key, on an in-memory machine.
#include <gtest/gtest.h>

#include "config/config_app.h"
#include "tests/config/scripted_dialogs.h"

namespace setwick_test {
namespace {

using setwick::ConfigApp;

constexpr char kSettings[] = "SOFTWARE\\Brackwater\\Tallowmere\\1.0";
constexpr char kConnector[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters";
constexpr char kSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tallowmere";

const std::vector<std::string> kSpool = {
    "/srv/exchange\\quillon", "/srv/exchange\\quillon\\in", "/srv/exchange\\quillon\\out",
    "/srv/exchange\\quillon\\Archive"};

// A fresh machine: the installation wrote the settings key with installdir,
// the connector keeps its root; nothing else exists yet.
class SetupTest : public ::testing::Test {
 protected:
  SetupTest() {
    machine.Put(kSettings, "installdir", Sz("/opt/tallowmere"));
    machine.Put(kConnector, "RootDir", Sz("/srv/exchange"));
  }
  void Start(Script script = Cancel) {
    host.Expect(std::move(script));
    ConfigApp(host).Run();
    EXPECT_TRUE(host.all_scripts_used());
    EXPECT_EQ(machine.open_keys(), 0u);
  }

  FakeMachine machine;
  ScriptedHost host;
};

TEST_F(SetupTest, FreshMachineGetsTheDirectoriesInOrderAndTheSourceKey) {
  Start();
  EXPECT_EQ(machine.made_directories, kSpool);
  EXPECT_EQ(machine.writes(), (std::vector<std::string>{
                                  "EventMessageFile=2:/opt/tallowmere\\quillon.exe\\0",
                                  "TypesSupported=4:\\x07\\0\\0\\0",
                              }));
  EXPECT_EQ(machine.Values(kSource).size(), 2u);
  EXPECT_EQ(host.events(), std::vector<std::string>{"dialog 102"});
}

TEST_F(SetupTest, SecondStartChangesNothingAndShowsNothing) {
  Start();
  const std::vector<std::string> source = machine.Values(kSource);
  const std::vector<std::string> dirs = machine.directories;
  machine.Put(kSettings, "installdir", Sz("/elsewhere"));  // never corrects the source key

  ScriptedHost again;
  again.Expect(Cancel);
  ConfigApp(again).Run();
  EXPECT_EQ(machine.writes().size(), 2u);  // the first start's two
  EXPECT_EQ(machine.Values(kSource), source);
  EXPECT_EQ(machine.directories, dirs);
  EXPECT_EQ(again.events(), std::vector<std::string>{"dialog 102"});
}

TEST_F(SetupTest, MissingInstalldirGivesTheBareFileName) {
  machine.Put(kSettings, "poppass", Sz("secret"));
  machine.fail_query["installdir"] = platform::kErrorFileNotFound;
  Start();
  EXPECT_EQ(machine.writes()[0], "EventMessageFile=2:\\quillon.exe\\0");
}

TEST_F(SetupTest, MissingSettingsKeyGivesTheBareFileName) {
  FakeMachine bare;
  bare.Put(kConnector, "RootDir", Sz("/srv/exchange"));
  Start();
  EXPECT_EQ(bare.writes()[0], "EventMessageFile=2:\\quillon.exe\\0");
  EXPECT_EQ(host.boxes(), std::vector<std::string>{"Unable to open Quillon Registry"});
}

TEST_F(SetupTest, MessageFileIsCutAt99Characters) {
  machine.Put(kSettings, "installdir", Sz(std::string(90, 'i')));
  Start();
  EXPECT_EQ(machine.writes()[0],
            "EventMessageFile=2:" + std::string(90, 'i') + "\\quillon.\\0");
}

TEST_F(SetupTest, MissingConnectorKeyPutsTheSpoolAtTheRootOfTheCurrentDrive) {
  FakeMachine no_exchange;
  no_exchange.Put(kSettings, "installdir", Sz("/opt/tallowmere"));
  host.Expect(PressOk);
  ConfigApp(host).Run();
  EXPECT_EQ(no_exchange.made_directories,
            (std::vector<std::string>{"\\quillon", "\\quillon\\in", "\\quillon\\out",
                                      "\\quillon\\Archive"}));
  EXPECT_EQ(host.boxes(), (std::vector<std::string>{"Unable to open Quillon Registry",
                                                    "Tallowmere Configured"}));
  EXPECT_EQ(no_exchange.writes()[2 + 5], "exchangedir=1:\\0");
}

TEST_F(SetupTest, UnreadableRootDir) {
  machine.fail_query["RootDir"] = platform::kErrorAccessDenied;
  Start();
  EXPECT_EQ(host.boxes(), std::vector<std::string>{"Unable to get value"});
  EXPECT_EQ(machine.made_directories[0], "\\quillon");
}

TEST_F(SetupTest, RootDirTooLongForTheBufferReadsEmpty) {
  machine.Put(kConnector, "RootDir", Sz(std::string(300, 'r')));
  Start();
  EXPECT_EQ(host.boxes(), std::vector<std::string>{"Unable to get value"});
  EXPECT_EQ(machine.made_directories[0], "\\quillon");
}

TEST_F(SetupTest, SourceKeyThatCannotBeCreated) {
  machine.fail_create = platform::kErrorAccessDenied;
  Start();
  EXPECT_EQ(host.events(),
            (std::vector<std::string>{"box: Unable to Set registry Value", "dialog 102"}));
  EXPECT_TRUE(machine.writes().empty());
  EXPECT_EQ(machine.made_directories, kSpool);
}

TEST_F(SetupTest, ExistingSourceKeyKeepsItsValues) {
  machine.Put(kSource, "EventMessageFile", {platform::kRegExpandSz, std::string("C:\\old\\quillon.exe\0", 19)});
  Start();
  EXPECT_TRUE(machine.writes().empty());
  EXPECT_EQ(machine.Values(kSource),
            std::vector<std::string>{"EventMessageFile=2:C:\\old\\quillon.exe\\0"});
}

TEST_F(SetupTest, DirectoriesThatCannotBeMadeArePassedOver) {
  machine.directories = {kSpool[0], kSpool[2]};
  Start();
  EXPECT_EQ(machine.made_directories, kSpool);
  EXPECT_TRUE(host.boxes().empty());
}

TEST_F(SetupTest, CancellingDoesNotUndoTheSetUp) {
  Start(Cancel);
  EXPECT_EQ(machine.directories, kSpool);
  EXPECT_TRUE(machine.HasKey(kSource));
  EXPECT_EQ(machine.Values(kSettings), std::vector<std::string>{"installdir=1:/opt/tallowmere\\0"});
}

TEST_F(SetupTest, SetUpRunsBeforeTheDialogAfterTheSettings) {
  host.Expect([&](ScriptedWindow&) {
    EXPECT_EQ(machine.made_directories.size(), 4u);
    EXPECT_EQ(machine.writes().size(), 2u);
    return platform::kIdCancel;
  });
  ConfigApp(host).Run();
}

}  // namespace
}  // namespace setwick_test
