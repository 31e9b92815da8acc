// Recipient resolution: the header scan, the sender, the four recipient
// rules, and no header byte that could break a command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/control/settings.h"
#include "gateway/delivery/envelope.h"
#include "tests/support/machine_root.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Settings of the site "example.com" with an empty local address list.
class EnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GatewaySettings;
    GatewaySettings.DomainSuffix = "@EXAMPLE.COM";
    GatewaySettings.MailListCount = 0;
  }
  void TearDown() override { GatewaySettings = saved_; }

  static void SetMailList(const std::vector<std::string>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) GatewaySettings.MailList[i] = entries[i];
    GatewaySettings.MailListCount = static_cast<int>(entries.size());
  }

  std::string WriteSpoolFile(const std::string& bytes) {
    const std::string path = (root_.path() / ("message" + std::to_string(files_++))).string();
    testing_support::WriteFileBytes(path, bytes);
    return path;
  }

  testing_support::MachineRoot root_;
  int files_ = 0;
  GatewaySettingsRecord saved_;
};

HeaderFields Fields(std::string for_address, std::string to, std::string apparently_to,
                    std::string cc, std::string from) {
  return {std::move(for_address), std::move(to), std::move(apparently_to), std::move(cc),
          std::move(from), ""};
}

// --- The header scan ---

struct ScanCase {
  const char* name;
  std::string file;
  HeaderFields expected;
};

TEST_F(EnvelopeTest, HeaderScanFindsEachFieldAsTheRulesSay) {
  const std::vector<ScanCase> cases = {
      {"to with display name and second address",
       "Subject: hi\nTo: Anna <anna@example.com>, bob@Example.COM\n\nbody\n.\n",
       Fields("", "ANNA <ANNA@EXAMPLE.COM>, BOB@EXAMPLE.COM", "", "", "")},
      {"folded to keeps the tab, a blank on either side",
       "To: x@foreign.org,\n\tcarol@example.com\nSubject: s\n\n.\n",
       Fields("", "X@FOREIGN.ORG, \tCAROL@EXAMPLE.COM ", "", "", "")},
      {"a continuation line need not begin with white space",
       "To: a@foreign.org\nb@example.com\n\n.\n",
       Fields("", "A@FOREIGN.ORG B@EXAMPLE.COM ", "", "", "")},
      {"the field ends at the empty line", "To: a@x.org\n\n c@example.com\n.\n",
       Fields("", "A@X.ORG", "", "", "")},
      {"only the first to field counts", "To: first@x.org\nTo: second@x.org\n\n.\n",
       Fields("", "FIRST@X.ORG", "", "", "")},
      {"the character after the colon is dropped whatever it is", "TO:ann@example.com\n\n.\n",
       Fields("", "NN@EXAMPLE.COM", "", "", "")},
      {"a bare name with its colon", "To:\n b@example.com\n\n.\n",
       Fields("", "  B@EXAMPLE.COM ", "", "", "")},
      {"names only in the first column, in exactly their form",
       "Reply-To: a@example.com\nTo : b@example.com\n To: c@example.com\n"
       "Resent-From: d@x.org\nResent-Cc: e@example.com\n\n.\n",
       Fields("", "", "", "", "")},
      {"any case of letters", "to: ann@example.com\ncC: bob@example.com\n\n.\n",
       Fields("", "ANN@EXAMPLE.COM", "", "BOB@EXAMPLE.COM", "")},
      {"apparently-to and cc with continuations",
       "Apparently-To: a@example.com\n  b@example.com\nCc: c@example.com\n\td@example.com\n"
       "Subject: x\n\n.\n",
       Fields("", "", "A@EXAMPLE.COM   B@EXAMPLE.COM ", "C@EXAMPLE.COM \tD@EXAMPLE.COM ", "")},
      {"the last from line wins; its continuations are not joined",
       "From: first@x.org\nSubject: s\nFrom: Second <second@x.org>\n  (more)\n\n.\n",
       Fields("", "", "", "", "SECOND <SECOND@X.ORG>")},
      {"received for clause naming the local domain",
       "Received: from mx by gw for <dave@Example.com>; Tue, 8 Dec 2026\n\n.\n",
       Fields("DAVE@EXAMPLE.COM", "", "", "", "")},
      {"a '>' before the clause empties it",
       "Received: from <relay@x.org> by gw for <dave@example.com>; Tue\n\n.\n",
       Fields("", "", "", "", "")},
      {"no '>' at all", "Received: by gw for <dave@example.com\n\n.\n",
       Fields("", "", "", "", "")},
      {"a clause without the local domain is passed over",
       "Received: by gw for <dave@example.com>;\nReceived: by relay for <eve@x.org>;\n\n.\n",
       Fields("DAVE@EXAMPLE.COM", "", "", "", "")},
      {"a later clause replaces an earlier one",
       "Received: for <one@example.com>\nReceived: for <two@example.com>\n\n.\n",
       Fields("TWO@EXAMPLE.COM", "", "", "", "")},
      {"received lines after the to field are not looked at",
       "To: a@x.org\nReceived: for <dave@example.com>\n\n.\n",
       Fields("", "A@X.ORG", "", "", "")},
      {"header lines are never taken from the body",
       "Subject: s\n\nTo: e@example.com\nFrom: f@x.org\nCc: g@example.com\n.\n",
       Fields("", "", "", "", "")},
      {"a line of blanks is not the end of the header", "Subject: s\n   \nTo: e@example.com\n\n.\n",
       Fields("", "E@EXAMPLE.COM", "", "", "")},
      {"a file that ends inside the header", "From: a@x.org\nTo: b@example.com\n c@x.org",
       Fields("", "B@EXAMPLE.COM  C@X.ORG ", "", "", "A@X.ORG")},
      {"a long to field ends at its first piece of 999",
       "To: " + std::string(995, 'a') + "@example.com\n\n.\n",
       Fields("", std::string(995, 'A') + " @EXAMPLE.COM ", "", "", "")},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const HeaderFields fields = ScanHeader(WriteSpoolFile(c.file));
    EXPECT_EQ(fields.ForAddress, c.expected.ForAddress);
    EXPECT_EQ(fields.ToText, c.expected.ToText);
    EXPECT_EQ(fields.ApparentlyToText, c.expected.ApparentlyToText);
    EXPECT_EQ(fields.CcText, c.expected.CcText);
    EXPECT_EQ(fields.FromText, c.expected.FromText);
  }
}

