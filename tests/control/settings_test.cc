// Loading the settings: the registry values, the derived command lines, the
// host resolution with its network-down retry, and the local address list.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gateway/control/settings.h"
#include "platform/byte_order.h"
#include "tests/control/fake_machine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.SetValue("localdomain", "example.com");
    machine_.SetValue("localserver", "mail.local");
    machine_.SetValue("popserver", "pop.isp");
    machine_.SetValue("popname", "site");
    machine_.SetValue("poppass", "secret");
    machine_.SetValue("installdir", dir_.path.string());
    machine_.SetValue("exchangedir", "/srv/exchange");
    machine_.SetValue("loglevel", "2");
    machine_.hosts["pop.isp"] = platform::AddressFromParts(10, 0, 0, 1);
    machine_.hosts["mail.local"] = platform::AddressFromParts(10, 0, 0, 2);
  }

  // Runs inituserinfo; the exit code when it ended the process.
  std::optional<int> Load() {
    try {
      inituserinfo();
    } catch (const ProcessExit& exit) {
      return exit.code;
    }
    return std::nullopt;
  }

  void WriteMailList(const std::string& bytes) {
    std::ofstream(dir_.path / "maillist.txt", std::ios::binary) << bytes;
  }

  TempDir dir_;
  FakeMachine machine_;
};

TEST_F(SettingsTest, DerivesTheCommandLinesAndDomainSuffix) {
  machine_.SetValue("localdomain", "Ex-ample.com\xe9z");
  machine_.SetValue("popname", " my site ");
  machine_.SetValue("poppass", "pa ss\t");
  EXPECT_EQ(Load(), std::nullopt);
  const GatewaySettingsRecord& s = GatewaySettings;
  EXPECT_EQ(s.DomainSuffix, "@EX-AMPLE.COM\xe9Z");  // a to z only
  EXPECT_EQ(s.UserCommand, "USER  my site \r\n");
  EXPECT_EQ(s.PassCommand, "PASS pa ss\t\r\n");
  EXPECT_EQ(s.localserver, "mail.local");
  EXPECT_EQ(s.popserver, "pop.isp");
  EXPECT_EQ(s.exchangedir, "/srv/exchange");
  EXPECT_EQ(s.loglevel, 2);
  EXPECT_EQ(s.PopServerAddress, platform::AddressFromParts(10, 0, 0, 1));
  EXPECT_EQ(s.ExchangeServerAddress, platform::AddressFromParts(10, 0, 0, 2));
  EXPECT_EQ(SpoolRoot(), "/srv/exchange\\quillon");
  EXPECT_THAT(machine_.events, IsEmpty());
}

TEST_F(SettingsTest, ConvertsTheLogLevelLikeTheCLibrary) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"2", 2}, {" -3x", -3}, {"abc", 0}, {"", 0}, {"\t+7", 7}, {"-", 0},
      {"99999999999999", 2147483647}};
  for (const auto& [text, level] : cases) {
    machine_.SetValue("loglevel", text);
    GatewaySettings = {};
    EXPECT_EQ(Load(), std::nullopt);
    EXPECT_EQ(GatewaySettings.loglevel, level) << "loglevel \"" << text << "\"";
  }
}

TEST_F(SettingsTest, MissingKeyLeavesEverythingEmpty) {
  machine_.key_exists = false;
  machine_.hosts[""] = platform::AddressFromParts(10, 0, 0, 9);
  EXPECT_EQ(Load(), std::nullopt);
  const GatewaySettingsRecord& s = GatewaySettings;
  EXPECT_EQ(s.loglevel, 1);
  EXPECT_EQ(s.UserCommand, "");
  EXPECT_EQ(s.PassCommand, "");
  EXPECT_EQ(s.DomainSuffix, "");
  EXPECT_EQ(s.exchangedir, "");
  EXPECT_THAT(machine_.EventMessages(),
              ElementsAre(" - inituserinfo - Unable to open Tallowmere Registry"));
}

