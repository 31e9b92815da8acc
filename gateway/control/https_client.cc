#include "gateway/control/https_client.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "gateway/control/run_state.h"
#include "gateway/control/text.h"
#include "platform/env.h"

namespace {

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
}

// The position of the blank line that ends the headers, or npos.
std::size_t HeadersEnd(const std::string& data) { return data.find("\r\n\r\n"); }

// The value of the header field name (compared in any case), or npos-marked
// absence through *found.
std::string HeaderValue(std::string_view headers, std::string_view name, bool* found) {
  *found = false;
  std::size_t at = headers.find("\r\n");
  while (at != std::string_view::npos && at < headers.size()) {
    const std::size_t start = at + 2;
    const std::size_t end = std::min(headers.find("\r\n", start), headers.size());
    const std::string_view line = headers.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        UpperCase(std::string(line.substr(0, colon))) == UpperCase(std::string(name))) {
      *found = true;
      return Trim(std::string(line.substr(colon + 1)));
    }
    at = end;
  }
  return "";
}

bool ParseHex(std::string_view text, std::size_t* value) {
  if (text.empty() || text.size() > 8) return false;
  *value = 0;
  for (const char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0'
                      : (c >= 'a' && c <= 'f')                        ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F')                        ? c - 'A' + 10
                                                                      : -1;
    if (digit < 0) return false;
    *value = *value * 16 + static_cast<std::size_t>(digit);
  }
  return true;
}

}  // namespace

bool ParseHttpsUrl(std::string_view url, HttpsUrl* parsed) {
  constexpr std::string_view kScheme = "https://";
  if (url.size() < kScheme.size() ||
      UpperCase(std::string(url.substr(0, kScheme.size()))) != UpperCase(std::string(kScheme))) {
    return false;
  }
  url.remove_prefix(kScheme.size());
  const std::size_t authority_end = std::min(url.find_first_of("/?#"), url.size());
  const std::string_view authority = url.substr(0, authority_end);
  std::string_view rest = url.substr(authority_end);
  if (rest.find('#') != std::string_view::npos) return false;
  const std::size_t colon = authority.find(':');
  const std::string_view host = authority.substr(0, colon);
  if (host.empty() || !std::ranges::all_of(host, IsHostChar)) return false;
  HttpsUrl result;
  result.host = std::string(host);
  if (colon != std::string_view::npos) {
    const std::string_view port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        !std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; })) {
      return false;
    }
    const long number = std::stol(std::string(port));
    if (number < 1 || number > 65535) return false;
    result.port = static_cast<std::uint16_t>(number);
  }
  if (std::ranges::any_of(rest, [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f;
      })) {
    return false;
  }
  result.target = rest.empty() ? "/" : (rest[0] == '?' ? "/" + std::string(rest) : std::string(rest));
  *parsed = std::move(result);
  return true;
}

std::string FormEncode(std::string_view value) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    }
  }
  return out;
}

HttpReplyReader::State HttpReplyReader::Add(std::string_view bytes) {
  data_.append(bytes);
  if (data_.size() > kHttpReplyLimit) return State::kTooLarge;
  return Parse(false);
}

HttpReplyReader::State HttpReplyReader::End() { return Parse(true); }

