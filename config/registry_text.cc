#include "config/registry_text.h"

#include <array>
#include <cstring>

#include "gateway/control/text.h"

namespace setwick {

namespace {
constexpr std::uint32_t kReadBufferSize = 256;
constexpr std::size_t kWriteBufferSize = 100;
}  // namespace

long ReadText(platform::RegKey key, const char* name, std::string* text) {
  std::array<unsigned char, kReadBufferSize> buffer{};
  std::uint32_t size = kReadBufferSize;
  const long status = platform::env().RegQuery(key, name, nullptr, buffer.data(), &size);
  if (status != platform::kErrorSuccess) buffer.fill(0);
  *text = CString(reinterpret_cast<const char*>(buffer.data()), kReadBufferSize - 1);
  return status;
}

long WriteText(platform::RegKey key, const char* name, const std::string& text,
               std::uint32_t type) {
  std::array<char, kWriteBufferSize> buffer{};
  std::strncpy(buffer.data(), text.c_str(), kWriteBufferSize - 1);
  const std::uint32_t size = static_cast<std::uint32_t>(std::strlen(buffer.data()) + 1);
  return platform::env().RegSet(key, name, type,
                                reinterpret_cast<const unsigned char*>(buffer.data()), size);
}

}  // namespace setwick
