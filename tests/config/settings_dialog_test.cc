// The settings dialog: reading, initialisation, the exchange, writing and the
// outcome boxes, through the scripted front end on an in-memory machine.
#include <gtest/gtest.h>

#include "config/config_app.h"
#include "config/resources.h"
#include "tests/config/scripted_dialogs.h"

namespace setwick_test {
namespace {

using setwick::ConfigApp;

constexpr char kSettings[] = "SOFTWARE\\Brackwater\\Tallowmere\\1.0";
constexpr char kConnector[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters";
constexpr char kSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tallowmere";

// An installed machine: settings key, connector root, event-log source and
// spool directories all there.
class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    machine.AddKey(kSettings);
    machine.Put(kSettings, "installdir", Sz("/opt/tallowmere"));
    machine.Put(kConnector, "RootDir", Sz("/srv/exchange"));
    machine.Put(kSource, "TypesSupported", {platform::kRegDword, std::string("\x07\0\0\0", 4)});
    for (const char* d : {"\\quillon", "\\quillon\\in", "\\quillon\\out", "\\quillon\\Archive"}) {
      machine.directories.push_back(std::string("/srv/exchange") + d);
    }
  }

  int Run() {
    const int code = ConfigApp(host).Run();
    EXPECT_TRUE(host.all_scripts_used());
    EXPECT_EQ(machine.open_keys(), 0u);
    return code;
  }