TEST_F(EnvelopeTest, AFileThatCannotBeOpenedYieldsEmptyFields) {
  const HeaderFields fields = ScanHeader((root_.path() / "missing").string());
  EXPECT_EQ(RecipientText(fields), "  ");
  EXPECT_EQ(fields.ForAddress, "");
  EXPECT_EQ(fields.FromText, "");
}

TEST_F(EnvelopeTest, RecipientTextJoinsToApparentlyToAndCc) {
  EXPECT_EQ(RecipientText(Fields("F", "T", "A", "C", "X")), "T A C");
}

// --- The sender ---

struct SenderCase {
  const char* name;
  std::string from_text;
  std::string sender;
};

TEST_F(EnvelopeTest, SenderFollowsTheRulesOfTheFromField) {
  const std::vector<SenderCase> cases = {
      {"quoted display name with a comma, then angle brackets",
       "\"DOE, JOHN\" <JOHN@FOREIGN.ORG>", "JOHN@FOREIGN.ORG"},
      {"bare address with a comment", "JOHN@FOREIGN.ORG (JOHN DOE)", "JOHN@FOREIGN.ORG"},
      {"no at sign: the fixed sender", "JOHN DOE <JOHN>", ""},
      {"an opening bracket without a closing one", "JOHN <JOHN@FOREIGN.ORG", "JOHN@FOREIGN.ORG"},
      {"brackets win over an at sign outside them; no at sign inside: replaced",
       "A@B.ORG <POSTMASTER>", ""},
      {"empty brackets give the fixed sender", "A@B.ORG <>", ""},
      {"the mailbox stops at a delimiter", "NAME=JOHN@X.ORG;", "JOHN@X.ORG"},
      {"tab and parentheses are no delimiters; such a sender is replaced",
       "NAME:\t(JOHN@X.ORG)", ""},
      {"the last at sign decides; two of them are replaced", "A@B@C.ORG", ""},
      {"at most 99 mailbox characters, no domain past position 99",
       std::string(120, 'M') + "@X.ORG", std::string(99, 'M') + "@"},
      {"the domain ends before position 100", std::string(98, 'M') + "@X.ORG",
       std::string(98, 'M') + "@X"},
      {"a long domain is cut before position 100", "A@" + std::string(150, 'D'),
       "A@" + std::string(98, 'D')},
  };
  for (const SenderCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DeriveEnvelope(Fields("", "", "", "", c.from_text)).sender, c.sender);
  }
}

