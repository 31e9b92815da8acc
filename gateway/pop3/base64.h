// Base64 (RFC 4648, with padding), the encoding of SASL responses.
#pragma once

#include <string>
#include <string_view>

std::string Base64(std::string_view bytes);
