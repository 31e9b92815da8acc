// The registry file reader over arbitrary text; what it reads, written out
// and read again, must come back the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/regedit_file.h"

namespace regedit = platform::regedit;

namespace {
bool SameValue(const regedit::Value& a, const regedit::Value& b) {
  return a.name == b.name && a.type == b.type && a.data == b.data;
}

bool SameDocument(const regedit::Document& a, const regedit::Document& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (std::size_t k = 0; k < a.keys.size(); ++k) {
    const regedit::Key& x = a.keys[k];
    const regedit::Key& y = b.keys[k];
    if (x.path != y.path || x.values.size() != y.values.size()) return false;
    for (std::size_t v = 0; v < x.values.size(); ++v) {
      if (!SameValue(x.values[v], y.values[v])) return false;
    }
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const regedit::Document document =
      regedit::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const regedit::Key& key : document.keys) {
    FUZZ_CHECK(!key.path.empty());
    FUZZ_CHECK(document.FindKey(key.path) == &key);
    FUZZ_CHECK(document.KeyExists(key.path));
    for (const regedit::Value& value : key.values) FUZZ_CHECK(key.FindValue(value.name) == &value);
  }
  const std::string text = regedit::Serialize(document);
  const regedit::Document again = regedit::Parse(text);
  FUZZ_CHECK(SameDocument(document, again));
  FUZZ_CHECK(regedit::Serialize(again) == text);
  return 0;
}