// --- The recipients ---

struct RecipientCase {
  const char* name;
  HeaderFields fields;
  std::vector<std::string> mail_list;
  std::vector<std::string> recipients;
  RecipientSource source;
};

TEST_F(EnvelopeTest, RecipientsFollowTheFirstRuleThatApplies) {
  constexpr auto kHeader = RecipientSource::HeaderRecipients;
  constexpr auto kFallback = RecipientSource::FallbackRecipient;
  const std::vector<RecipientCase> cases = {
      {"display name, angle brackets, a comma and a second address",
       Fields("", "ANNA SMITH <ANNA@EXAMPLE.COM>, BOB@EXAMPLE.COM", "", "", ""), {},
       {"ANNA@EXAMPLE.COM", "BOB@EXAMPLE.COM"}, kHeader},
      {"a folded line's tab is trimmed off",
       Fields("", "X@FOREIGN.ORG, \tCAROL@EXAMPLE.COM ", "", "", ""), {},
       {"CAROL@EXAMPLE.COM"}, kHeader},
      {"an empty mailbox name is postmaster", Fields("", "<@EXAMPLE.COM>", "", "", ""), {},
       {"postmaster@EXAMPLE.COM"}, kHeader},
      {"the same address in to and cc is one recipient",
       Fields("", "ANN@EXAMPLE.COM", "", "ANN@EXAMPLE.COM", ""), {}, {"ANN@EXAMPLE.COM"},
       kHeader},
      {"each address once, in the order of its first occurrence",
       Fields("", "B@EXAMPLE.COM, A@EXAMPLE.COM, <B@EXAMPLE.COM>", "A@EXAMPLE.COM",
              "C@EXAMPLE.COM, B@EXAMPLE.COM", ""),
       {}, {"B@EXAMPLE.COM", "A@EXAMPLE.COM", "C@EXAMPLE.COM"}, kHeader},
      {"an empty name and postmaster are one recipient, the first form kept",
       Fields("", "<@EXAMPLE.COM>, POSTMASTER@EXAMPLE.COM", "", "", ""), {},
       {"postmaster@EXAMPLE.COM"}, kHeader},
      {"to, then apparently-to, then cc",
       Fields("", "T@EXAMPLE.COM", "A@EXAMPLE.COM", "C@EXAMPLE.COM", ""), {},
       {"T@EXAMPLE.COM", "A@EXAMPLE.COM", "C@EXAMPLE.COM"}, kHeader},
      {"a longer domain that begins with the local one is not local",
       Fields("", "EVE@EXAMPLE.COM.EVIL.ORG, X@FOREIGN.ORG", "", "", ""), {},
       {"UNDELIVERABLE@EXAMPLE.COM"}, kFallback},
      {"addresses run together: the first domain does not end there",
       Fields("", "A@EXAMPLE.COMB@EXAMPLE.COM", "", "", ""), {}, {"B@EXAMPLE.COM"}, kHeader},
      {"a mailbox keeps at most 99 characters",
       Fields("", std::string(120, 'M') + "@EXAMPLE.COM", "", "", ""), {},
       {std::string(99, 'M') + "@EXAMPLE.COM"}, kHeader},
      {"the header wins over the received line",
       Fields("DAVE@EXAMPLE.COM", "ANN@EXAMPLE.COM", "", "", ""), {}, {"ANN@EXAMPLE.COM"},
       kHeader},
      {"the received line's address when the header has none local",
       Fields("DAVE@EXAMPLE.COM", "X@FOREIGN.ORG", "", "", ""), {"X@FOREIGN.ORG"},
       {"DAVE@EXAMPLE.COM"}, kFallback},
      {"a received address of another domain does not count",
       Fields("DAVE@ELSEWHERE.ORG", "X@FOREIGN.ORG", "", "", ""), {},
       {"UNDELIVERABLE@EXAMPLE.COM"}, kFallback},
      {"the first entry in list order that occurs, its at sign turned into _",
       Fields("", "\"JOHN SMITH@FOREIGN.ORG\" <J@Y.ORG>", "", "", ""),
       {"NOBODY@NOWHERE.ORG", "J@Y.ORG", "JOHN SMITH@FOREIGN.ORG"},
       {"J_Y.ORG@EXAMPLE.COM"}, kFallback},
      {"only the first at sign and the first blank",
       Fields("", "", "", "A B C@D@E.ORG", ""), {"A B C@D@E.ORG"},
       {"A_B C_D@E.ORG@EXAMPLE.COM"}, kFallback},
      {"an empty list entry occurs in every text", Fields("", "X@FOREIGN.ORG", "", "", ""),
       {"NOBODY@NOWHERE.ORG", "", "X@FOREIGN.ORG"}, {"@EXAMPLE.COM"}, kFallback},
      {"nothing local, nothing listed", Fields("", "X@FOREIGN.ORG", "", "", "A@B.ORG"),
       {"NOBODY@NOWHERE.ORG"}, {"UNDELIVERABLE@EXAMPLE.COM"}, kFallback},
      {"no fields at all", Fields("", "", "", "", ""), {}, {"UNDELIVERABLE@EXAMPLE.COM"},
       kFallback},
  };
  for (const RecipientCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetMailList(c.mail_list);
    const DeliveryEnvelope envelope = DeriveEnvelope(c.fields);
    EXPECT_THAT(envelope.recipients, ElementsAreArray(c.recipients));
    EXPECT_EQ(envelope.source, c.source);
  }
}

