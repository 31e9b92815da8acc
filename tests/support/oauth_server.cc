#include "tests/support/oauth_server.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/env.h"

namespace testing_support {

namespace {

constexpr int kPollMs = 20;
constexpr int kStartLimitMs = 10000;
// A request must have come whole within this time.
constexpr auto kRequestLimit = std::chrono::seconds(5);

std::string Reply(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// The value of a header field of the request head (name in lower case), or "".
std::string Field(const std::string& head, const std::string& name) {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.ends_with('\r')) line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (key != name) continue;
    std::size_t start = colon + 1;
    while (start < line.size() && line[start] == ' ') ++start;
    return line.substr(start);
  }
  return "";
}

// The value of a form field, undecoded, or "" when it is not there.
std::string FormField(const std::string& form, const std::string& name) {
  std::size_t at = 0;
  while (at <= form.size()) {
    std::size_t end = form.find('&', at);
    if (end == std::string::npos) end = form.size();
    const std::string pair = form.substr(at, end - at);
    if (pair.starts_with(name + "=")) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether the kernel's table lists address:port as listening now.
bool ListeningOn(const std::string& address, std::uint16_t port) {
  const std::uint32_t network = platform::env().DottedToAddress(address);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&network);
  char local[32];
  // The table shows the address as the host-order word of its bytes.
  std::snprintf(local, sizeof local, "%02X%02X%02X%02X:%04X", bytes[3], bytes[2], bytes[1],
                bytes[0], port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local_address, remote_address, state;
    fields >> slot >> local_address >> remote_address >> state;
    if (local_address == local && state == "0A") return true;
  }
  return false;
}

}  // namespace

bool AwaitListening(const std::string& address, std::uint16_t port, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ListeningOn(address, port)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

OauthServer::OauthServer(const std::string& address, const std::filesystem::path& certificate,
                         const std::filesystem::path& key, std::string client_id,
                         std::string secret, std::string user)
    : address_(address),
      client_id_(std::move(client_id)),
      secret_(std::move(secret)),
      user_(std::move(user)),
      listener_(platform::testing::Listener::Bind(address, kHttpPort)) {
  if (!listener_) throw std::runtime_error("cannot listen on " + address + ":8080");
  acceptor_ = std::thread([this] { AcceptLoop(); });
  // socat ends TLS and hands each connection to the plain listener.
  socat_ = platform::testing::ChildProcess::Start(
      {"socat",
       "OPENSSL-LISTEN:" + std::to_string(kHttpsPort) + ",bind=" + address +
           ",reuseaddr,fork,verify=0,cert=" + certificate.string() + ",key=" + key.string(),
       "TCP:" + address + ":" + std::to_string(kHttpPort)},
      {});
  if (!socat_ || !AwaitListening(address, kHttpsPort, kStartLimitMs)) {
    socat_.reset();
    stopping_ = true;
    acceptor_.join();
    throw std::runtime_error("socat did not listen on " + address + ":8443");
  }
}

OauthServer::~OauthServer() {
  socat_.reset();  // killed
  stopping_ = true;
  acceptor_.join();
}

std::string OauthServer::TokenUrl() const {
  return "https://" + address_ + ":" + std::to_string(kHttpsPort) + "/tenant/oauth2/v2.0/token";
}

std::string OauthServer::IntrospectionUrl() const {
  return "http://" + address_ + ":" + std::to_string(kHttpPort) + "/introspect";
}

std::string OauthServer::TokenRequestBodies() const {
  std::lock_guard lock(mutex_);
  return token_bodies_;
}

void OauthServer::AcceptLoop() {
  // One connection at a time: each is one short request.
  while (!stopping_) {
    std::unique_ptr<platform::testing::ServerConnection> connection = listener_->Accept(kPollMs);
    if (connection) Serve(*connection);
  }
}

void OauthServer::Serve(platform::testing::ServerConnection& connection) {
  std::string request;
  std::size_t head_end = std::string::npos;
  std::size_t length = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRequestLimit;
  char buffer[4096];
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    if (head_end != std::string::npos && request.size() >= head_end + 4 + length) break;
    const int got = connection.Receive(buffer, sizeof buffer, kPollMs);
    if (got == 0) break;
    if (got < 0) continue;
    request.append(buffer, static_cast<std::size_t>(got));
    if (head_end == std::string::npos) {
      head_end = request.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const std::string declared = Field(request.substr(0, head_end + 2), "content-length");
        length = declared.empty() ? 0 : std::stoul(declared);
      }
    }
  }
  if (head_end == std::string::npos || request.size() < head_end + 4 + length) {
    connection.Close();
    return;
  }
  connection.SendAll(Answer(request.substr(0, head_end + 2), request.substr(head_end + 4, length)));
  connection.Close();
}

std::string OauthServer::Answer(const std::string& head, const std::string& body) {
  if (head.starts_with("POST /tenant/oauth2/v2.0/token ")) {
    const int number = ++token_requests_;
    {
      std::lock_guard lock(mutex_);
      if (!token_bodies_.empty()) token_bodies_ += "\n";
      token_bodies_ += body;
    }
    if (token_reply_ == TokenReply::kGarbage) return Reply("200 OK", "<html>busy</html>");
    if (FormField(body, "grant_type") != "client_credentials" ||
        PercentDecode(FormField(body, "client_id")) != client_id_ ||
        PercentDecode(FormField(body, "client_secret")) != secret_) {
      return Reply("401 Unauthorized",
                   "{\"error\":\"invalid_client\",\"error_description\":"
                   "\"The client secret is not valid.\"}");
    }
    // As long as the tokens of the big providers: over 2 KB.
    const std::string token = "tok-" + std::to_string(number) + "." + std::string(2400, 'x');
    {
      std::lock_guard lock(mutex_);
      issued_.insert(token);
    }
    return Reply("200 OK", "{\"token_type\":\"Bearer\",\"expires_in\":3599,"
                           "\"access_token\":\"" + token + "\"}");
  }
  if (head.starts_with("GET /introspect ")) {
    ++introspection_requests_;
    const std::string authorization = Field(head, "authorization");
    bool issued;
    {
      std::lock_guard lock(mutex_);
      issued = authorization.starts_with("Bearer ") && issued_.count(authorization.substr(7)) > 0;
    }
    if (introspection_ == Introspection::kRefused || !issued) {
      return Reply("401 Unauthorized", "{\"error\":\"invalid_token\"}");
    }
    if (introspection_ == Introspection::kExpired) {
      return Reply("200 OK", "{\"active\":false,\"username\":\"" + user_ + "\"}");
    }
    return Reply("200 OK", "{\"active\":true,\"username\":\"" + user_ + "\"}");
  }
  return Reply("404 Not Found", "{}");
}

}  // namespace testing_support
