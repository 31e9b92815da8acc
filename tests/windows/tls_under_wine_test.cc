// Quillon.exe under Wine against Dovecot requiring TLS, with certificates of
// a CA made by the test: Schannel (in Wine, built on GnuTLS) with the
// gateway's own checks of the chain and the name. Wine's root store is the
// host's, which does not hold the test CA.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "gateway/control/text.h"
#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/oauth_server.h"
#include "tests/support/real_servers.h"
#include "tests/support/scripted_smtp_server.h"
#include "tests/support/test_certificates.h"
#include "tests/windows/wine.h"

namespace {

using testing_support::EventStrings;
using testing_support::OnPath;
using testing_support::QuillonExe;
using testing_support::ReadFileBytes;
using testing_support::TestCertificates;
using testing_support::Wine;
using testing_support::WindowsPath;

struct WineCase {
  std::string name;
  std::string popsecurity;
  bool by_name;               // popserver "localhost" (Dovecot on 127.0.0.1), else the address
  std::string alt_names;      // "" : the server's own (address or localhost)
  TestCertificates::Kind kind;
  bool trust_ca_file;
  std::string entry;          // PopLogin's entry begins so; "" : the run succeeds
};

void PrintTo(const WineCase& c, std::ostream* out) { *out << c.name; }

class TlsUnderWineTest : public ::testing::TestWithParam<WineCase> {
 protected:
  void SetUp() override {
    if (!OnPath("wine") || !std::filesystem::exists(QuillonExe())) {
      GTEST_SKIP() << "needs wine and " << QuillonExe();
    }
    const std::string why = testing_support::RealServersUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(certificates_.ok());
  }

  // The settings, and the Wine prefix's registry holding them.
  void Configure(const std::string& popserver, const std::string& popsecurity,
                 const std::string& popcafile, const std::string& smtp) {
    root_.MakeSpool();
    std::map<std::string, std::string> settings = {
        {"localdomain", "example.com"},
        {"localserver", smtp},
        {"popserver", popserver},
        {"popname", "site"},
        {"poppass", secret_},
        {"installdir", WindowsPath(root_.path())},
        {"exchangedir", WindowsPath(root_.exchangedir())},
        {"loglevel", "1"},
        {"popsecurity", popsecurity},
        {"popcafile", popcafile}};
    if (!popauth_.empty()) settings["popauth"] = popauth_;
    if (oauth_) {
      settings["oauthtokenurl"] = oauth_->TokenUrl();
      settings["oauthclientid"] = "client-1";
    }
    root_.WriteSettings(settings);
    wine_.emplace(root_.path() / "wineprefix");
    const platform::testing::ProcessResult imported =
        wine_->Run({"regedit", "/S", WindowsPath(root_.path() / "registry.reg")}, Log());
    ASSERT_TRUE(imported.exited && imported.exit_code == 0) << ReadFileBytes(Log());
  }

  std::filesystem::path Log() const { return root_.path() / "wine.log"; }

  // PopLogin's event-log entries in the Wine log.
  std::vector<std::string> PopLoginEntries() const {
    std::vector<std::string> entries;
    for (const std::string& text : EventStrings(Log())) {
      if (text.starts_with(" - PopLogin - ")) entries.push_back(text);
    }
    return entries;
  }

  void Check(const WineCase& c);