TEST_F(SettingsTest, UnreadableLogLevelIsReportedAndLoadingGoesOn) {
  machine_.values.erase("loglevel");
  machine_.SetValue("LocalDomain", "upper.case");  // names compare case-insensitively
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.loglevel, 0);
  EXPECT_EQ(GatewaySettings.DomainSuffix, "@UPPER.CASE");
  EXPECT_THAT(machine_.EventMessages(),
              ElementsAre(" - inituserinfo - Unable to get Registry value"));
  EXPECT_EQ(machine_.events[0].type, platform::kEventlogErrorType);
}

TEST_F(SettingsTest, MissingValueReadsAsEmptyNotAsThePreviousOne) {
  machine_.values.erase("installdir");
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.installdir, "");
  EXPECT_EQ(GatewaySettings.exchangedir, "/srv/exchange");
}

TEST_F(SettingsTest, LongValueIsCutTo255Characters) {
  machine_.SetValue("exchangedir", std::string(300, 'x'));
  machine_.SetValue("installdir", std::string(255, 'y'));
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.exchangedir, std::string(255, 'x'));
  EXPECT_EQ(GatewaySettings.installdir, std::string(255, 'y'));
}

TEST_F(SettingsTest, DottedDecimalHostIsTheFallbackOfTheNameLookup) {
  machine_.SetValue("popserver", "192.0.2.7");
  machine_.SetValue("localserver", "192.0.2.8");
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.PopServerAddress, platform::AddressFromParts(192, 0, 2, 7));
  EXPECT_EQ(GatewaySettings.ExchangeServerAddress, platform::AddressFromParts(192, 0, 2, 8));
  EXPECT_THAT(machine_.lookups, ElementsAre("192.0.2.7", "192.0.2.8"));
  EXPECT_THAT(machine_.sleeps, IsEmpty());
}

TEST_F(SettingsTest, UnknownPopHostEndsTheRunWithoutWaiting) {
  machine_.SetValue("popserver", "nowhere.invalid");
  EXPECT_EQ(Load(), 1);
  EXPECT_THAT(machine_.lookups, ElementsAre("nowhere.invalid"));  // Exchange host not looked at
  EXPECT_THAT(machine_.sleeps, IsEmpty());
  EXPECT_THAT(machine_.EventMessages(), ElementsAre(" - inituserinfo - Unknown remote host"));
  EXPECT_EQ(machine_.events[0].error_text, "Tallowmere error: 11001");
}

TEST_F(SettingsTest, NetworkDownMeansThreeLookupsTenSecondsApartThenTheFallback) {
  machine_.network_down = true;
  machine_.SetValue("popserver", "192.0.2.7");
  machine_.SetValue("localserver", "192.0.2.8");
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_THAT(machine_.lookups,
              ElementsAre("192.0.2.7", "192.0.2.7", "192.0.2.7", "192.0.2.8"));
  EXPECT_THAT(machine_.sleeps, ElementsAre(10000u, 10000u, 10000u));
  EXPECT_EQ(GatewaySettings.PopServerAddress, platform::AddressFromParts(192, 0, 2, 7));
}

TEST_F(SettingsTest, NetworkDownWithANameEndsAfterThirtySeconds) {
  machine_.network_down = true;
  EXPECT_EQ(Load(), 1);
  EXPECT_THAT(machine_.sleeps, ElementsAre(10000u, 10000u, 10000u));
  EXPECT_THAT(machine_.EventMessages(), ElementsAre(" - inituserinfo - Unknown remote host"));
}

TEST_F(SettingsTest, UnknownExchangeHostIsLookedUpOnce) {
  machine_.SetValue("localserver", "nowhere.invalid");
  EXPECT_EQ(Load(), 1);
  EXPECT_THAT(machine_.lookups, ElementsAre("pop.isp", "nowhere.invalid"));
  EXPECT_THAT(machine_.EventMessages(), ElementsAre(" - inituserinfo - Unknown Local Host"));
}

TEST_F(SettingsTest, MailListOfHundredAndFiftyLinesLoadsTheFirstHundred) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += "user" + std::to_string(i) + "@example.com\n";
  WriteMailList(text);
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.MailListCount, 100);
  EXPECT_EQ(GatewaySettings.MailList[0], "USER0@EXAMPLE.COM");
  EXPECT_EQ(GatewaySettings.MailList[99], "USER99@EXAMPLE.COM");
}

