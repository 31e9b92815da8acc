// A small HTTPS client for the one request the gateway makes besides mail:
// a form posted to an OAuth 2.0 token endpoint. It runs over the platform
// layer's sockets and TLS, verified as the POP3 connection is, and reads one
// bounded reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// "https://host[:port][/path][?query]" taken apart; IPv4 hosts by name or
// dotted-decimal, no user information.
struct HttpsUrl {
  std::string host;
  std::uint16_t port = 443;
  std::string target;  // "/path?query", "/" when the URL has none
};
bool ParseHttpsUrl(std::string_view url, HttpsUrl* parsed);

// One value of an application/x-www-form-urlencoded body: letters, digits
// and "-._~" as they are, a blank as "+", every other byte as %XX.
std::string FormEncode(std::string_view value);

// The longest reply read, headers included.
inline constexpr std::size_t kHttpReplyLimit = 64 * 1024;

struct HttpReply {
  int status = 0;
  std::string body;
};

// Reads an HTTP/1.1 reply as it arrives: the status line, the headers, and a
// body framed by Content-Length, by chunks, or by the end of the stream.
class HttpReplyReader {
 public:
  enum class State { kMore, kComplete, kMalformed, kTooLarge };
  // Takes the next bytes received.
  State Add(std::string_view bytes);
  // The stream has ended: a body framed by nothing is complete now.
  State End();
  const HttpReply& reply() const { return reply_; }

 private:
  State Parse(bool at_end);
  std::string data_;
  HttpReply reply_;
};

// Posts body (of content_type) to url over TLS, trusting the PEM
// certificates of ca_file instead of the system's store when it is set.
// Returns an empty text with *reply filled, or the failed step's words.
std::string HttpsPost(const HttpsUrl& url, const std::string& content_type,
                      const std::string& body, const std::string& ca_file, HttpReply* reply);
