// The splitter over an arbitrary raw download. Input: one byte for the
// message count, one for the read size, then "popout.txt".
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_machine.h"
#include "gateway/control/settings.h"
#include "gateway/control/spool_names.h"
#include "gateway/delivery/delivery.h"

namespace {
// The splitter reads and writes a long line in pieces of this many characters.
constexpr std::size_t kLinePiece = 999;

FuzzMachine& Machine() {
  static FuzzMachine machine;
  return machine;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  FuzzMachine& machine = Machine();
  const int count = data[0] % 8;
  machine.SetReadLimit(data[1] % 4 == 0 ? 0 : data[1]);
  const std::string_view popout(reinterpret_cast<const char*>(data + 2), size - 2);

  const std::filesystem::path root = machine.dir() / "quillon";
  const std::filesystem::path in = root / "in";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(in);
  GatewaySettings.exchangedir = machine.dir().string();
  machine.WriteFile("quillon/popout.txt", popout);

  ParseMsgs(count);

  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(root)) {
    FUZZ_CHECK(!entry.path().filename().string().ends_with(".tmp"));
  }
  int files = 0;
  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(in)) {
    ++files;
    const std::string name = entry.path().filename().string();
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(name.find_first_of(UidCharacterSet) == std::string::npos);
    // A usable identifier: 1 to 70 characters from 0x21 to 0x7E, no leading ".".
    FUZZ_CHECK(name.size() <= 70 && name.front() != '.');
    for (const char c : name) FUZZ_CHECK(c >= 0x21 && c <= 0x7E);
    FUZZ_CHECK(entry.is_regular_file());
    // Every line written is a line, or a piece of one, of the download. A
    // piece that goes on a long line is never dropped; in the header (up
    // to the first empty line) it is folded with a TAB, in the body its
    // leading "." is stuffed. The file's one line "." is its last: no line
    // of it ends the mail server's data early.
    const std::string spool = FuzzMachine::ReadFile(entry.path());
    FUZZ_CHECK(spool.ends_with("\n.\n") || spool == ".\n");
    std::size_t previous = 0;
    bool header = true;
    for (std::size_t begin = 0; begin < spool.size();) {
      const std::size_t end = spool.find('\n', begin);
      const std::string_view line = std::string_view(spool).substr(begin, end - begin);
      FUZZ_CHECK((line == ".") == (end + 1 == spool.size()));
      const bool may_continue = previous == kLinePiece;
      std::string_view data = line;  // as the download holds it
      if (may_continue && header && line.starts_with('\t')) {
        data.remove_prefix(1);
      } else if (may_continue && !header && line.starts_with("..")) {
        data.remove_prefix(1);
      }
      FUZZ_CHECK(data.size() <= kLinePiece);
      FUZZ_CHECK(popout.find(data) != std::string_view::npos);
      FUZZ_CHECK(may_continue || !line.starts_with("Return-Receipt-To:"));
      if (line.empty()) header = false;
      previous = data.size();
      begin = end + 1;
    }
  }
  FUZZ_CHECK(files <= count);
  return 0;
}
