// The provider's envelope field ("envelopeheader"): the N-th field of its
// name from the top decides the recipients before every header rule, and a
// missing or useless field leaves the decision to those rules.
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

constexpr auto kHeader = RecipientSource::HeaderRecipients;
constexpr auto kFallback = RecipientSource::FallbackRecipient;

class EnvelopeFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GatewaySettings;
    GatewaySettings.DomainSuffix = "@EXAMPLE.COM";
    GatewaySettings.MailList[0] = "LIST@LISTS.ORG";
    GatewaySettings.MailListCount = 1;
  }
  void TearDown() override { GatewaySettings = saved_; }

  DeliveryEnvelope Build(const std::string& header) {
    const std::string path = (root_.path() / ("message" + std::to_string(files_++))).string();
    testing_support::WriteFileBytes(path, header + "\nTo: body@example.com\n.\n");
    return BuildEnvelope(path);
  }

  testing_support::MachineRoot root_;
  int files_ = 0;
  GatewaySettingsRecord saved_;
};

struct FieldCase {
  const char* name;
  std::string setting;  // the field's name as the settings hold it, upper-cased
  int number;
  std::string header;
  std::vector<std::string> recipients;
  RecipientSource source;
  bool missed;
};

TEST_F(EnvelopeFieldTest, TheProvidersFieldDecidesOrTheHeaderRulesDoWithTheEntry) {
  const std::vector<FieldCase> cases = {
      {"the first field: a bcc recipient whom the header does not name", "X-ORIGINAL-TO", 1,
       "X-Original-To: bcc@example.com\nDelivered-To: bcc@example.com\n"
       "From: a@x.org\nTo: ann@example.com, bob@example.com\n",
       {"BCC@EXAMPLE.COM"}, kHeader, false},
      {"a sender's field of the name further down is not reached", "X-ORIGINAL-TO", 1,
       "X-Original-To: bob@example.com\nFrom: a@x.org\n"
       "X-Original-To: boss@example.com\nTo: ann@example.com\n",
       {"BOB@EXAMPLE.COM"}, kHeader, false},
      {"the second field of the name", "DELIVERED-TO", 2,
       "Delivered-To: site@isp.net\nReceived: by isp\nDelivered-To: carol@example.com\n"
       "Delivered-To: evil@example.com\nTo: ann@example.com\n",
       {"CAROL@EXAMPLE.COM"}, kHeader, false},
      {"the ninth field of the name", "ENVELOPE-TO", 9,
       [] {
         std::string h;
         for (int i = 1; i <= 10; ++i) h += "Envelope-To: u" + std::to_string(i) + "@example.com\n";
         return h;
       }(),
       {"U9@EXAMPLE.COM"}, kHeader, false},
      {"folded onto continuation lines", "ENVELOPE-TO", 1,
       "Envelope-To: one@example.com,\n\ttwo@example.com,\n  three@example.com\nTo: a@x.org\n",
       {"ONE@EXAMPLE.COM", "TWO@EXAMPLE.COM", "THREE@EXAMPLE.COM"}, kHeader, false},
      {"several addresses, each once, foreign and unusable ones skipped", "X-ENVELOPE-TO", 1,
       "X-Envelope-To: <Bob@Example.com>, x@foreign.org, a%b@example.com, bob@example.com, "
       "eve@example.com.evil.org, ann@example.com\n",
       {"BOB@EXAMPLE.COM", "ANN@EXAMPLE.COM"}, kHeader, false},
      {"the text right after the colon counts", "DELIVERED-TO", 1,
       "Delivered-To:ann@example.com\n", {"ANN@EXAMPLE.COM"}, kHeader, false},
      {"names in any case", "X-ORIGINAL-TO", 1, "x-ORIGINAL-to: dave@EXAMPLE.com\n",
       {"DAVE@EXAMPLE.COM"}, kHeader, false},
      {"only in the first column and in its exact form", "X-ORIGINAL-TO", 1,
       "X-Original-To : a@example.com\n X-Original-To: b@example.com\n"
       "XX-Original-To: c@example.com\nX-Original-To-Too: d@example.com\nTo: ann@example.com\n",
       {"ANN@EXAMPLE.COM"}, kHeader, true},
      {"missing: the header's own fields decide", "X-ORIGINAL-TO", 1,
       "From: a@x.org\nTo: ann@example.com\nCc: ann@example.com, bob@example.com\n",
       {"ANN@EXAMPLE.COM", "BOB@EXAMPLE.COM"}, kHeader, true},
      {"fewer fields of the name than the number", "DELIVERED-TO", 3,
       "Delivered-To: ann@example.com\nDelivered-To: bob@example.com\nTo: carol@example.com\n",
       {"CAROL@EXAMPLE.COM"}, kHeader, true},
      {"no usable local address: the received line decides", "X-ORIGINAL-TO", 1,
       "X-Original-To: site@isp.net, x!y@example.com\n"
       "Received: by mx for <dave@example.com>;\nTo: list@lists.org\n",
       {"DAVE@EXAMPLE.COM"}, kFallback, true},
      {"no usable local address: the address list decides", "X-ORIGINAL-TO", 1,
       "X-Original-To: site@isp.net\nTo: list@lists.org\n", {"LIST_LISTS.ORG@EXAMPLE.COM"},
       kFallback, true},
      {"nothing at all: undeliverable", "X-ORIGINAL-TO", 1, "Subject: s\n",
       {"UNDELIVERABLE@EXAMPLE.COM"}, kFallback, true},
      {"the field is never taken from the body", "X-ORIGINAL-TO", 1,
       "To: ann@example.com\n\nX-Original-To: bob@example.com", {"ANN@EXAMPLE.COM"}, kHeader,
       true},
      {"without the setting the field is an ordinary line", "", 1,
       "X-Original-To: bcc@example.com\nTo: ann@example.com\n", {"ANN@EXAMPLE.COM"}, kHeader,
       false},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.name);
    GatewaySettings.envelopeheader = c.setting;
    GatewaySettings.EnvelopeHeaderNumber = c.number;
    const DeliveryEnvelope envelope = Build(c.header);
    EXPECT_THAT(envelope.recipients, ElementsAreArray(c.recipients));
    EXPECT_EQ(envelope.source, c.source);
    EXPECT_EQ(envelope.envelope_field_missed, c.missed);
  }
}

TEST_F(EnvelopeFieldTest, TheFieldsTextIsScannedOnlyWithTheSetting) {
  const std::string path = (root_.path() / "message").string();
  testing_support::WriteFileBytes(path,
                                  "Delivered-To: a@example.com\n b@example.com\nTo: c@x.org\n\n.\n");
  EXPECT_EQ(ScanHeader(path).EnvelopeText, "");
  GatewaySettings.envelopeheader = "DELIVERED-TO";
  EXPECT_EQ(ScanHeader(path).EnvelopeText, " A@EXAMPLE.COM  B@EXAMPLE.COM ");
}

TEST_F(EnvelopeFieldTest, TheSenderIsTakenFromTheHeaderAsAlways) {
  GatewaySettings.envelopeheader = "X-ORIGINAL-TO";
  const DeliveryEnvelope envelope =
      Build("X-Original-To: bob@example.com\nFrom: Ann <ann@origin.org>\nTo: a@example.com\n");
  EXPECT_EQ(envelope.sender, "ANN@ORIGIN.ORG");
  EXPECT_THAT(envelope.recipients, ElementsAre("BOB@EXAMPLE.COM"));
}

}  // namespace