  FakeMachine machine;
  ScriptedHost host;
};

TEST_F(SettingsTest, CancelWritesNothingAndShowsNothing) {
  machine.Put(kSettings, "popname", Sz("joe"));
  host.Expect([](ScriptedWindow& w) {
    w.Type(setwick::kPopNameEdit, "changed");
    w.Click(1014);
    return platform::kIdCancel;
  });
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(machine.writes().empty());
  EXPECT_EQ(host.events(), std::vector<std::string>{"dialog 102"});
}

TEST_F(SettingsTest, ClosingFromTheSystemMenuIsCancel) {
  host.Expect([](ScriptedWindow& w) { return w.SystemCommand(platform::kSysCommandClose); });
  Run();
  EXPECT_TRUE(machine.writes().empty());
  EXPECT_TRUE(host.boxes().empty());
}

TEST_F(SettingsTest, OkWithEveryFieldEmptyWritesSevenValues) {
  machine.Put(kSettings, "loglevel", Sz("-1"));  // no button checked
  host.Expect(PressOk);
  Run();
  EXPECT_EQ(machine.writes(), (std::vector<std::string>{
                                  "localdomain=1:\\0",
                                  "localserver=1:\\0",
                                  "popserver=1:\\0",
                                  "popname=1:\\0",
                                  "poppass=1:\\0",
                                  "exchangedir=1:/srv/exchange\\0",
                                  "loglevel=1:-1\\0",
                              }));
  EXPECT_EQ(host.boxes(), std::vector<std::string>{"Tallowmere Configured"});
}

TEST_F(SettingsTest, WithoutExchangeRootExchangedirIsWrittenEmpty) {
  machine.Put(kConnector, "Other", Sz("x"));
  machine.fail_query["RootDir"] = platform::kErrorFileNotFound;
  host.Expect(PressOk);
  Run();
  ASSERT_EQ(machine.writes().size(), 7u);
  EXPECT_EQ(machine.writes()[5], "exchangedir=1:\\0");
  EXPECT_EQ(host.boxes(), (std::vector<std::string>{"Unable to get value", "Tallowmere Configured"}));
}

TEST_F(SettingsTest, StoredValuesAreShownAndWrittenBackUnchanged) {
  machine.Put(kSettings, "localdomain", Sz("example.com"));
  machine.Put(kSettings, "localserver", Sz("127.0.0.3"));
  machine.Put(kSettings, "popserver", Sz("pop.example.net"));
  machine.Put(kSettings, "popname", Sz("joe"));
  machine.Put(kSettings, "poppass", Sz("s3cret word"));
  machine.Put(kSettings, "loglevel", Sz("2"));
  host.Expect([](ScriptedWindow& w) {
    EXPECT_EQ(w.ItemText(setwick::kLocalDomainEdit), "example.com");
    EXPECT_EQ(w.ItemText(setwick::kLocalServerEdit), "127.0.0.3");
    EXPECT_EQ(w.ItemText(setwick::kPopServerEdit), "pop.example.net");
    EXPECT_EQ(w.ItemText(setwick::kPopNameEdit), "joe");
    EXPECT_EQ(w.ItemText(setwick::kPopPassEdit), "s3cret word");
    EXPECT_TRUE(w.IsChecked(1014));
    return w.PressOk();
  });
  Run();
  EXPECT_EQ(machine.Values(kSettings), (std::vector<std::string>{
                                           "exchangedir=1:/srv/exchange\\0",
                                           "installdir=1:/opt/tallowmere\\0",
                                           "localdomain=1:example.com\\0",
                                           "localserver=1:127.0.0.3\\0",
                                           "loglevel=1:2\\0",
                                           "popname=1:joe\\0",
                                           "poppass=1:s3cret word\\0",
                                           "popserver=1:pop.example.net\\0",
                                       }));
}

TEST_F(SettingsTest, TrailingWhiteSpaceIsStrippedLeadingKept) {
  host.Expect([](ScriptedWindow& w) {
    w.Type(setwick::kLocalDomainEdit, "  example.com \t ");
    w.Type(setwick::kLocalServerEdit, "   ");
    w.Type(setwick::kPopServerEdit, "pop host\r\n\v\f");
    w.Type(setwick::kPopNameEdit, "\tjoe");
    w.Type(setwick::kPopPassEdit, "pass word ");
    return w.PressOk();
  });
  Run();
  ASSERT_EQ(machine.writes().size(), 7u);
  EXPECT_EQ(machine.writes()[0], "localdomain=1:  example.com\\0");
  EXPECT_EQ(machine.writes()[1], "localserver=1:\\0");
  EXPECT_EQ(machine.writes()[2], "popserver=1:pop host\\0");
  EXPECT_EQ(machine.writes()[3], "popname=1:\\x09joe\\0");
  EXPECT_EQ(machine.writes()[4], "poppass=1:pass word\\0");
}

TEST_F(SettingsTest, TextsLongerThan99CharactersAreCutAt99) {
  const std::string long_text(150, 'a');
  host.Expect([&](ScriptedWindow& w) {
    w.Type(setwick::kPopPassEdit, long_text);
    w.Type(setwick::kPopNameEdit, std::string(99, 'b'));
    return w.PressOk();
  });
  Run();
  EXPECT_EQ(machine.writes()[3], "popname=1:" + std::string(99, 'b') + "\\0");
  EXPECT_EQ(machine.writes()[4], "poppass=1:" + std::string(99, 'a') + "\\0");
}

TEST_F(SettingsTest, ChoosingALevelWritesItsPosition) {
  struct Case {
    int click;
    const char* written;
  };
  for (const Case& c : {Case{1013, "loglevel=1:1\\0"}, Case{1014, "loglevel=1:2\\0"},
                        Case{1016, "loglevel=1:3\\0"}}) {
    FakeMachine inner;
    inner.AddKey(kSettings);
    inner.AddKey(kConnector);
    ScriptedHost dialogs;
    dialogs.Expect([&](ScriptedWindow& w) {
      w.Click(c.click);
      return w.PressOk();
    });
    ConfigApp(dialogs).Run();
    ASSERT_EQ(inner.writes().size(), 9u) << c.click;  // two for the new source key
    EXPECT_EQ(inner.writes().back(), c.written);
  }
}

// Stored level -> checked button (-1: none) -> written on "OK".
struct LevelCase {
  const char* stored;  // nullptr: no value
  int checked;
  const char* written;
};

class StoredLevelTest : public SettingsTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(StoredLevelTest, ChecksItsButtonAndIsWrittenBack) {
  const LevelCase& c = GetParam();
  if (c.stored) machine.Put(kSettings, "loglevel", Sz(c.stored));
  host.Expect([&](ScriptedWindow& w) {
    const int ids[] = {1012, 1013, 1014, 1016};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(w.IsChecked(ids[i]), i == c.checked) << ids[i];
    EXPECT_EQ(w.CheckedRadio(setwick::kLogLevelFirstRadio), c.checked);
    return w.PressOk();
  });
  Run();
  EXPECT_EQ(machine.writes().back(), std::string("loglevel=1:") + c.written + "\\0");
}

INSTANTIATE_TEST_SUITE_P(Levels, StoredLevelTest,
                         ::testing::Values(LevelCase{"0", 0, "0"}, LevelCase{"1", 1, "1"},
                                           LevelCase{"3", 3, "3"}, LevelCase{" +2x", 2, "2"},
                                           LevelCase{"7", -1, "-1"}, LevelCase{"-1", -1, "-1"},
                                           LevelCase{"4", -1, "-1"},
                                           // read as empty: no digits give 0
                                           LevelCase{nullptr, 0, "0"},
                                           LevelCase{"none", 0, "0"}));

TEST_F(SettingsTest, NoneCannotBeChosenButStaysCheckedWhenStored) {
  machine.Put(kSettings, "loglevel", Sz("0"));
  host.Expect([](ScriptedWindow& w) {
    w.Click(1012);
    EXPECT_TRUE(w.IsChecked(1012));
    w.Click(1013);
    w.Click(1012);  // disabled: nothing happens
    EXPECT_TRUE(w.IsChecked(1013));
    EXPECT_FALSE(w.IsChecked(1012));
    return w.PressOk();
  });
  Run();
  EXPECT_EQ(machine.writes().back(), "loglevel=1:1\\0");
}

TEST_F(SettingsTest, InstalldirIsNeverWritten) {
  host.Expect(PressOk);
  Run();
  for (const std::string& w : machine.writes()) EXPECT_NE(w.rfind("installdir", 0), 0u) << w;
  EXPECT_EQ(machine.Values(kSettings)[1], "installdir=1:/opt/tallowmere\\0");
}

TEST_F(SettingsTest, AMissingValueReadsEmptyNotTheValueReadBefore) {
  machine.Put(kSettings, "localdomain", Sz("example.com"));
  machine.Put(kSettings, "popname", Sz("joe"));
  machine.Put(kSettings, "loglevel", Sz("3"));
  host.Expect([](ScriptedWindow& w) {
    EXPECT_EQ(w.ItemText(setwick::kLocalServerEdit), "");
    EXPECT_EQ(w.ItemText(setwick::kPopServerEdit), "");
    EXPECT_EQ(w.ItemText(setwick::kPopPassEdit), "");
    return platform::kIdCancel;
  });
  Run();
}

TEST_F(SettingsTest, AValueTooLongForTheReadBufferReadsEmpty) {
  machine.Put(kSettings, "localdomain", Sz(std::string(256, 'd')));
  machine.Put(kSettings, "popname", Sz(std::string(255, 'n')));
  host.Expect([](ScriptedWindow& w) {
    EXPECT_EQ(w.ItemText(setwick::kLocalDomainEdit), "");
    EXPECT_EQ(w.ItemText(setwick::kPopNameEdit), std::string(255, 'n'));
    return platform::kIdCancel;
  });
  Run();
}

TEST_F(SettingsTest, MissingSettingsKeyAtStartAndAtSave) {
  FakeMachine bare;
  bare.AddKey(kSource);
  bare.Put(kConnector, "RootDir", Sz("/srv/exchange"));
  host.Expect([](ScriptedWindow& w) {
    EXPECT_EQ(w.ItemText(setwick::kLocalDomainEdit), "");
    EXPECT_EQ(w.CheckedRadio(setwick::kLogLevelFirstRadio), -1);
    w.Type(setwick::kLocalDomainEdit, "example.com");
    return w.PressOk();
  });
  ConfigApp(host).Run();
  EXPECT_TRUE(bare.writes().empty());
  EXPECT_FALSE(bare.HasKey(kSettings));
  EXPECT_EQ(host.events(), (std::vector<std::string>{"box: Unable to open Quillon Registry",
                                                     "dialog 102",
                                                     "box: Unable to open Quillon Registry"}));
}

TEST_F(SettingsTest, SettingsKeyThatCannotBeOpenedForWriting) {
  host.Expect([&](ScriptedWindow& w) {
    machine.fail_open[kSettings] = platform::kErrorAccessDenied;
    return w.PressOk();
  });
  Run();
  EXPECT_TRUE(machine.writes().empty());
  EXPECT_EQ(host.boxes(), std::vector<std::string>{"Unable to open Quillon Registry"});
}

struct OutcomeCase {
  const char* failing;
  const char* box;
};

class OutcomeTest : public SettingsTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OutcomeTest, OnlyTheLastWriteDecidesTheBox) {
  machine.fail_set[GetParam().failing] = platform::kErrorAccessDenied;
  host.Expect(PressOk);
  Run();
  EXPECT_EQ(machine.writes().size(), 7u);
  EXPECT_EQ(host.boxes(), std::vector<std::string>{GetParam().box});
}