TEST_F(SettingsTest, MailListLinesAreTrimmedUpperCasedAndKeptWhenEmpty) {
  WriteMailList(" \tjoe@Example.com \r\n\r\nann@example.com\x0b\nlast@example.com");
  EXPECT_EQ(Load(), std::nullopt);
  ASSERT_EQ(GatewaySettings.MailListCount, 4);
  EXPECT_EQ(GatewaySettings.MailList[0], "JOE@EXAMPLE.COM");
  EXPECT_EQ(GatewaySettings.MailList[1], "");
  EXPECT_EQ(GatewaySettings.MailList[2], "ANN@EXAMPLE.COM");
  EXPECT_EQ(GatewaySettings.MailList[3], "LAST@EXAMPLE.COM");
}

TEST_F(SettingsTest, MailListLineOfTenThousandCharactersIsCut) {
  WriteMailList(std::string(9999, 'a') + "b\nnext\n" + std::string(9999, 'c') + "\nend\n");
  EXPECT_EQ(Load(), std::nullopt);
  ASSERT_EQ(GatewaySettings.MailListCount, 5);
  EXPECT_EQ(GatewaySettings.MailList[0], std::string(9999, 'A'));
  EXPECT_EQ(GatewaySettings.MailList[1], "B");
  EXPECT_EQ(GatewaySettings.MailList[2], "NEXT");
  EXPECT_EQ(GatewaySettings.MailList[3], std::string(9999, 'C'));  // exactly 9,999: one line
  EXPECT_EQ(GatewaySettings.MailList[4], "END");
}

TEST_F(SettingsTest, MailListCommentLinesAreNoEntries) {
  WriteMailList("# local addresses, one a line\n  #indented comment\njoe@example.com\n"
                "news#1@lists.example.org\n#\n");
  EXPECT_EQ(Load(), std::nullopt);
  ASSERT_EQ(GatewaySettings.MailListCount, 2);
  EXPECT_EQ(GatewaySettings.MailList[0], "JOE@EXAMPLE.COM");
  EXPECT_EQ(GatewaySettings.MailList[1], "NEWS#1@LISTS.EXAMPLE.ORG");
  EXPECT_EQ(GatewaySettings.MailList[2], "");
}

TEST_F(SettingsTest, MissingMailListLeavesTheCountZeroWithoutAnEntry) {
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.MailListCount, 0);
  EXPECT_THAT(machine_.events, IsEmpty());
}


TEST_F(SettingsTest, OptionalValuesSelectSecurityPortAndMode) {
  struct Case {
    std::map<std::string, std::string> values;
    PopSecurity security;
    std::uint16_t port;
    SmtpMode mode;
  };
  const std::vector<Case> cases = {
      {{}, PopSecurity::kNone, 110, SmtpMode::kClassic},
      {{{"popsecurity", "none"}, {"smtpmode", ""}}, PopSecurity::kNone, 110, SmtpMode::kClassic},
      {{{"popsecurity", "StartTLS"}}, PopSecurity::kStartTls, 110, SmtpMode::kClassic},
      {{{"popsecurity", "tls"}}, PopSecurity::kTls, 995, SmtpMode::kClassic},
      {{{"popsecurity", "tls"}, {"popport", "10995"}}, PopSecurity::kTls, 10995,
       SmtpMode::kClassic},
      {{{"popport", "65535"}, {"smtpmode", "Standard"}}, PopSecurity::kNone, 65535,
       SmtpMode::kStandard},
  };
  for (const Case& c : cases) {
    for (const char* name : {"popsecurity", "popport", "popcafile", "smtpmode"}) {
      machine_.values.erase(name);
    }
    for (const auto& [name, text] : c.values) machine_.SetValue(name, text);
    machine_.events.clear();
    GatewaySettings = {};
    EXPECT_EQ(Load(), std::nullopt);
    EXPECT_EQ(GatewaySettings.popsecurity, c.security);
    EXPECT_EQ(GatewaySettings.PopPort, c.port);
    EXPECT_EQ(GatewaySettings.smtpmode, c.mode);
    EXPECT_THAT(machine_.events, IsEmpty());  // a missing optional value is no failure
  }
  machine_.SetValue("popcafile", "/etc/tallowmere/provider-ca.pem");
  EXPECT_EQ(Load(), std::nullopt);
  EXPECT_EQ(GatewaySettings.popcafile, "/etc/tallowmere/provider-ca.pem");
}