// --- Only plain local addresses reach the envelope ---

struct HostileCase {
  const char* name;
  std::string header;  // the header lines of the spool file
  std::string sender;
  std::vector<std::string> recipients;
  RecipientSource source;
};

// Header addresses that a mail server would route out of the site (percent
// hack, bang path, source route, a parameter after a blank) or deliver to
// the wrong local user never reach the envelope; plain addresses beside
// them still do.
TEST_F(EnvelopeTest, HostileAddressesNeverReachTheEnvelope) {
  constexpr auto kHeader = RecipientSource::HeaderRecipients;
  constexpr auto kFallback = RecipientSource::FallbackRecipient;
  const std::string kUndeliverable = "UNDELIVERABLE@EXAMPLE.COM";
  SetMailList({"ERIN@PARTNER.ORG"});
  const std::vector<HostileCase> cases = {
      {"percent hack", "To: victim1%outside.example@example.com\n", "", {kUndeliverable},
       kFallback},
      {"bang path", "To: outside.example!victim2@example.com\n", "", {kUndeliverable}, kFallback},
      {"source route", "To: victim3@outside.example@example.com\n", "", {kUndeliverable},
       kFallback},
      {"a plain address beside hostile ones",
       "To: victim1%outside.example@example.com, alice@example.com,\n"
       " outside.example!victim2@example.com\n",
       "", {"ALICE@EXAMPLE.COM"}, kHeader},
      {"the address list decides when no plain local address is left",
       "To: victim1%outside.example@example.com, erin@partner.org\n", "",
       {"ERIN_PARTNER.ORG@EXAMPLE.COM"}, kFallback},
      {"a received line decides when no plain local address is left",
       "Received: by gw for <dave@example.com>;\nTo: [victim5@outside.example]@example.com\n", "",
       {"DAVE@EXAMPLE.COM"}, kFallback},
      {"a for clause with a parameter after a blank",
       "Received: by relay.evil.example for <victim4@outside.example "
       "ORCPT=rfc822;x@example.com>\nTo: someone@foreign.example\n",
       "", {kUndeliverable}, kFallback},
      {"a for clause naming a longer domain",
       "Received: by gw for <dave@example.com.au>\nTo: someone@foreign.example\n", "",
       {kUndeliverable}, kFallback},
      {"a for clause with an empty mailbox name",
       "Received: by gw for <@example.com>\nTo: someone@foreign.example\n", "",
       {kUndeliverable}, kFallback},
      {"a sender with a blank and a parameter",
       "From: <a b@evil.example SIZE=99999999999>\nTo: alice@example.com\n", "",
       {"ALICE@EXAMPLE.COM"}, kHeader},
      {"a sender with a percent hack", "From: x%outside.example@evil.example\n", "",
       {kUndeliverable}, kFallback},
      {"a sender with a route", "From: <@relay.example:x@evil.example>\n", "", {kUndeliverable},
       kFallback},
      {"a domain that goes on past the local one",
       "From: ann@origin.org\nTo: bruce@example.com.au, alice@example.com\n", "ANN@ORIGIN.ORG",
       {"ALICE@EXAMPLE.COM"}, kHeader},
      {"a folded line with a colon continues the field",
       "To: a@foreign.org,\n \"Meier, Hans (Abt. 3: Einkauf)\" <hans.meier@example.com>,\n"
       "\tB: <bob@example.com>\nSubject: s\nCc: carol@example.com\n",
       "", {"HANS.MEIER@EXAMPLE.COM", "BOB@EXAMPLE.COM", "CAROL@EXAMPLE.COM"}, kHeader},
      {"an unfolded line with a colon still ends it",
       "To: a@foreign.org,\nX-Note: <bob@example.com>\n", "", {kUndeliverable}, kFallback},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DeliveryEnvelope envelope = BuildEnvelope(WriteSpoolFile(c.header + "\nbody\n.\n"));
    EXPECT_EQ(envelope.sender, c.sender);
    EXPECT_THAT(envelope.recipients, ElementsAreArray(c.recipients));
    EXPECT_EQ(envelope.source, c.source);
  }
}