HttpReplyReader::State HttpReplyReader::Parse(bool at_end) {
  const std::size_t headers_end = HeadersEnd(data_);
  if (headers_end == std::string::npos) return at_end ? State::kMalformed : State::kMore;
  const std::string_view headers(data_.data(), headers_end);
  // "HTTP/1.x NNN reason"
  if (headers.size() < 12 || headers.substr(0, 7) != "HTTP/1." || headers[8] != ' ' ||
      !std::all_of(headers.begin() + 9, headers.begin() + 12,
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return State::kMalformed;
  }
  reply_.status = std::stoi(std::string(headers.substr(9, 3)));
  const std::string_view body(data_.data() + headers_end + 4, data_.size() - headers_end - 4);
  bool chunked = false;
  const std::string encoding = HeaderValue(headers, "Transfer-Encoding", &chunked);
  if (chunked && UpperCase(encoding) != "CHUNKED") return State::kMalformed;
  if (chunked) {
    std::string decoded;
    std::size_t at = 0;
    for (;;) {
      const std::size_t line_end = body.find("\r\n", at);
      if (line_end == std::string_view::npos) return at_end ? State::kMalformed : State::kMore;
      std::string_view size_text = body.substr(at, line_end - at);
      size_text = size_text.substr(0, size_text.find(';'));
      std::size_t size = 0;
      if (!ParseHex(size_text, &size)) return State::kMalformed;
      at = line_end + 2;
      if (size == 0) {
        reply_.body = std::move(decoded);
        return State::kComplete;
      }
      if (body.size() < at + size + 2) return at_end ? State::kMalformed : State::kMore;
      if (body.substr(at + size, 2) != "\r\n") return State::kMalformed;
      decoded.append(body.substr(at, size));
      at += size + 2;
    }
  }
  bool has_length = false;
  const std::string length_text = HeaderValue(headers, "Content-Length", &has_length);
  if (has_length) {
    if (length_text.empty() || length_text.size() > 6 ||
        length_text.find_first_not_of("0123456789") != std::string::npos) {
      return State::kMalformed;
    }
    const std::size_t length = std::stoul(length_text);
    if (body.size() < length) return at_end ? State::kMalformed : State::kMore;
    reply_.body = std::string(body.substr(0, length));
    return State::kComplete;
  }
  if (!at_end) return State::kMore;
  reply_.body = std::string(body);
  return State::kComplete;
}

namespace {

// Sends all of bytes; false on a failed send.
bool SendAll(platform::Socket socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int got = platform::env().Send(socket, bytes.data() + sent,
                                         static_cast<int>(bytes.size() - sent));
    if (got <= 0) return false;
    sent += static_cast<std::size_t>(got);
  }
  return true;
}

// The request and its reply on a connected socket; the failed step's words
// or an empty text.
std::string Exchange(platform::Socket socket, const HttpsUrl& url, const std::string& content_type,
                     const std::string& body, const std::string& ca_file, HttpReply* reply) {
  platform::Env& env = platform::env();
  if (env.SetSilenceLimit(socket, kSilenceLimitMs) == platform::kSocketError) {
    return "Socket failed";
  }
  std::uint32_t address = 0;
  if (!env.LookupHost(url.host, &address)) {
    address = env.DottedToAddress(url.host);
    if (address == platform::kInaddrNone) return "Unknown host " + url.host;
  }
  if (env.Connect(socket, address, url.port) == platform::kSocketError) {
    return "Connect failed to " + url.host;
  }
  if (env.StartTls(socket, url.host, ca_file) == platform::kSocketError) {
    return "TLS handshake failed - " + env.TlsFailureText();
  }
  const std::string host =
      url.port == 443 ? url.host : url.host + ":" + std::to_string(url.port);
  const std::string request = "POST " + url.target + " HTTP/1.1\r\nHost: " + host +
                              "\r\nContent-Type: " + content_type +
                              "\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nAccept: application/json\r\nConnection: close\r\n\r\n" + body;
  if (!SendAll(socket, request)) return "Send failed";
  HttpReplyReader reader;
  char buffer[4096];
  for (;;) {
    const int got = env.Receive(socket, buffer, static_cast<int>(sizeof buffer));
    if (got == platform::kSocketError) return "Recv failed";
    const HttpReplyReader::State state =
        got == 0 ? reader.End()
                 : reader.Add(std::string_view(buffer, static_cast<std::size_t>(got)));
    switch (state) {
      case HttpReplyReader::State::kMore:
        if (got == 0) return "Malformed reply";
        continue;
      case HttpReplyReader::State::kComplete:
        *reply = reader.reply();
        return "";
      case HttpReplyReader::State::kMalformed:
        return "Malformed reply";
      case HttpReplyReader::State::kTooLarge:
        return "Reply too large";
    }
  }
}

}  // namespace

std::string HttpsPost(const HttpsUrl& url, const std::string& content_type,
                      const std::string& body, const std::string& ca_file, HttpReply* reply) {
  platform::Env& env = platform::env();
  const platform::Socket socket = env.CreateStreamSocket();
  if (socket == platform::kInvalidSocket) return "Socket failed";
  const std::string failure = Exchange(socket, url, content_type, body, ca_file, reply);
  env.CloseSocket(socket);
  return failure;
}
