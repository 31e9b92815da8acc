// The encodings of the logins beyond USER/PASS: base64 for SASL responses,
// MD5 for the APOP digest.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gateway/pop3/base64.h"
#include "gateway/pop3/md5.h"

namespace {

TEST(Base64Test, EncodesTheVectorsOfRfc4648AndEveryByte) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
      {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0postmaster\0secret", 18), "AHBvc3RtYXN0ZXIAc2VjcmV0"},
      {"\xfb\xff\xbf", "+/+/"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(Base64(bytes), text) << text;
}

TEST(Md5Test, DigestsTheVectorsOfRfc1321AndThePaddingEdges) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // 55 bytes fit one block with the length, 56 need two; 64 are a block.
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {"<1896.697170952@dbc.mit.edu>tanstaaf", "b8282ceea143d14e379abefc8fb0eb8a"},
  };
  for (const auto& [bytes, digest] : cases) EXPECT_EQ(Md5Hex(bytes), digest) << bytes;
  std::string high;
  for (int i = 0; i < 100; ++i) high += std::string("\xff\x00", 2);
  EXPECT_EQ(Md5Hex(high), "877ae0cbf2bd9e6a04800241e81b8323");
}

}  // namespace
