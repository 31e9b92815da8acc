// The provider logins beyond USER/PASS against Dovecot over TLS: SASL PLAIN,
// APOP and XOAUTH2 (tokens from the tests' own token endpoint over HTTPS,
// validated by Dovecot's oauth2 passdb at the same server's introspection
// endpoint) deliver the mail end to end; each refusal fails the login with
// its entry, nothing downloaded and the mailbox untouched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/real_servers/gateway_fixture.h"
#include "tests/support/oauth_server.h"
#include "tests/support/test_certificates.h"

namespace real_servers_test {
namespace {

using testing_support::OauthServer;
using testing_support::TestCertificates;

const std::string kMessage = "From: ann@origin.org\nTo: alice@example.com\n\nbody\n";
constexpr char kClientId[] = "client-1";

class LoginMethodTest : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    if (IsSkipped()) return;
    address_ = platform::testing::FreshLoopbackAddress(
        {110, 995, 25, OauthServer::kHttpPort, OauthServer::kHttpsPort});
    ASSERT_TRUE(certificates_.ok());
    files_ = certificates_.Issue("pop", "IP:" + address_);
    ASSERT_FALSE(files_.certificate.empty());
  }

  // Dovecot with these logins (its account "site" with password "secret")
  // holding one message, and Postfix.
  void StartServers(const testing_support::DovecotLogins& logins) {
    dovecot_ = std::make_unique<testing_support::DovecotProvider>(
        address_, "site", "secret",
        testing_support::DovecotTls{files_.certificate.string(), files_.key.string()}, logins);
    postfix_ = std::make_unique<testing_support::PostfixServer>(address_, "example.com",
                                                                kMailboxes);
    ASSERT_TRUE(dovecot_->Start()) << dovecot_->Log();
    ASSERT_TRUE(postfix_->Start()) << postfix_->Log();
    dovecot_->AddMessage(kMessage);
  }

  // The token endpoint knows kClientId with the secret "secret".
  void StartOauth() {
    oauth_ = std::make_unique<OauthServer>(address_, files_.certificate, files_.key, kClientId,
                                           "secret", "site");
  }

  void Configure(const std::string& popauth, const std::string& password,
                 const std::string& popsecurity = "tls") {
    GatewayFixture::Configure("1");
    std::map<std::string, std::string> settings = {
        {"localdomain", "example.com"},
        {"localserver", address_},
        {"popserver", address_},
        {"popname", "site"},
        {"poppass", password},
        {"installdir", (root_.path() / "install").string()},
        {"exchangedir", root_.exchangedir().string()},
        {"loglevel", "1"},
        {"popsecurity", popsecurity},
        {"popcafile", certificates_.ca_file().string()},
        {"popauth", popauth}};
    if (oauth_) {
      settings["oauthtokenurl"] = oauth_->TokenUrl();
      settings["oauthclientid"] = kClientId;
    }
    root_.WriteSettings(settings);
  }

  void ExpectDelivered(const std::string& dovecot_method) {
    EXPECT_THAT(root_.EventMessages(), ::testing::IsEmpty());
    EXPECT_TRUE(dovecot_->WaitForMessageCount(0));
    ASSERT_TRUE(postfix_->WaitForDeliveries(1, 30000)) << postfix_->Log();
    ASSERT_EQ(postfix_->Delivered("alice").size(), 1u);
    EXPECT_EQ(postfix_->Delivered("alice")[0].content(), kMessage);
    EXPECT_NE(dovecot_->Log().find("Login: user=<site>, method=" + dovecot_method),
              std::string::npos)
        << dovecot_->Log();
  }

  // The run failed at the login with an entry beginning so; the mailbox is
  // as it was.
  void ExpectRefused(int exit_code, const std::string& entry) {
    EXPECT_EQ(exit_code, 255);
    EXPECT_THAT(EventsOf(" - PopLogin - "), ::testing::ElementsAre(::testing::StartsWith(entry)));
    EXPECT_EQ(dovecot_->MessageCount(), 1);
    EXPECT_THAT(Spool("in"), ::testing::IsEmpty());
    EXPECT_EQ(postfix_->DeliveredCount(), 0);
    EXPECT_EQ(dovecot_->Log().find("Login: user="), std::string::npos) << dovecot_->Log();
  }

  // A token that Dovecot's introspection finds so fails the login.
  void ExpectTokenFailure(OauthServer::Introspection mode, const std::string& entry) {
    StartOauth();
    oauth_->SetIntrospection(mode);
    StartServers({.apop = false, .introspection_url = oauth_->IntrospectionUrl()});
    Configure("xoauth2", "secret");
    ExpectRefused(RunGateway().exit_code, entry);
    EXPECT_GE(oauth_->IntrospectionRequests(), 1);
  }

  TestCertificates certificates_;
  TestCertificates::Files files_;
  std::unique_ptr<OauthServer> oauth_;
};