// A mailbox name holds printable bytes other than the routing characters;
// a domain ends before any byte that cannot go on a domain name.
TEST_F(EnvelopeTest, OnlyPlainNamesAndWholeDomainsCount) {
  for (const char c : std::string("@%!()[\\]\t\x01\x7f\x80\xff", 13)) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c)));
    const DeliveryEnvelope envelope =
        DeriveEnvelope(Fields("", std::string("A") + c + "B@EXAMPLE.COM", "", "", ""));
    EXPECT_THAT(envelope.recipients, ElementsAre("UNDELIVERABLE@EXAMPLE.COM"));
  }
  for (const char c : std::string("AZ09.-\xc3")) {
    SCOPED_TRACE(c);
    EXPECT_THAT(DeriveEnvelope(Fields("", std::string("B@EXAMPLE.COM") + c, "", "", "")).recipients,
                ElementsAre("UNDELIVERABLE@EXAMPLE.COM"));
  }
  for (const char c : std::string(">), ;\t_+")) {
    SCOPED_TRACE(c);
    EXPECT_THAT(DeriveEnvelope(Fields("", std::string("B@EXAMPLE.COM") + c, "", "", "")).recipients,
                ElementsAre("B@EXAMPLE.COM"));
  }
  // Every other printable byte may stand in a name.
  const std::string plain = "#$&'*+-./0189=?AZ^_`{|}~";
  EXPECT_THAT(DeriveEnvelope(Fields("", plain + "@EXAMPLE.COM", "", "", "")).recipients,
              ElementsAre(plain.substr(plain.find('=') + 1) + "@EXAMPLE.COM"));
  EXPECT_EQ(DeriveEnvelope(Fields("", "", "", "", "<" + plain + "@X.ORG>")).sender,
            plain + "@X.ORG");
}

