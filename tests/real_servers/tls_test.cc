// The gateway's POP3 login over TLS against Dovecot that requires it, with
// certificates of a private CA made by the test: both ways into TLS work
// when the CA is trusted through popcafile, and every certificate that
// cannot be verified stops the login before USER, with its entry, nothing
// downloaded and the mailbox untouched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/real_servers/gateway_fixture.h"
#include "tests/support/test_certificates.h"

namespace real_servers_test {
namespace {

using testing_support::TestCertificates;

const std::string kMessage = "From: ann@origin.org\nTo: alice@example.com\n\nbody\n";

class TlsFixture : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    if (IsSkipped()) return;
    address_ = platform::testing::FreshLoopbackAddress({110, 995, 25});
    ASSERT_TRUE(certificates_.ok());
  }

  // Dovecot requiring TLS with this certificate, and Postfix.
  void StartServers(const TestCertificates::Files& files) {
    ASSERT_FALSE(files.certificate.empty());
    dovecot_ = std::make_unique<testing_support::DovecotProvider>(
        address_, "site", "secret",
        testing_support::DovecotTls{files.certificate.string(), files.key.string()});
    postfix_ = std::make_unique<testing_support::PostfixServer>(address_, "example.com",
                                                                kMailboxes);
    ASSERT_TRUE(dovecot_->Start()) << dovecot_->Log();
    ASSERT_TRUE(postfix_->Start()) << postfix_->Log();
  }

  void Configure(const std::string& popsecurity, const std::string& popcafile) {
    GatewayFixture::Configure("1");
    root_.WriteSettings({{"localdomain", "example.com"},
                         {"localserver", address_},
                         {"popserver", address_},
                         {"popname", "site"},
                         {"poppass", "secret"},
                         {"installdir", (root_.path() / "install").string()},
                         {"exchangedir", root_.exchangedir().string()},
                         {"loglevel", "1"},
                         {"popsecurity", popsecurity},
                         {"popcafile", popcafile}});
  }

  // Dovecot's log lines of logins made inside TLS.
  int TlsLogins() const {
    const std::string log = dovecot_->Log();
    int count = 0;
    for (std::size_t at = 0; (at = log.find("Login: user=<site>", at)) != std::string::npos; ++at) {
      const std::size_t end = log.find('\n', at);
      if (log.substr(at, end - at).find(", TLS") != std::string::npos) ++count;
    }
    return count;
  }

  TestCertificates certificates_;
};

class TlsModeTest : public TlsFixture, public ::testing::WithParamInterface<std::string> {};

TEST_P(TlsModeTest, DownloadsAndDeliversThroughTlsWithThePrivateCa) {
  ASSERT_NO_FATAL_FAILURE(
      StartServers(certificates_.Issue("pop", "IP:" + address_ + ",DNS:pop.example.net")));
  Configure(GetParam(), certificates_.ca_file().string());
  dovecot_->AddMessage(kMessage);

  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
  ASSERT_EQ(postfix_->Delivered("alice").size(), 1u);
  EXPECT_EQ(postfix_->Delivered("alice")[0].content(), kMessage);
  EXPECT_EQ(TlsLogins(), 1) << dovecot_->Log();
}

// A spool file left in "in" by an interrupted run: the recovery pass logs
// in, and the download logs in again 90 seconds later; both inside TLS.
TEST_P(TlsModeTest, RecoveryLoginAndTheSecondLoginUseTlsToo) {
  ASSERT_NO_FATAL_FAILURE(StartServers(certificates_.Issue("pop", "IP:" + address_)));
  Configure(GetParam(), certificates_.ca_file().string());
  testing_support::WriteFileBytes(root_.spool() / "in" / "left-over", "From: a\n\nx\n.\n");
  dovecot_->AddMessage(kMessage);

  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
  EXPECT_EQ(TlsLogins(), 2) << dovecot_->Log();
}

INSTANTIATE_TEST_SUITE_P(BothWays, TlsModeTest, ::testing::Values("tls", "starttls"));

struct RefusedCase {
  std::string name;
  std::string popsecurity;
  TestCertificates::Kind kind;
  bool other_host;     // issued for another address and name
  bool trust_ca_file;  // popcafile names the test CA
  std::string entry;   // PopLogin's one entry
};

void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class TlsRefusedTest : public TlsFixture, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(TlsRefusedTest, LoginStopsBeforeUserAndNothingIsDownloaded) {
  const RefusedCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartServers(certificates_.Issue(
      "pop", c.other_host ? "IP:127.0.0.1,DNS:pop.other.example" : "IP:" + address_, c.kind)));
  Configure(c.popsecurity, c.trust_ca_file ? certificates_.ca_file().string() : "");
  dovecot_->AddMessage(kMessage);

  EXPECT_EQ(RunGateway().exit_code, 255);
  EXPECT_THAT(EventsOf(" - PopLogin - "), ::testing::ElementsAre(c.entry));
  EXPECT_EQ(dovecot_->MessageCount(), 1);
  EXPECT_THAT(Spool("in"), ::testing::IsEmpty());
  EXPECT_EQ(postfix_->DeliveredCount(), 0);
  EXPECT_EQ(dovecot_->Log().find("Login: user="), std::string::npos) << dovecot_->Log();
}

constexpr const char* kVerifyFailed = " - PopLogin - TLS handshake failed - certificate verify failed: ";

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsRefusedTest,
    ::testing::Values(
        RefusedCase{"OtherHost", "tls", TestCertificates::Kind::kIssued, true, true,
                    std::string(kVerifyFailed) + "IP address mismatch"},
        RefusedCase{"Expired", "tls", TestCertificates::Kind::kExpired, false, true,
                    std::string(kVerifyFailed) + "certificate has expired"},
        RefusedCase{"SelfSigned", "starttls", TestCertificates::Kind::kSelfSigned, false, true,
                    std::string(kVerifyFailed) + "self-signed certificate"},
        // The system's store does not hold the test CA.
        RefusedCase{"PrivateCaWithoutCaFile", "starttls", TestCertificates::Kind::kIssued, false,
                    false, std::string(kVerifyFailed) + "unable to get local issuer certificate"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

}  // namespace
}  // namespace real_servers_test
