// A provider whose own Postfix stores the site's mail: every address of the
// site's domain is a virtual alias of the one mailbox that Dovecot serves,
// and Postfix stores one copy per envelope recipient, with X-Original-To
// naming that recipient on top of it. With envelopeheader "X-Original-To"
// each local user gets exactly the copies stored for him, once each; without
// it the header decides, and the users named in it get every copy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/real_servers/gateway_fixture.h"

namespace real_servers_test {
namespace {

using testing_support::DeliveredMessage;
using testing_support::PostfixServer;

constexpr int kWaitMs = 30000;
constexpr char kProviderAccount[] = "site@isp.example";

// One message given to the provider: its envelope recipients and its header.
struct Sent {
  std::vector<std::string> recipients;  // local names of the envelope
  std::string header;
};

// A Bcc recipient, two users in one message, a mailing list that names only
// itself, and a header naming a user who is not an envelope recipient.
const std::vector<Sent>& Messages() {
  static const std::vector<Sent> messages = {
      {{"alice", "bob"}, "From: ann@origin.org\nTo: alice@example.com\nSubject: 1\n"},
      {{"carol", "dave"},
       "From: ann@origin.org\nTo: carol@example.com, dave@example.com\nSubject: 2\n"},
      {{"dave"}, "From: ann@origin.org\nTo: news@lists.origin.org\nSubject: 3\n"},
      {{"carol"}, "From: ann@origin.org\nTo: alice@example.com, carol@example.com\nSubject: 4\n"},
  };
  return messages;
}

class EnvelopeProviderTest : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(StartServers());
    // The provider's server: example.com is a virtual alias domain whose
    // every address is the site's account, the one virtual mailbox, which
    // is Dovecot's Maildir.
    namespace fs = std::filesystem;
    const fs::path maps = dovecot_->directory();
    testing_support::WriteFileBytes(maps / "aliases",
                                    std::string("@example.com ") + kProviderAccount + "\n");
    testing_support::WriteFileBytes(maps / "mailbox", std::string(kProviderAccount) + " Maildir/\n");
    for (const char* name : {"aliases", "mailbox"}) {
      fs::permissions(maps / name, fs::perms::owner_read | fs::perms::owner_write |
                                       fs::perms::group_read | fs::perms::others_read);
      fs::last_write_time(maps / name,
                          fs::file_time_type::clock::now() - std::chrono::minutes(1));
    }
    provider_address_ = platform::testing::FreshLoopbackAddress({25});
    provider_ = std::make_unique<PostfixServer>(
        provider_address_, "isp.example", std::vector<std::string>{},
        std::map<std::string, std::string>{
            {"virtual_alias_domains", "example.com"},
            {"virtual_alias_maps", "texthash:" + (maps / "aliases").string()},
            {"virtual_mailbox_base", maps.string()},
            {"virtual_mailbox_maps", "texthash:" + (maps / "mailbox").string()}});
    ASSERT_TRUE(provider_->Start()) << provider_->Log();
  }

  // Sends every message to the provider and waits until it has stored one
  // copy per envelope recipient in the site's mailbox.
  void FillTheMailbox() {
    std::size_t copies = 0;
    for (const Sent& message : Messages()) {
      std::vector<std::string> commands = {"HELO client.origin.org\r\n",
                                           "MAIL FROM:<ann@origin.org>\r\n"};
      for (const std::string& name : message.recipients) {
        commands.push_back("RCPT TO:<" + name + "@example.com>\r\n");
      }
      commands.push_back("DATA\r\n");
      std::string data = message.header + "\nbody\n.\n";
      for (std::size_t at = 0; (at = data.find('\n', at)) != std::string::npos; at += 2) {
        data.replace(at, 1, "\r\n");
      }
      commands.push_back(data);
      ASSERT_TRUE(SendDirectly(provider_address_, commands)) << provider_->Log();
      copies += message.recipients.size();
    }
    ASSERT_TRUE(dovecot_->WaitForMessageCount(static_cast<int>(copies), kWaitMs))
        << provider_->Log();
  }

  // The subjects of the messages in one of the site's mailboxes, sorted.
  std::vector<std::string> Subjects(const std::string& mailbox) const {
    std::vector<std::string> subjects;
    for (const DeliveredMessage& message : postfix_->Delivered(mailbox)) {
      const std::string content = message.content();
      const std::size_t at = content.find("\nSubject: ");
      subjects.push_back(at == std::string::npos ? "?" : content.substr(at + 10, 1));
    }
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  std::string provider_address_;
  std::unique_ptr<PostfixServer> provider_;
};

TEST_F(EnvelopeProviderTest, EachUserGetsTheCopiesStoredForHimOnceEach) {
  ASSERT_NO_FATAL_FAILURE(FillTheMailbox());
  Configure("1");
  root_.AddSetting("envelopeheader", "X-Original-To");
  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  EXPECT_THAT(Spool("out"), ::testing::IsEmpty());
  ASSERT_TRUE(WaitForEmptyQueue(*postfix_)) << postfix_->Log();

  EXPECT_THAT(Subjects("alice"), ::testing::ElementsAre("1"));
  EXPECT_THAT(Subjects("bob"), ::testing::ElementsAre("1"));
  EXPECT_THAT(Subjects("carol"), ::testing::ElementsAre("2", "4"));
  EXPECT_THAT(Subjects("dave"), ::testing::ElementsAre("2", "3"));
  EXPECT_EQ(postfix_->DeliveredCount(), 6);
  // Each copy that a user got is the one the provider stored for him, and
  // the Bcc recipient stands in no other user's copy.
  for (const std::string mailbox : {"alice", "bob", "carol", "dave"}) {
    for (const DeliveredMessage& message : postfix_->Delivered(mailbox)) {
      SCOPED_TRACE(mailbox + ": " + message.bytes);
      EXPECT_THAT(message.content(),
                  ::testing::StartsWith("X-Original-To: " + mailbox + "@example.com\n"
                                        "Delivered-To: " + kProviderAccount + "\n"));
      std::string lower = message.bytes;
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
      if (mailbox != "bob") {
        EXPECT_THAT(lower, ::testing::Not(::testing::HasSubstr("bob@")));
      }
    }
  }
}

// The control: the same mailbox without the setting. The header decides,
// so a user named in it gets every copy of the message, the Bcc recipient
// gets nothing, and a copy stored for one user also goes to another whom its
// header names. The list's one copy reaches its member through the "for"
// clause of the provider's Received line, which names a single recipient.
TEST_F(EnvelopeProviderTest, WithoutTheSettingTheHeaderGivesDuplicatesAndLosesTheBcc) {
  ASSERT_NO_FATAL_FAILURE(FillTheMailbox());
  Configure("1");
  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  ASSERT_TRUE(WaitForEmptyQueue(*postfix_)) << postfix_->Log();

  EXPECT_THAT(Subjects("alice"), ::testing::ElementsAre("1", "1", "4"));
  EXPECT_THAT(Subjects("bob"), ::testing::IsEmpty());
  EXPECT_THAT(Subjects("carol"), ::testing::ElementsAre("2", "2", "4"));
  EXPECT_THAT(Subjects("dave"), ::testing::ElementsAre("2", "2", "3"));
  EXPECT_EQ(postfix_->DeliveredCount(), 9);
}

}  // namespace
}  // namespace real_servers_test
