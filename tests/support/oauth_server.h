// An OAuth 2.0 provider of the tests' own: a token endpoint for the
// client-credentials grant, over HTTPS with a certificate of the test CA
// (socat in front of a plain listener), and an introspection endpoint over
// plain HTTP for a POP3 server that validates the tokens (Dovecot's oauth2
// passdb, "introspection_mode = auth").
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/test_support.h"

namespace testing_support {

// Whether the kernel's table lists address:port as a listening TCP socket
// within timeout_ms (a check that, unlike a probe connection, no server
// sees).
bool AwaitListening(const std::string& address, std::uint16_t port, int timeout_ms);

class OauthServer {
 public:
  static constexpr std::uint16_t kHttpPort = 8080;    // introspection
  static constexpr std::uint16_t kHttpsPort = 8443;   // token endpoint

  enum class TokenReply {
    kIssue,    // 200 with an access_token, for the right client and secret
    kGarbage,  // 200 with a body that is not JSON
  };
  enum class Introspection {
    kActive,    // an issued token is active, for user
    kExpired,   // 200, "active": false
    kRefused,   // 401 with "invalid_token"
  };

  // Listens on address (its ports kHttpPort and kHttpsPort free); the
  // token endpoint's certificate and key are for that address. Throws
  // std::runtime_error when it cannot listen or socat does not start.
  OauthServer(const std::string& address, const std::filesystem::path& certificate,
              const std::filesystem::path& key, std::string client_id, std::string secret,
              std::string user);
  ~OauthServer();
  OauthServer(const OauthServer&) = delete;
  OauthServer& operator=(const OauthServer&) = delete;

  void SetTokenReply(TokenReply reply) { token_reply_ = reply; }
  void SetIntrospection(Introspection mode) { introspection_ = mode; }

  // "https://address:8443/tenant/oauth2/v2.0/token"
  std::string TokenUrl() const;
  // "http://address:8080/introspect"
  std::string IntrospectionUrl() const;
  // Requests that reached the token endpoint, the introspection endpoint.
  int TokenRequests() const { return token_requests_; }
  int IntrospectionRequests() const { return introspection_requests_; }
  // The bodies of the token requests, in order, joined by "\n".
  std::string TokenRequestBodies() const;

 private:
  void AcceptLoop();
  void Serve(platform::testing::ServerConnection& connection);
  std::string Answer(const std::string& head, const std::string& body);

  std::string address_;
  std::string client_id_;
  std::string secret_;
  std::string user_;
  std::atomic<TokenReply> token_reply_{TokenReply::kIssue};
  std::atomic<Introspection> introspection_{Introspection::kActive};
  std::atomic<int> token_requests_{0};
  std::atomic<int> introspection_requests_{0};
  mutable std::mutex mutex_;
  std::string token_bodies_;      // guarded by mutex_
  std::set<std::string> issued_;  // guarded by mutex_
  std::atomic<bool> stopping_{false};
  std::unique_ptr<platform::testing::Listener> listener_;
  std::unique_ptr<platform::testing::ChildProcess> socat_;
  std::thread acceptor_;
};

}  // namespace testing_support