  testing_support::MachineRoot root_;
  TestCertificates certificates_;
  std::optional<Wine> wine_;
  std::string popauth_;  // the login method; empty: none set
  std::string secret_ = "secret";  // poppass
  std::unique_ptr<testing_support::OauthServer> oauth_;
};

// One run of the gateway against a Dovecot presenting the case's certificate.
void TlsUnderWineTest::Check(const WineCase& c) {
  // "localhost" is 127.0.0.1, which no other test binds.
  const std::string address =
      c.by_name ? "127.0.0.1"
                : platform::testing::FreshLoopbackAddress(
                      {110, 995, testing_support::OauthServer::kHttpPort,
                       testing_support::OauthServer::kHttpsPort});
  const std::string popserver = c.by_name ? "localhost" : address;
  const std::string alt_names =
      !c.alt_names.empty() ? c.alt_names : (c.by_name ? "DNS:localhost" : "IP:" + address);
  const TestCertificates::Files files = certificates_.Issue("pop", alt_names, c.kind);
  ASSERT_FALSE(files.certificate.empty());
  // With XOAUTH2 Dovecot takes the tokens of oauth_.
  if (popauth_ == "xoauth2") {
    oauth_ = std::make_unique<testing_support::OauthServer>(address, files.certificate, files.key,
                                                            "client-1", "secret", "site");
  }
  testing_support::DovecotProvider dovecot(
      address, "site", "secret",
      testing_support::DovecotTls{files.certificate.string(), files.key.string()},
      {.apop = false, .introspection_url = oauth_ ? oauth_->IntrospectionUrl() : ""});
  ASSERT_TRUE(dovecot.Start()) << dovecot.Log();
  dovecot.AddMessage("From: a@example.org\nTo: u@example.com\n\nfirst\n");
  const std::string smtp = platform::testing::FreshLoopbackAddress({25});
  testing_support::ScriptedSmtpServer exchange(
      smtp, testing_support::SmtpScript().On("NOOP",
                                             testing_support::SmtpAction::Reply("502 no\r\n")));
  ASSERT_NO_FATAL_FAILURE(Configure(popserver, c.popsecurity,
                                    c.trust_ca_file ? WindowsPath(certificates_.ca_file()) : "",
                                    smtp));

  const platform::testing::ProcessResult run = wine_->Run({QuillonExe().string()}, Log());
  ASSERT_TRUE(run.exited) << (run.timed_out ? "timed out" : "killed");
  if (c.entry.empty()) {
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_THAT(PopLoginEntries(), ::testing::IsEmpty());
    EXPECT_TRUE(dovecot.WaitForMessageCount(0));
    const std::vector<std::string> transcripts = exchange.Transcripts();
    EXPECT_TRUE(std::any_of(transcripts.begin(), transcripts.end(), [](const std::string& t) {
      return t.find("\n\nfirst\n.\n") != std::string::npos;
    }));
    EXPECT_NE(dovecot.Log().find(", TLS"), std::string::npos) << dovecot.Log();
    if (!popauth_.empty()) {
      EXPECT_NE(dovecot.Log().find("Login: user=<site>, method=" + UpperCase(popauth_)),
                std::string::npos)
          << dovecot.Log();
    }
  } else {
    EXPECT_EQ(run.exit_code, 255);
    EXPECT_THAT(PopLoginEntries(), ::testing::ElementsAre(::testing::StartsWith(c.entry)));
    EXPECT_EQ(dovecot.MessageCount(), 1);
    EXPECT_EQ(dovecot.Log().find("Login: user="), std::string::npos) << dovecot.Log();
  }
}

constexpr const char* kFailed = " - PopLogin - TLS handshake failed - certificate verify failed: ";

TEST_P(TlsUnderWineTest, LoginVerifiesTheServer) { Check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsUnderWineTest,
    ::testing::Values(
        WineCase{"TlsWithCaFile", "tls", false, "", TestCertificates::Kind::kIssued, true, ""},
        WineCase{"StartTlsWithCaFile", "starttls", false, "", TestCertificates::Kind::kIssued,
                 true, ""},
        WineCase{"OtherAddress", "tls", false, "IP:127.0.0.1,DNS:pop.other.example",
                 TestCertificates::Kind::kIssued, true,
                 std::string(kFailed) +
                     "the certificate is not issued to the server's address"},
        WineCase{"Expired", "tls", false, "", TestCertificates::Kind::kExpired, true,
                 std::string(kFailed) +
                     "the certificate has expired or is not yet valid (0x800B0101)"},
        WineCase{"SelfSigned", "starttls", false, "", TestCertificates::Kind::kSelfSigned, true,
                 std::string(kFailed) + "the chain does not end in a certificate of "},
        WineCase{"WithoutCaFile", "starttls", false, "", TestCertificates::Kind::kIssued, false,
                 std::string(kFailed) +
                     "the chain cannot be built to a trusted root (0x800B010A)"}),
    [](const ::testing::TestParamInfo<WineCase>& info) { return info.param.name; });

// The cases that need a host name: "localhost", that is 127.0.0.1, which no
// other test binds; one after the other, since both listen there.
class TlsUnderWineByNameTest : public TlsUnderWineTest {};

TEST_F(TlsUnderWineByNameTest, NameIsVerified) {
  for (const WineCase& c : {
        WineCase{"ByName", "tls", true, "", TestCertificates::Kind::kIssued, true, ""},
        WineCase{"OtherName", "tls", true, "DNS:pop.other.example",
                 TestCertificates::Kind::kIssued, true,
                 std::string(kFailed) +
                     "the certificate is not issued to the server's name (0x800B010F)"}}) {
    SCOPED_TRACE(c.name);
    Check(c);
  }
}

// SASL PLAIN and XOAUTH2 from Quillon.exe, inside TLS; XOAUTH2's token
// fetched over HTTPS through the same Schannel checks.
class LoginMethodUnderWineTest : public TlsUnderWineTest {};

TEST_F(LoginMethodUnderWineTest, PlainLogsIn) {
  popauth_ = "plain";
  Check(WineCase{"plain", "tls", false, "", TestCertificates::Kind::kIssued, true, ""});
}

TEST_F(LoginMethodUnderWineTest, Xoauth2LogsIn) {
  popauth_ = "xoauth2";
  Check(WineCase{"xoauth2", "starttls", false, "", TestCertificates::Kind::kIssued, true, ""});
  EXPECT_EQ(oauth_->TokenRequests(), 1);
  EXPECT_GE(oauth_->IntrospectionRequests(), 1);
}

TEST_F(LoginMethodUnderWineTest, Xoauth2WithAWrongSecretFailsBeforeTheLogin) {
  popauth_ = "xoauth2";
  secret_ = "wrong";
  Check(WineCase{"xoauth2", "tls", false, "", TestCertificates::Kind::kIssued, true,
                 " - PopLogin - Token refused - HTTP 401 - invalid_client - "
                 "The client secret is not valid."});
  EXPECT_EQ(oauth_->IntrospectionRequests(), 0);
}

}  // namespace
