// "maillist.txt" and the text-mode reader under it. Input: one byte for the
// piece length and the read size, then the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_machine.h"
#include "fuzz/text_reference.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "platform/text_file.h"

namespace {
FuzzMachine& Machine() {
  static FuzzMachine machine;
  return machine;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  FuzzMachine& machine = Machine();
  const std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);
  machine.WriteFile("maillist.txt", file);
  machine.SetReadLimit(data[0] >> 4);

  GatewaySettings = {};
  GatewaySettings.installdir = machine.dir().string();
  LoadMailList();
  std::vector<std::string> entries;  // the lines that are no comments, trimmed
  for (const std::string& line : ReferenceLines(file, 9999)) {
    std::string entry = Trim(UpperCase(line));
    if (!entry.starts_with('#')) entries.push_back(entry);
  }
  const std::size_t count = std::min<std::size_t>(entries.size(), GatewaySettings.MailList.size());
  FUZZ_CHECK(GatewaySettings.MailListCount == static_cast<int>(count));
  for (std::size_t i = 0; i < count; ++i) FUZZ_CHECK(GatewaySettings.MailList[i] == entries[i]);

  // The same file in short pieces.
  const std::size_t piece = data[0] % 16 + 1;
  platform::TextFile text;
  FUZZ_CHECK(text.Open((machine.dir() / "maillist.txt").string()));
  std::string line;
  for (const std::string& expected : ReferenceLines(file, piece)) {
    FUZZ_CHECK(text.ReadLine(&line, piece));
    FUZZ_CHECK(line == expected);
  }
  FUZZ_CHECK(!text.ReadLine(&line, piece));
  FUZZ_CHECK(line.empty());
  FUZZ_CHECK(!text.ReadLine(&line, piece));
  return 0;
}