INSTANTIATE_TEST_SUITE_P(Outcomes, OutcomeTest,
                         ::testing::Values(OutcomeCase{"loglevel", "Unable to set value"},
                                           OutcomeCase{"localdomain", "Tallowmere Configured"},
                                           OutcomeCase{"exchangedir", "Tallowmere Configured"}));

TEST_F(SettingsTest, InitialisationAddsTheAboutItemAndTheIcon) {
  host.Expect([](ScriptedWindow& w) {
    EXPECT_EQ(w.menu(), (std::vector<std::string>{"-", "16:&About Setwick..."}));
    EXPECT_EQ(w.icon(), 128);
    return platform::kIdCancel;
  });
  Run();
}

TEST_F(SettingsTest, AboutCommandOpensTheAboutBoxWhateverItsLowBits) {
  machine.memory.total_physical_bytes = 64ull << 20;
  for (std::uint32_t command : {16u, 17u, 31u}) {
    host.Expect([command](ScriptedWindow& w) {
      EXPECT_EQ(w.SystemCommand(command), 0);
      return platform::kIdCancel;
    });
    host.Expect([](ScriptedWindow& w) {
      EXPECT_EQ(w.ItemText(setwick::kMemoryLabel), "65536 KB");
      return w.PressOk();
    });
    Run();
  }
  EXPECT_EQ(host.events(),
            (std::vector<std::string>{"dialog 102", "dialog 100", "dialog 102", "dialog 100",
                                      "dialog 102", "dialog 100"}));
  EXPECT_TRUE(machine.writes().empty());
}

TEST_F(SettingsTest, OtherSystemCommandsAreLeftToTheDefault) {
  host.Expect([](ScriptedWindow& w) {
    EXPECT_EQ(w.SystemCommand(32), 0);
    EXPECT_EQ(w.SystemCommand(0xF010), 0);  // move
    return platform::kIdCancel;
  });
  Run();
  EXPECT_EQ(host.events(), std::vector<std::string>{"dialog 102"});
}

}  // namespace
}  // namespace setwick_test
