// 200 messages of many kinds go from Dovecot through one run of the gateway
// into Postfix's Maildirs: each lands in the mailboxes that its header
// names, with its bytes as the gateway forwards them, and nothing is left
// at the provider or in the spool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/real_servers/gateway_fixture.h"

namespace real_servers_test {
namespace {

using testing_support::DeliveredMessage;
using testing_support::PostfixServer;

constexpr int kMessages = 200;
constexpr const char* kCatchAll = PostfixServer::kCatchAll;
// maillist.txt: the addresses of the site that the header names only in
// other forms; matched upper-cased anywhere in To, Apparently-To and Cc.
constexpr const char* kMailList = "erin@partner.org\n  ivan smith \n";
// Postfix qualifies the gateway's fixed sender "QUILLON" with its own name.
constexpr const char* kFixedSender = "QUILLON@mail.example.com";

// A line of n characters that cycles through the alphabet, starting with c.
std::string Letters(std::size_t n, char c) {
  std::string line;
  for (std::size_t i = 0; i < n; ++i) line.push_back(static_cast<char>('a' + (c - 'a' + i) % 26));
  return line;
}

struct Kind {
  std::string name;
  std::string header;  // header lines, each ended by LF; Message-ID is put first
  std::string body;
  std::vector<std::string> mailboxes;  // where Postfix files the message
  std::string sender;                  // the envelope sender, as Return-Path shows it
};

// The recipients follow the header's To, Apparently-To and Cc fields (every
// address of the site's domain, upper-cased), else a Received line's "for"
// clause naming the domain, else the first maillist.txt entry found in those
// fields (its "@" and first blank turned into "_", then the domain), else
// UNDELIVERABLE; a recipient named twice goes out once. Postfix files unknown
// addresses of the domain into the catch-all Maildir.
const std::vector<Kind>& Kinds() {
  static const std::vector<Kind> kinds = {
      {"one local address in To",
       "From: \"Smith, Ann\" <ann@origin.org>\nTo: alice@example.com\nSubject: hello\n",
       "Hello Alice.\n", {"alice"}, "ANN@ORIGIN.ORG"},
      {"display name and a second address",
       "From: ann@origin.org\nTo: \"Alice A.\" <alice@example.com>, bob@example.com\n",
       "To both.\n", {"alice", "bob"}, "ANN@ORIGIN.ORG"},
      {"To folded onto a TAB line",
       "From: ann@origin.org\nTo: someone@origin.org,\n\tcarol@example.com\nSubject: folded\n",
       "Folded.\n", {"carol"}, "ANN@ORIGIN.ORG"},
      {"local address in Cc only",
       "From: ann@origin.org\nTo: list@origin.org\nCc: dave@example.com\n",
       "Copy.\n", {"dave"}, "ANN@ORIGIN.ORG"},
      {"Apparently-To without To",
       "From: ann@origin.org\nApparently-To: bob@example.com\n",
       "Apparently.\n", {"bob"}, "ANN@ORIGIN.ORG"},
      {"same address in To and Cc",
       "From: ann@origin.org\nTo: alice@example.com\nCc: Alice <alice@example.com>, carol@example.com\n",
       "Twice.\n", {"alice", "carol"}, "ANN@ORIGIN.ORG"},
      {"field name and address in mixed case",
       "from: Bert <Bert@Origin.Org>\nto: Carol@Example.COM\n",
       "Case.\n", {"carol"}, "BERT@ORIGIN.ORG"},
      {"unknown addresses of the domain",
       "From: ann@origin.org\nTo: zed@example.com, yan@example.com\n",
       "Nobody here.\n", {kCatchAll, kCatchAll}, "ANN@ORIGIN.ORG"},
      {"empty mailbox name",
       "From: ann@origin.org\nTo: <@example.com>\n",
       "Empty name.\n", {"postmaster"}, "ANN@ORIGIN.ORG"},
      {"Received line with a for clause",
       "Received: from relay.origin.org by mx.origin.org for <carol@example.com>; "
       "Tue, 1 Dec 2026 10:00:00 +0000\nFrom: ann@origin.org\nTo: list@origin.org\n",
       "Via a list.\n", {"carol"}, "ANN@ORIGIN.ORG"},
      {"Received line with a bracket before the for clause",
       "Received: from <relay.origin.org> by mx.origin.org for <dave@example.com>; "
       "Tue, 1 Dec 2026 10:00:00 +0000\nFrom: ann@origin.org\nTo: Erin <erin@partner.org>\n",
       "Listed.\n", {"erin_partner.org"}, "ANN@ORIGIN.ORG"},
      {"foreign address on the address list",
       "From: ann@origin.org\nTo: erin@partner.org\n",
       "Listed too.\n", {"erin_partner.org"}, "ANN@ORIGIN.ORG"},
      {"address-list entry with a blank",
       "From: ann@origin.org\nTo: Ivan Smith <ivan@far.org>\n",
       "By name.\n", {kCatchAll}, "ANN@ORIGIN.ORG"},
      {"foreign addresses only",
       "From: ann@origin.org\nTo: frank@far.org\n",
       "Lost.\n", {"undeliverable"}, "ANN@ORIGIN.ORG"},
      {"no address fields, sender without an at sign",
       "From: daemon\nSubject: no fields\n",
       "Nothing.\n", {"undeliverable"}, kFixedSender},
      {"local addresses only in Reply-To and the body",
       "From: ann@origin.org\nReply-To: bob@example.com\nTo: frank@far.org\n",
       "To: alice@example.com\n", {"undeliverable"}, "ANN@ORIGIN.ORG"},
      {"longer domain that begins with the local one",
       "From: ann@origin.org\nTo: gail@example.com.far.org\n",
       "Longer.\n", {"undeliverable"}, "ANN@ORIGIN.ORG"},
      {"lines beginning with dots",
       "From: ann@origin.org\nTo: alice@example.com\n",
       ".\n..\n.leading dot\n...three\n. \nend\n", {"alice"}, "ANN@ORIGIN.ORG"},
      {"long lines",
       "From: ann@origin.org\nTo: bob@example.com\n",
       Letters(5000, 'a') + "\n" + Letters(999, 'k') + "\n" + Letters(2500, 'q') + "\nshort\n" +
           Letters(2049, 'c') + "\n",
       {"bob"}, "ANN@ORIGIN.ORG"},
      {"Return-Receipt-To lines",
       "From: ann@origin.org\nReturn-Receipt-To: ann@origin.org\nTo: carol@example.com\n"
       "return-receipt-to: ann@origin.org\n",
       "Return-Receipt-To: dropped\n Return-Receipt-To: kept\nkept too\n", {"carol"},
       "ANN@ORIGIN.ORG"},
      {"eight-bit bytes and +OK lines",
       "From: ann@origin.org\nTo: dave@example.com\n",
       "caf\xE9 \xFF\n+OK\n+OK 1 not-the-end\n", {"dave"}, "ANN@ORIGIN.ORG"},
      {"five recipients",
       "From: ann@origin.org\nTo: alice@example.com, bob@example.com\n"
       "Cc: carol@example.com, dave@example.com,\n postmaster@example.com\n",
       "All.\n", {"alice", "bob", "carol", "dave", "postmaster"}, "ANN@ORIGIN.ORG"},
      {"Received lines of its own",
       "Received: from a.origin.org by b.origin.org; Tue, 1 Dec 2026 09:00:00 +0000\n"
       "Received: from c.origin.org\n\tby d.origin.org; Tue, 1 Dec 2026 09:01:00 +0000\n"
       "From: ann@origin.org\nTo: dave@example.com\n",
       "Relayed.\n", {"dave"}, "ANN@ORIGIN.ORG"},
      {"sender with a comment",
       "From: bare@origin.org (Bare Person)\nTo: alice@example.com\n",
       "Comment.\n", {"alice"}, "BARE@ORIGIN.ORG"},
      {"two From lines",
       "From: first@origin.org\nTo: bob@example.com\nFrom: second@origin.org\n",
       "Second wins.\n", {"bob"}, "SECOND@ORIGIN.ORG"},
  };
  return kinds;
}

std::string MessageId(int index) { return "<m" + std::to_string(index) + "@test.invalid>"; }

std::string MessageBytes(int index) {
  const Kind& kind = Kinds()[index % Kinds().size()];
  return "Message-ID: " + MessageId(index) + "\n" + kind.header + "\n" + kind.body;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The lines of the spool file: the message as POP3 carries it (a line that
// begins with "." gets another one), without the lines that begin with
// "Return-Receipt-To:", cut into pieces of at most 999 characters; a piece
// that goes on a line and begins with "." gets another one too.
std::vector<std::string> SpoolLines(const std::string& message) {
  std::vector<std::string> lines;
  for (std::string line : Lines(message)) {
    if (line.starts_with("Return-Receipt-To:")) continue;
    if (line.starts_with(".")) line.insert(0, ".");
    for (std::size_t at = 0; at == 0 || at < line.size(); at += 999) {
      std::string piece = line.substr(at, 999);
      if (at > 0 && piece.starts_with(".")) piece.insert(0, ".");
      lines.push_back(piece);
    }
  }
  return lines;
}

// The archived spool file: its lines and the closing ".".
std::string ArchivedBytes(const std::string& message) {
  std::string bytes;
  for (const std::string& line : SpoolLines(message)) bytes += line + "\n";
  return bytes + ".\n";
}

// What Postfix files: the spool lines with the SMTP dot-stuffing undone.
std::string DeliveredBytes(const std::string& message) {
  std::string bytes;
  for (const std::string& line : SpoolLines(message)) {
    bytes += (line.starts_with(".") ? line.substr(1) : line) + "\n";
  }
  return bytes;
}

// The message number in the Message-ID header, or -1.
int IndexOf(const std::string& content) {
  const std::size_t at = content.find("Message-ID: <m");
  if (at == std::string::npos) return -1;
  return std::stoi(content.substr(at + 14));
}

class MailFlowTest : public GatewayFixture {};

TEST_F(MailFlowTest, TwoHundredMessagesReachTheirMailboxesAndLeaveNothingBehind) {
  ASSERT_NO_FATAL_FAILURE(StartServers());
  Configure("2", kMailList);
  std::map<int, std::vector<std::string>> expected_mailboxes;
  std::vector<std::string> expected_archive;
  int expected_deliveries = 0;
  for (int i = 0; i < kMessages; ++i) {
    dovecot_->AddMessage(MessageBytes(i));
    std::vector<std::string> mailboxes = Kinds()[i % Kinds().size()].mailboxes;
    std::sort(mailboxes.begin(), mailboxes.end());
    expected_deliveries += static_cast<int>(mailboxes.size());
    expected_mailboxes[i] = mailboxes;
    expected_archive.push_back(ArchivedBytes(MessageBytes(i)));
  }

  const platform::testing::ProcessResult result = RunGateway();
  EXPECT_EQ(result.exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(expected_deliveries, 60000))
      << postfix_->DeliveredCount() << " of " << expected_deliveries << "\n"
      << postfix_->Log();

  std::map<int, std::vector<std::string>> found_mailboxes;
  std::vector<std::string> mailboxes = kMailboxes;
  mailboxes.push_back(kCatchAll);
  for (const std::string& mailbox : mailboxes) {
    for (const DeliveredMessage& delivered : postfix_->Delivered(mailbox)) {
      const std::string content = delivered.content();
      const int index = IndexOf(content);
      ASSERT_GE(index, 0) << mailbox << "/" << delivered.file << ":\n" << delivered.bytes;
      const Kind& kind = Kinds()[index % Kinds().size()];
      found_mailboxes[index].push_back(mailbox);
      EXPECT_EQ(content, DeliveredBytes(MessageBytes(index))) << kind.name << ", " << mailbox;
      EXPECT_TRUE(delivered.bytes.starts_with("Return-Path: <" + kind.sender + ">\n"))
          << kind.name << ":\n" << delivered.bytes.substr(0, 200);
    }
  }
  for (int i = 0; i < kMessages; ++i) {
    std::sort(found_mailboxes[i].begin(), found_mailboxes[i].end());
    EXPECT_EQ(found_mailboxes[i], expected_mailboxes[i])
        << "message " << i << ": " << Kinds()[i % Kinds().size()].name;
  }
  EXPECT_EQ(postfix_->DeliveredCount(), expected_deliveries);

  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  EXPECT_THAT(Spool("in"), ::testing::IsEmpty());
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  std::vector<std::string> archive;
  for (const std::string& name : Spool("Archive")) {
    archive.push_back(testing_support::ReadFileBytes(root_.spool() / "Archive" / name));
  }
  std::sort(archive.begin(), archive.end());
  std::sort(expected_archive.begin(), expected_archive.end());
  EXPECT_EQ(archive, expected_archive);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
}

TEST_F(MailFlowTest, CommandsHiddenAfterAPieceOfALongLineStayInTheMessage) {
  // Cut at 999 characters, the line would leave a lone "." that ends the
  // data early, and the lines after it would reach Postfix as commands of a
  // second, forged transaction to bob.
  ASSERT_NO_FATAL_FAILURE(StartServers());
  Configure("1");
  const std::string message = "From: mallory@origin.org\nTo: alice@example.com\n\n" +
                              Letters(999, 'p') + ".\nMAIL FROM:<boss@example.com>\n"
                              "RCPT TO:<bob@example.com>\nDATA\nSubject: forged\n\npay\n" +
                              Letters(999, 'q') + ".x\nend\n";
  dovecot_->AddMessage(message);

  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
  const std::vector<DeliveredMessage> delivered = postfix_->Delivered("alice");
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].content(), DeliveredBytes(message));
  EXPECT_NE(delivered[0].content().find(Letters(999, 'p') + "\n.\nMAIL FROM:"), std::string::npos);
  EXPECT_THAT(postfix_->Delivered("bob"), ::testing::IsEmpty());
  EXPECT_EQ(postfix_->DeliveredCount(), 1);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
}

TEST_F(MailFlowTest, HeaderLineLongerThan999CharactersStaysOneFieldOfTheHeader) {
  // The spool keeps the line as pieces of 999 characters; the second piece
  // goes on as a folded line of the field, so Postfix keeps the To field
  // after it in the header.
  ASSERT_NO_FATAL_FAILURE(StartServers());
  Configure("1");
  const std::string field = "X-Long: " + Letters(1509, 'a');  // 1,517 characters
  dovecot_->AddMessage("From: ann@origin.org\n" + field + "\nTo: bob@example.com\n\nbody\n");

  EXPECT_EQ(RunGateway().exit_code, 0);
  ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
  const std::vector<DeliveredMessage> delivered = postfix_->Delivered("bob");
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].content(), "From: ann@origin.org\n" + field.substr(0, 999) + "\n\t" +
                                        field.substr(999) + "\nTo: bob@example.com\n\nbody\n");
  EXPECT_EQ(postfix_->DeliveredCount(), 1);
  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  EXPECT_THAT(Spool("Archive"), ::testing::IsEmpty());
}

}  // namespace
}  // namespace real_servers_test
