// The provider logins beyond USER/PASS against Dovecot over TLS: SASL PLAIN
// delivers the mail end to end; a wrong password fails the login with
// Dovecot's reply, nothing downloaded and the mailbox untouched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/real_servers/gateway_fixture.h"
#include "tests/support/test_certificates.h"

namespace real_servers_test {
namespace {

using testing_support::TestCertificates;

const std::string kMessage = "From: ann@origin.org\nTo: alice@example.com\n\nbody\n";

struct Method {
  std::string popauth;
  std::string dovecot_method;  // as Dovecot logs the login
};

void PrintTo(const Method& m, std::ostream* out) { *out << m.popauth; }

class LoginMethodTest : public GatewayFixture, public ::testing::WithParamInterface<Method> {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    if (IsSkipped()) return;
    address_ = platform::testing::FreshLoopbackAddress({110, 995, 25});
    ASSERT_TRUE(certificates_.ok());
    const TestCertificates::Files files = certificates_.Issue("pop", "IP:" + address_);
    ASSERT_FALSE(files.certificate.empty());
    dovecot_ = std::make_unique<testing_support::DovecotProvider>(
        address_, "site", "secret",
        testing_support::DovecotTls{files.certificate.string(), files.key.string()});
    postfix_ = std::make_unique<testing_support::PostfixServer>(address_, "example.com",
                                                                kMailboxes);
    ASSERT_TRUE(dovecot_->Start()) << dovecot_->Log();
    ASSERT_TRUE(postfix_->Start()) << postfix_->Log();
    dovecot_->AddMessage(kMessage);
  }

  void Configure(const std::string& password) {
    GatewayFixture::Configure("1");
    root_.WriteSettings({{"localdomain", "example.com"},
                         {"localserver", address_},
                         {"popserver", address_},
                         {"popname", "site"},
                         {"poppass", password},
                         {"installdir", (root_.path() / "install").string()},
                         {"exchangedir", root_.exchangedir().string()},
                         {"loglevel", "1"},
                         {"popsecurity", "tls"},
                         {"popcafile", certificates_.ca_file().string()},
                         {"popauth", GetParam().popauth}});
  }

  TestCertificates certificates_;
};

TEST_P(LoginMethodTest, DeliversEndToEnd) {
  Configure("secret");
  EXPECT_EQ(RunGateway().exit_code, 0);
  EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
  EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
  ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
  ASSERT_EQ(postfix_->Delivered("alice").size(), 1u);
  EXPECT_EQ(postfix_->Delivered("alice")[0].content(), kMessage);
  EXPECT_NE(dovecot_->Log().find("Login: user=<site>, method=" + GetParam().dovecot_method),
            std::string::npos)
      << dovecot_->Log();
}

TEST_P(LoginMethodTest, WrongPasswordFailsWithTheServersReply) {
  Configure("wrong");
  EXPECT_EQ(RunGateway().exit_code, 255);
  EXPECT_THAT(EventsOf(" - PopLogin - "),
              ::testing::ElementsAre(::testing::StartsWith(
                  " - PopLogin - -ERR [AUTH] Authentication failed.")));
  EXPECT_EQ(dovecot_->MessageCount(), 1);
  EXPECT_THAT(Spool("in"), ::testing::IsEmpty());
  EXPECT_EQ(postfix_->DeliveredCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Methods, LoginMethodTest,
                         ::testing::Values(Method{"plain", "PLAIN"}),
                         [](const ::testing::TestParamInfo<Method>& info) {
                           return info.param.popauth;
                         });

}  // namespace
}  // namespace real_servers_test