TEST_F(EnvelopeTest, ListEntriesBeyondTheCountAreNotUsed) {
  SetMailList({"X@FOREIGN.ORG"});
  GatewaySettings.MailListCount = 0;
  EXPECT_THAT(DeriveEnvelope(Fields("", "X@FOREIGN.ORG", "", "", "")).recipients,
              ElementsAre("UNDELIVERABLE@EXAMPLE.COM"));
}

// --- From file to envelope ---

TEST_F(EnvelopeTest, BuildEnvelopeReadsTheHeaderOfTheFile) {
  const DeliveryEnvelope envelope = BuildEnvelope(WriteSpoolFile(
      "Received: from mx by gw for <postmaster@example.com>; Tue\n"
      "From: \"Doe, John\" <john@foreign.org>\n"
      "To: Anna <anna@example.com>, bob@example.com\n"
      "Cc: anna@example.com\n"
      "Subject: hello\n"
      "\n"
      "To: carol@example.com\n"
      ".\n"));
  EXPECT_EQ(envelope.sender, "JOHN@FOREIGN.ORG");
  EXPECT_THAT(envelope.recipients, ElementsAre("ANNA@EXAMPLE.COM", "BOB@EXAMPLE.COM"));
  EXPECT_EQ(envelope.source, RecipientSource::HeaderRecipients);
}

TEST_F(EnvelopeTest, AFileThatCannotBeOpenedGetsTheFixedSenderAndAFallback) {
  const std::string missing = (root_.path() / "missing").string();
  DeliveryEnvelope envelope = BuildEnvelope(missing);
  EXPECT_EQ(envelope.sender, "");
  EXPECT_THAT(envelope.recipients, ElementsAre("UNDELIVERABLE@EXAMPLE.COM"));
  EXPECT_EQ(envelope.source, RecipientSource::FallbackRecipient);

  SetMailList({"", "ANY@WHERE.ORG"});
  envelope = BuildEnvelope(missing);
  EXPECT_THAT(envelope.recipients, ElementsAre("@EXAMPLE.COM"));
}

TEST_F(EnvelopeTest, NoCarriageReturnOrNulOfTheHeaderReachesTheEnvelope) {
  // A lone CR stays in a line of the spool file; a NUL is a byte like any other.
  const DeliveryEnvelope envelope = BuildEnvelope(WriteSpoolFile(
      std::string("From: <evil@x.org\rRCPT TO: boss@example.com>\n"
                  "To: ann\r@example.com, b\rob@example.com, c") +
      '\0' + "d@example.com\n\n.\n"));
  EXPECT_EQ(envelope.sender, "");
  EXPECT_THAT(envelope.recipients,
              ElementsAre("ANN@EXAMPLE.COM", "BOB@EXAMPLE.COM", "CD@EXAMPLE.COM"));

  const DeliveryEnvelope fallback = BuildEnvelope(WriteSpoolFile(
      std::string("Received: by gw for <da\rve@example.com") + '\0' + ">;\n\n.\n"));
  EXPECT_THAT(fallback.recipients, ElementsAre("DAVE@EXAMPLE.COM"));
  EXPECT_EQ(fallback.source, RecipientSource::FallbackRecipient);

  const DeliveryEnvelope bare = BuildEnvelope(WriteSpoolFile("From: a\r\rb@x.org\n\n.\n"));
  EXPECT_EQ(bare.sender, "AB@X.ORG");
}

}  // namespace
