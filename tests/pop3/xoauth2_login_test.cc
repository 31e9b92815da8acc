// The XOAUTH2 login: the token asked of an HTTPS token endpoint (openssl's
// s_server with a certificate of the test CA, answering the bytes of a
// file), then AUTH XOAUTH2 at the scripted POP3 server.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "gateway/control/oauth_token.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "tests/pop3/pop3_fixture.h"
#include "tests/support/oauth_server.h"
#include "tests/support/test_certificates.h"

namespace pop3_testing {
namespace {

using platform::testing::ChildProcess;
using testing_support::TestCertificates;

constexpr std::uint16_t kEndpointPort = 8443;
constexpr int kStartLimitMs = 10000;
// base64 of "user=postmaster" ^A "auth=Bearer tok-1" ^A ^A
constexpr char kResponse[] = "dXNlcj1wb3N0bWFzdGVyAWF1dGg9QmVhcmVyIHRvay0xAQE=";

std::string JsonReply(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

class Xoauth2LoginTest : public Pop3Test {
 protected:
  void SetUp() override {
    Pop3Test::SetUp();
    ASSERT_TRUE(certificates_.ok());
    endpoint_ = platform::testing::FreshLoopbackAddress({kEndpointPort});
    ForgetAccessToken();
    GatewaySettings.popauth = PopAuth::kXoauth2;
    GatewaySettings.popname = "postmaster";
    GatewaySettings.poppass = "s3cret&=+";
    GatewaySettings.oauthclientid = "client-1";
    GatewaySettings.oauthscope = kDefaultOauthScope;
    GatewaySettings.oauthtokenurl =
        "https://" + endpoint_ + ":" + std::to_string(kEndpointPort) + "/tenant/token";
    GatewaySettings.popcafile = certificates_.ca_file().string();
    server_->OfferSasl("PLAIN XOAUTH2");
    server_->AcceptLogin(kResponse);
  }
  void TearDown() override {
    if (endpoint_process_) endpoint_process_->Kill();
    ForgetAccessToken();
    GatewaySettings.popauth = PopAuth::kUser;
    GatewaySettings.popcafile.clear();
    Pop3Test::TearDown();
  }

  // The token endpoint: answers every connection with reply.
  void StartEndpoint(const std::string& reply) {
    const TestCertificates::Files files = certificates_.Issue("endpoint", "IP:" + endpoint_);
    ASSERT_FALSE(files.certificate.empty());
    const std::filesystem::path reply_file = spool_.root() / "reply.http";
    testing_support::WriteFileBytes(reply_file, reply);
    endpoint_process_ = ChildProcess::Start(
        {"sh", "-c", "exec openssl s_server -quiet -accept \"$0\" -cert \"$1\" -key \"$2\" "
                     "<\"$3\" >/dev/null 2>&1",
         endpoint_ + ":" + std::to_string(kEndpointPort), files.certificate.string(),
         files.key.string(), reply_file.string()},
        {});
    ASSERT_NE(endpoint_process_, nullptr);
    // Waits for the listening socket in the kernel's table: a probe
    // connection would be a client of s_server's too and take the reply.
    ASSERT_TRUE(testing_support::AwaitListening(endpoint_, kEndpointPort, kStartLimitMs))
        << "s_server did not start";
  }

  // No entry holds the client secret or the token.
  void ExpectNoSecretInTheLog() {
    for (const auto& event : env_.events) {
      EXPECT_EQ(event.message.find("s3cret"), std::string::npos) << event.message;
      EXPECT_EQ(event.message.find("tok-1"), std::string::npos) << event.message;
    }
  }

  TestCertificates certificates_;
  std::string endpoint_;
  std::unique_ptr<ChildProcess> endpoint_process_;
};

TEST_F(Xoauth2LoginTest, PostsTheGrantThenAuthenticatesWithTheToken) {
  ASSERT_NO_FATAL_FAILURE(StartEndpoint(JsonReply(
      "200 OK", R"({"token_type":"Bearer","expires_in":3599,"access_token":"tok-1"})")));
  ASSERT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
  const std::string form =
      "grant_type=client_credentials&client_id=client-1&client_secret=s3cret%26%3D%2B"
      "&scope=https%3A%2F%2Foutlook.office365.com%2F.default";
  const std::string request =
      "send POST /tenant/token HTTP/1.1\r\nHost: " + endpoint_ + ":8443\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(form.size()) +
      "\r\nAccept: application/json\r\nConnection: close\r\n\r\n" + form;
  EXPECT_NE(std::find(env_.journal.begin(), env_.journal.end(), request), env_.journal.end());
  EXPECT_EQ(Received(), std::string("CAPA\r\nAUTH XOAUTH2\r\n") + kResponse + "\r\n");
}

TEST_F(Xoauth2LoginTest, OneTokenServesBothLoginsOfARun) {
  ASSERT_NO_FATAL_FAILURE(StartEndpoint(JsonReply("200 OK", R"({"access_token":"tok-1"})")));
  ASSERT_EQ(PopLogin(), 0);
  // The endpoint is gone: the second login asks nobody.
  endpoint_process_->Kill();
  endpoint_process_->Wait(kStartLimitMs);
  ASSERT_EQ(EndSession(" - test - "), 0);
  WaitForQuit();
  server_->AcceptLogin(kResponse);
  ASSERT_EQ(PopLogin(), 0);
  EXPECT_TRUE(env_.events.empty());
  EXPECT_EQ(server_->Sessions(), 2);
}

struct TokenFailure {
  const char* name;
  const char* reply;
  const char* message;
};

void PrintTo(const TokenFailure& f, std::ostream* out) { *out << f.name; }

class Xoauth2TokenFailureTest : public Xoauth2LoginTest,
                                public ::testing::WithParamInterface<TokenFailure> {};

TEST_P(Xoauth2TokenFailureTest, FailsTheLoginBeforeThePop3Connection) {
  ASSERT_NO_FATAL_FAILURE(StartEndpoint(GetParam().reply));
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, std::string(" - PopLogin - ") + GetParam().message);
  EXPECT_EQ(server_->Sessions(), 0);
  ExpectNoSecretInTheLog();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Xoauth2TokenFailureTest,
    ::testing::Values(
        TokenFailure{"InvalidClient",
                     "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\n"
                     "Content-Length: 86\r\n\r\n"
                     R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid )"
                     R"(client secret."})",
                     "Token refused - HTTP 401 - invalid_client - AADSTS7000215: Invalid client "
                     "secret."},
        TokenFailure{"NotJson",
                     "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n<html></html>",
                     "Token refused - HTTP 200 - reply is not JSON"},
        TokenFailure{"NoAccessToken",
                     "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n{\"token_type\":\"x\"}\r\n",
                     "Token refused - HTTP 200 - no access_token"},
        TokenFailure{"TokenOfAFailedRequest",
                     "HTTP/1.1 500 Oops\r\nContent-Length: 24\r\n\r\n{\"access_token\":\"tok-1\"}",
                     "Token refused - HTTP 500"},
        TokenFailure{"NotHttp", "SSH-2.0-OpenSSH\r\n\r\n",
                     "Token request failed - Malformed reply"}),
    [](const ::testing::TestParamInfo<TokenFailure>& info) { return info.param.name; });

TEST_F(Xoauth2LoginTest, SilentEndpointFailsWithinTheSilenceLimit) {
  // Connections are taken into the backlog and never answered.
  const auto listener = platform::testing::Listener::Bind(endpoint_, kEndpointPort);
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_TRUE(env_.events[0].message.starts_with(
      " - PopLogin - Token request failed - TLS handshake failed"))
      << env_.events[0].message;
  EXPECT_EQ(server_->Sessions(), 0);
}

TEST_F(Xoauth2LoginTest, EndpointOutsideTheTrustedCaIsRefused) {
  ASSERT_NO_FATAL_FAILURE(StartEndpoint(JsonReply("200 OK", R"({"access_token":"tok-1"})")));
  TestCertificates other;
  ASSERT_TRUE(other.ok());
  GatewaySettings.popcafile = other.ca_file().string();
  EXPECT_EQ(PopLogin(), -1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_TRUE(env_.events[0].message.starts_with(
      " - PopLogin - Token request failed - TLS handshake failed"))
      << env_.events[0].message;
  EXPECT_EQ(server_->Sessions(), 0);
}

}  // namespace
}  // namespace pop3_testing