TEST_F(SettingsTest, UnknownOptionalValueEndsTheRunBeforeAnyLookup) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"popsecurity", "ssl"},  {"popsecurity", " tls"}, {"popport", "0"},
      {"popport", "65536"},    {"popport", "+995"},     {"popport", "99x"},
      {"popport", "0000110"},  {"smtpmode", "esmtp"},
      {"envelopeheader", "X-Original-To:"},
      {"envelopeheader", "X-Original-To:0"},
      {"envelopeheader", "Delivered-To:10"},
      {"envelopeheader", "Delivered-To:+1"},
      {"envelopeheader", ":1"},
      {"envelopeheader", " Envelope-To"},
      {"envelopeheader", "Envelope-To: 2"},
      {"envelopeheader", "X-Envelope-To:1:2"},
      {"envelopeheader", "X_Envelope_To"},
      {"envelopeheader", "X-Original-To\r"},
      {"envelopeheader", std::string(61, 'X')},
  };
  for (const auto& [name, text] : cases) {
    for (const char* optional : {"popsecurity", "popport", "smtpmode", "envelopeheader"}) {
      machine_.values.erase(optional);
    }
    machine_.SetValue(name, text);
    machine_.events.clear();
    machine_.lookups.clear();
    EXPECT_EQ(Load(), 1) << name << "=" << text;
    EXPECT_THAT(machine_.lookups, IsEmpty());
    EXPECT_THAT(machine_.EventMessages(),
                ElementsAre(" - inituserinfo - Unknown " + name + " value \"" + text + "\""));
  }
}

// The provider's envelope field: its name upper-cased, and which of the
// fields of that name counts; none when the value is missing or empty.
TEST_F(SettingsTest, EnvelopeHeaderNamesTheFieldAndItsNumber) {
  struct Case {
    std::optional<std::string> value;
    std::string name;
    int number;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "", 1},
      {"", "", 1},
      {"X-Original-To", "X-ORIGINAL-TO", 1},
      {"delivered-to:2", "DELIVERED-TO", 2},
      {"Envelope-To:9", "ENVELOPE-TO", 9},
      {"X-Envelope-To:1", "X-ENVELOPE-TO", 1},
      {"X-2", "X-2", 1},
      {std::string(60, 'x') + ":3", std::string(60, 'X'), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.value_or("(missing)"));
    machine_.values.erase("envelopeheader");
    if (c.value) machine_.SetValue("envelopeheader", *c.value);
    GatewaySettings = {};
    GatewaySettings.envelopeheader = "LEFT-OVER";
    GatewaySettings.EnvelopeHeaderNumber = 7;
    EXPECT_EQ(Load(), std::nullopt);
    EXPECT_EQ(GatewaySettings.envelopeheader, c.name);
    EXPECT_EQ(GatewaySettings.EnvelopeHeaderNumber, c.number);
    EXPECT_THAT(machine_.events, IsEmpty());
  }
}

