// MD5 (RFC 1321), for the digest of APOP only: the gateway's own few lines,
// the same on every platform, rather than a digest library of each.
#pragma once

#include <string>
#include <string_view>

// The digest of bytes as 32 lower-case hex digits.
std::string Md5Hex(std::string_view bytes);