TEST_F(LoginMethodTest, PlainDeliversEndToEnd) {
  StartServers({});
  Configure("plain", "secret");
  EXPECT_EQ(RunGateway().exit_code, 0);
  ExpectDelivered("PLAIN");
}

TEST_F(LoginMethodTest, ApopDeliversEndToEnd) {
  StartServers({.apop = true, .introspection_url = ""});
  Configure("apop", "secret");
  EXPECT_EQ(RunGateway().exit_code, 0);
  ExpectDelivered("APOP");
}

// The timestamp is the clear-text greeting's, the digest sent inside TLS.
TEST_F(LoginMethodTest, ApopAfterStlsDeliversEndToEnd) {
  StartServers({.apop = true, .introspection_url = ""});
  Configure("apop", "secret", "starttls");
  EXPECT_EQ(RunGateway().exit_code, 0);
  ExpectDelivered("APOP");
}

// One token request for the run, its form as the grant has it; the token
// (over 2 KB) goes whole through AUTH XOAUTH2 and Dovecot's introspection.
TEST_F(LoginMethodTest, Xoauth2DeliversEndToEnd) {
  StartOauth();
  StartServers({.apop = false, .introspection_url = oauth_->IntrospectionUrl()});
  Configure("xoauth2", "secret");
  EXPECT_EQ(RunGateway().exit_code, 0);
  ExpectDelivered("XOAUTH2");
  EXPECT_EQ(oauth_->TokenRequests(), 1);
  EXPECT_EQ(oauth_->TokenRequestBodies(),
            "grant_type=client_credentials&client_id=client-1&client_secret=secret"
            "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
  EXPECT_GE(oauth_->IntrospectionRequests(), 1);
}

TEST_F(LoginMethodTest, PlainWithAWrongPasswordFailsWithTheServersReply) {
  StartServers({});
  Configure("plain", "wrong");
  ExpectRefused(RunGateway().exit_code, " - PopLogin - -ERR [AUTH] Authentication failed.");
}

TEST_F(LoginMethodTest, ApopWithAWrongPasswordFailsWithTheServersReply) {
  StartServers({.apop = true, .introspection_url = ""});
  Configure("apop", "wrong");
  ExpectRefused(RunGateway().exit_code, " - PopLogin - -ERR [AUTH] Authentication failed.");
}

TEST_F(LoginMethodTest, ApopWithoutATimestampSendsNothing) {
  StartServers({});
  Configure("apop", "secret");
  ExpectRefused(RunGateway().exit_code, " - PopLogin - No APOP timestamp in the greeting");
  EXPECT_EQ(dovecot_->Log().find("apop"), std::string::npos) << dovecot_->Log();
}

TEST_F(LoginMethodTest, Xoauth2WithAWrongSecretNeverReachesTheServer) {
  StartOauth();
  StartServers({.apop = false, .introspection_url = oauth_->IntrospectionUrl()});
  Configure("xoauth2", "wrong");
  ExpectRefused(RunGateway().exit_code,
                " - PopLogin - Token refused - HTTP 401 - invalid_client - "
                "The client secret is not valid.");
  EXPECT_EQ(oauth_->IntrospectionRequests(), 0);
}

TEST_F(LoginMethodTest, Xoauth2WithAGarbledTokenReplyFails) {
  StartOauth();
  oauth_->SetTokenReply(OauthServer::TokenReply::kGarbage);
  StartServers({.apop = false, .introspection_url = oauth_->IntrospectionUrl()});
  Configure("xoauth2", "secret");
  ExpectRefused(RunGateway().exit_code, " - PopLogin - Token refused - HTTP 200 - reply is not JSON");
}

// Dovecot answers a token that its introspection refuses (401) or reports
// inactive with a "+" challenge, and the empty line with "-ERR": a refusal
// is a temporary failure in its words, an inactive token a failed login.
TEST_F(LoginMethodTest, Xoauth2WithARefusedTokenFailsWithTheServersReply) {
  ExpectTokenFailure(OauthServer::Introspection::kRefused,
                     " - PopLogin - -ERR [SYS/TEMP] Temporary authentication failure.");
}

TEST_F(LoginMethodTest, Xoauth2WithAnExpiredTokenFailsWithTheServersReply) {
  ExpectTokenFailure(OauthServer::Introspection::kExpired,
                     " - PopLogin - -ERR [AUTH] Authentication failed.");
}

TEST_F(LoginMethodTest, Xoauth2AtAServerWithoutItNamesWhatIsOffered) {
  StartOauth();
  StartServers({});
  Configure("xoauth2", "secret");
  ExpectRefused(RunGateway().exit_code, " - PopLogin - SASL XOAUTH2 not offered - SASL PLAIN");
}

}  // namespace
}  // namespace real_servers_test
