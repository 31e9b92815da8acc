// The pieces of the token request that need no connection: the endpoint's
// URL, the form's encoding, and the reading of an HTTP reply.
#include "gateway/control/https_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HttpsUrlTest, TakesHostPortAndTarget) {
  struct Case {
    std::string url;
    std::string host;
    std::uint16_t port;
    std::string target;
  };
  const std::vector<Case> cases = {
      {"https://login.example.net/tenant/oauth2/v2.0/token", "login.example.net", 443,
       "/tenant/oauth2/v2.0/token"},
      {"HTTPS://127.0.0.5:8443", "127.0.0.5", 8443, "/"},
      {"https://h?x=1", "h", 443, "/?x=1"},
      {"https://h:65535/a?b=c", "h", 65535, "/a?b=c"},
  };
  for (const Case& c : cases) {
    HttpsUrl url;
    ASSERT_TRUE(ParseHttpsUrl(c.url, &url)) << c.url;
    EXPECT_EQ(url.host, c.host);
    EXPECT_EQ(url.port, c.port);
    EXPECT_EQ(url.target, c.target);
  }
  for (const char* bad : {"", "http://h/", "https://", "https:///x", "https://h:/", "https://h:0/",
                          "https://h:65536/", "https://h:8x/", "https://user@h/",
                          "https://h/a b", "https://h/a#frag", "https://h/\r\n"}) {
    HttpsUrl url;
    EXPECT_FALSE(ParseHttpsUrl(bad, &url)) << bad;
  }
}

TEST(FormEncodeTest, KeepsUnreservedBytesAndEscapesTheRest) {
  EXPECT_EQ(FormEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(FormEncode("a b&c=d+e/f"), "a+b%26c%3Dd%2Be%2Ff");
  EXPECT_EQ(FormEncode(std::string("\x00\xff%", 3)), "%00%FF%25");
  EXPECT_EQ(FormEncode("https://outlook.office365.com/.default"),
            "https%3A%2F%2Foutlook.office365.com%2F.default");
}

using State = HttpReplyReader::State;

TEST(HttpReplyReaderTest, ContentLengthFramesTheBodyAcrossReceives) {
  HttpReplyReader reader;
  EXPECT_EQ(reader.Add("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\ncontent-length: 7"),
            State::kMore);
  EXPECT_EQ(reader.Add("\r\n\r\n{\"a\":"), State::kMore);
  EXPECT_EQ(reader.Add("1}"), State::kComplete);
  EXPECT_EQ(reader.reply().status, 200);
  EXPECT_EQ(reader.reply().body, "{\"a\":1}");
}

TEST(HttpReplyReaderTest, ChunksAreJoined) {
  HttpReplyReader reader;
  EXPECT_EQ(reader.Add("HTTP/1.1 400 Bad Request\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "3;x=y\r\nabc\r\nA\r\n0123456789\r\n"),
            State::kMore);
  EXPECT_EQ(reader.Add("0\r\n\r\n"), State::kComplete);
  EXPECT_EQ(reader.reply().status, 400);
  EXPECT_EQ(reader.reply().body, "abc0123456789");
}

TEST(HttpReplyReaderTest, UnframedBodyEndsWithTheStream) {
  HttpReplyReader reader;
  EXPECT_EQ(reader.Add("HTTP/1.0 200 OK\r\n\r\npartial"), State::kMore);
  EXPECT_EQ(reader.End(), State::kComplete);
  EXPECT_EQ(reader.reply().body, "partial");
}

TEST(HttpReplyReaderTest, BrokenRepliesAreMalformedOrTooLarge) {
  const std::vector<std::string> malformed = {
      "SMTP 220 hello\r\n\r\n",
      "HTTP/1.1 2x0 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n",
  };
  for (const std::string& bytes : malformed) {
    HttpReplyReader reader;
    EXPECT_EQ(reader.Add(bytes), State::kMalformed) << bytes;
  }
  HttpReplyReader short_body;
  EXPECT_EQ(short_body.Add("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"), State::kMore);
  EXPECT_EQ(short_body.End(), State::kMalformed);
  HttpReplyReader no_headers_end;
  EXPECT_EQ(no_headers_end.Add("HTTP/1.1 200 OK\r\n"), State::kMore);
  EXPECT_EQ(no_headers_end.End(), State::kMalformed);
  HttpReplyReader large;
  EXPECT_EQ(large.Add("HTTP/1.1 200 OK\r\n\r\n" + std::string(kHttpReplyLimit, 'x')),
            State::kTooLarge);
}

}  // namespace