// The login method and, with xoauth2, the token endpoint it asks.
TEST_F(SettingsTest, PopAuthSelectsTheLoginMethod) {
  struct Case {
    std::map<std::string, std::string> values;
    PopAuth method;
    std::string scope;
  };
  const std::string url = "https://login.example.net/tenant/oauth2/v2.0/token";
  const std::vector<Case> cases = {
      {{}, PopAuth::kUser, kDefaultOauthScope},
      {{{"popauth", ""}}, PopAuth::kUser, kDefaultOauthScope},
      {{{"popauth", "USER"}}, PopAuth::kUser, kDefaultOauthScope},
      {{{"popauth", "apop"}}, PopAuth::kApop, kDefaultOauthScope},
      {{{"popauth", "Plain"}, {"popsecurity", "tls"}}, PopAuth::kPlain, kDefaultOauthScope},
      {{{"popauth", "plain"}, {"popsecurity", "starttls"}}, PopAuth::kPlain, kDefaultOauthScope},
      {{{"popauth", "XOAuth2"}, {"popsecurity", "tls"}, {"oauthtokenurl", url},
        {"oauthclientid", "c1"}},
       PopAuth::kXoauth2, kDefaultOauthScope},
      {{{"popauth", "xoauth2"}, {"popsecurity", "starttls"}, {"oauthtokenurl", url},
        {"oauthclientid", "c1"}, {"oauthscope", "https://pop.example.net/.default"}},
       PopAuth::kXoauth2, "https://pop.example.net/.default"},
  };
  for (const Case& c : cases) {
    for (const char* name :
         {"popauth", "popsecurity", "oauthtokenurl", "oauthclientid", "oauthscope"}) {
      machine_.values.erase(name);
    }
    for (const auto& [name, text] : c.values) machine_.SetValue(name, text);
    machine_.events.clear();
    GatewaySettings = {};
    EXPECT_EQ(Load(), std::nullopt) << testing::PrintToString(c.values);
    EXPECT_EQ(GatewaySettings.popauth, c.method);
    EXPECT_EQ(GatewaySettings.oauthscope, c.scope);
    EXPECT_EQ(GatewaySettings.popname, "site");
    EXPECT_EQ(GatewaySettings.poppass, "secret");
    EXPECT_EQ(GatewaySettings.UserCommand, "USER site\r\n");  // whatever the method
    EXPECT_THAT(machine_.events, IsEmpty());
  }
}

// A wrong login setting, or a method that would send the password or a token
// in clear text, ends the run before any lookup.
TEST_F(SettingsTest, RefusedLoginSettingEndsTheRunBeforeAnyLookup) {
  struct Case {
    std::map<std::string, std::string> values;
    std::string entry;
  };
  const std::string url = "https://login.example.net/t/token";
  const std::vector<Case> cases = {
      {{{"popauth", "cram-md5"}}, "Unknown popauth value \"cram-md5\""},
      {{{"popauth", " plain"}, {"popsecurity", "tls"}}, "Unknown popauth value \" plain\""},
      {{{"popauth", "xoauth2"}, {"popsecurity", "tls"}, {"oauthclientid", "c1"}},
       "Unknown oauthtokenurl value \"\""},
      {{{"popauth", "xoauth2"}, {"popsecurity", "tls"}, {"oauthclientid", "c1"},
        {"oauthtokenurl", "http://login.example.net/t/token"}},
       "Unknown oauthtokenurl value \"http://login.example.net/t/token\""},
      {{{"popauth", "xoauth2"}, {"popsecurity", "tls"}, {"oauthclientid", "c1"},
        {"oauthtokenurl", "https://login.example.net:0/t"}},
       "Unknown oauthtokenurl value \"https://login.example.net:0/t\""},
      {{{"popauth", "xoauth2"}, {"popsecurity", "tls"}, {"oauthtokenurl", url}},
       "Unknown oauthclientid value \"\""},
      {{{"popauth", "plain"}}, "popauth \"plain\" needs popsecurity \"tls\" or \"starttls\""},
      {{{"popauth", "PLAIN"}, {"popsecurity", "none"}},
       "popauth \"PLAIN\" needs popsecurity \"tls\" or \"starttls\""},
      {{{"popauth", "xoauth2"}, {"oauthtokenurl", url}, {"oauthclientid", "c1"}},
       "popauth \"xoauth2\" needs popsecurity \"tls\" or \"starttls\""},
  };
  for (const Case& c : cases) {
    for (const char* name :
         {"popauth", "popsecurity", "oauthtokenurl", "oauthclientid", "oauthscope"}) {
      machine_.values.erase(name);
    }
    for (const auto& [name, text] : c.values) machine_.SetValue(name, text);
    machine_.events.clear();
    machine_.lookups.clear();
    EXPECT_EQ(Load(), 1) << c.entry;
    EXPECT_THAT(machine_.lookups, IsEmpty());
    EXPECT_THAT(machine_.EventMessages(), ElementsAre(" - inituserinfo - " + c.entry));
  }
}

}  // namespace
