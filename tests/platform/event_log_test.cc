// The POSIX Application event log: the JSON line of an entry byte for byte,
// whole lines from concurrent writers, and standard error as the last resort.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/control/event_log.h"
#include "platform/env.h"
#include "platform/event_entry.h"
#include "platform/test_support.h"
#include "tests/platform/machine_root_fixture.h"

namespace {

namespace fs = std::filesystem;
using platform::FormatEventEntry;

// Decodes the JSON string that starts at text[*pos] (a quote) back into
// single-byte text; nothing when it is not one or holds a code point above
// U+00FF. *pos ends after the closing quote.
std::optional<std::string> DecodeJsonString(const std::string& text, std::size_t* pos) {
  if (*pos >= text.size() || text[*pos] != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = *pos + 1; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      *pos = i + 1;
      return out;
    }
    if (c < 0x20) return std::nullopt;
    if (c == '\\') {
      if (++i >= text.size()) return std::nullopt;
      static const std::map<char, char> kSimple = {{'"', '"'}, {'\\', '\\'}, {'/', '/'},
                                                   {'b', '\b'}, {'f', '\f'}, {'n', '\n'},
                                                   {'r', '\r'}, {'t', '\t'}};
      if (auto simple = kSimple.find(text[i]); simple != kSimple.end()) {
        out.push_back(simple->second);
      } else if (text[i] == 'u' && i + 4 < text.size()) {
        const unsigned long code = std::stoul(text.substr(i + 1, 4), nullptr, 16);
        if (code > 0xFF) return std::nullopt;
        out.push_back(static_cast<char>(code));
        i += 4;
      } else {
        return std::nullopt;
      }
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      out.push_back(static_cast<char>((c & 0x03) << 6 | (text[++i] & 0x3F)));
    } else {
      return std::nullopt;  // not UTF-8 of U+0080..U+00FF
    }
  }
  return std::nullopt;
}

// The "strings" of an entry line.
std::optional<std::vector<std::string>> EntryStrings(const std::string& line) {
  const std::string start = "\"strings\":[";
  std::size_t pos = line.find(start);
  if (pos == std::string::npos) return std::nullopt;
  pos += start.size();
  std::vector<std::string> strings;
  while (pos < line.size() && line[pos] != ']') {
    if (!strings.empty() && line[pos++] != ',') return std::nullopt;
    std::optional<std::string> s = DecodeJsonString(line, &pos);
    if (!s) return std::nullopt;
    strings.push_back(*s);
  }
  return strings;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last line end";
  return lines;
}

TEST(EventEntryTest, FormatsTheEntryLineExactly) {
  EXPECT_EQ(FormatEventEntry(1796700000, "Tallowmere", platform::kEventlogErrorType, 0, 0,
                             {"Tallowmere error: 10061",
                              " - KeepAlive - Connect failed to Exchange Server"},
                             4711),
            "{\"time\":\"2026-12-08T03:20:00Z\",\"source\":\"Tallowmere\",\"type\":\"error\","
            "\"event_id\":0,\"category\":0,\"strings\":[\"Tallowmere error: 10061\","
            "\" - KeepAlive - Connect failed to Exchange Server\"],\"pid\":4711}\n");

  struct Case {
    std::time_t time;
    std::uint16_t type;
    const char* time_text;
    const char* type_text;
  } const cases[] = {
      {0, platform::kEventlogWarningType, "1970-01-01T00:00:00Z", "\"warning\""},
      {951868799, platform::kEventlogInformationType, "2000-02-29T23:59:59Z", "\"information\""},
      {4102444799, 8, "2099-12-31T23:59:59Z", "8"},
      {86400 * 365, 0, "1971-01-01T00:00:00Z", "0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatEventEntry(c.time, "S", c.type, 4294967295u, 65535, {}, 1),
              std::string("{\"time\":\"") + c.time_text + "\",\"source\":\"S\",\"type\":" +
                  c.type_text + ",\"event_id\":4294967295,\"category\":65535,\"strings\":[]," +
                  "\"pid\":1}\n");
  }
}

TEST(EventEntryTest, EscapesControlsAndWidensHighBytes) {
  const std::string line = FormatEventEntry(
      0, "a\"b", 1, 0, 0, {std::string("\"\\/\n\r\t\b\f\x01\x1f\x7f\x80\xff\0z", 15), ""}, 2);
  EXPECT_EQ(line.substr(line.find("\"source\"")),
            "\"source\":\"a\\\"b\",\"type\":\"error\",\"event_id\":0,\"category\":0,"
            "\"strings\":[\"\\\"\\\\/\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\xc2\x80\xc3\xbf\\u0000z\","
            "\"\"],\"pid\":2}\n");
}

TEST(EventEntryTest, EveryByteOfAMessageSurvives) {
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  const std::string line = FormatEventEntry(0, every, 1, 0, 0, {every, every + every}, 1);
  ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line";
  std::size_t pos = line.find("\"source\":") + 9;
  EXPECT_EQ(DecodeJsonString(line, &pos), every);
  EXPECT_EQ(EntryStrings(line), (std::vector<std::string>{every, every + every}));
}

class EventLogTest : public MachineRootTest {
 protected:
  fs::path LogPath() { return Path("eventlog/Application.jsonl"); }
};

TEST_F(EventLogTest, AppendsOneLinePerEntry) {
  const std::time_t before = std::time(nullptr);
  const platform::EventSource source = env_.RegisterSource("Tallowmere");
  ASSERT_NE(source, 0u);
  EXPECT_EQ(Mode(root_), fs::perms::owner_all);
  const std::vector<std::string> first = {"Tallowmere error: 0", "\r\n+OK \xe9"};
  EXPECT_TRUE(env_.Report(source, platform::kEventlogErrorType, 0, 0, first));
  EXPECT_TRUE(env_.Report(source, platform::kEventlogInformationType, 3, 7, {"x"}));
  env_.DeregisterSource(source);
  const std::time_t after = std::time(nullptr);

  const std::vector<std::string> lines = Lines(ReadFile(LogPath()));
  ASSERT_EQ(lines.size(), 2u);
  const std::string pid_key = "\"pid\":";
  const long pid = std::stol(lines[0].substr(lines[0].rfind(pid_key) + pid_key.size()));
  EXPECT_GT(pid, 0);
  bool matched = false;
  for (std::time_t t = before; t <= after && !matched; ++t) {
    matched = lines[0] + "\n" + lines[1] + "\n" ==
              FormatEventEntry(t, "Tallowmere", 1, 0, 0, first, pid) +
                  FormatEventEntry(t, "Tallowmere", 4, 7, 3, {"x"}, pid);
  }
  EXPECT_TRUE(matched) << lines[0] << "\n" << lines[1];

  // A second source appends to the same file.
  const platform::EventSource again = env_.RegisterSource("Tallowmere");
  ASSERT_NE(again, 0u);
  EXPECT_TRUE(env_.Report(again, platform::kEventlogWarningType, 0, 0, {}));
  env_.DeregisterSource(again);
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 3u);
}

// A run by root (an administrator trying the gateway by hand) leaves the log
// to the machine root's owner, the user the installed gateway runs as.
TEST_F(EventLogTest, RootLeavesTheLogToTheMachineRootsOwner) {
  if (!platform::testing::RunningAsRoot()) GTEST_SKIP() << "changing owners needs root";
  using platform::testing::FileOwnership;
  using platform::testing::OwnershipOf;
  fs::create_directory(root_);
  ASSERT_TRUE(platform::testing::SetOwner(root_.string(), 4711, 4712));
  const platform::EventSource source = env_.RegisterSource("Tallowmere");
  ASSERT_NE(source, 0u);
  EXPECT_TRUE(env_.Report(source, platform::kEventlogErrorType, 0, 0, {"a", "b"}));
  env_.DeregisterSource(source);
  EXPECT_EQ(OwnershipOf(Path("eventlog")), (FileOwnership{4711, 4712, 0700}));
  EXPECT_EQ(OwnershipOf(LogPath()), (FileOwnership{4711, 4712, 0600}));
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 1u);
}

TEST_F(EventLogTest, ConcurrentWritersGiveWholeLines) {
  constexpr int kEntries = 300;
  auto writer = [&](char fill) {
    for (int i = 0; i < kEntries; ++i) {
      const platform::EventSource source = env_.RegisterSource("Tallowmere");
      ASSERT_NE(source, 0u);
      EXPECT_TRUE(env_.Report(source, 1, 0, 0, {"e", std::string(5000, fill)}));
      env_.DeregisterSource(source);
    }
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  std::map<char, int> counts;
  for (const std::string& line : Lines(ReadFile(LogPath()))) {
    const auto strings = EntryStrings(line);
    ASSERT_TRUE(strings && strings->size() == 2u) << line.substr(0, 200);
    ASSERT_EQ((*strings)[1], std::string(5000, (*strings)[1][0]));
    ++counts[(*strings)[1][0]];
  }
  EXPECT_EQ(counts, (std::map<char, int>{{'a', kEntries}, {'b', kEntries}}));
}

TEST_F(EventLogTest, UnusableLogFailsRegistrationWithOneLineOnStandardError) {
  struct Case {
    const char* title;
    const char* file;       // made a regular file
    const char* directory;  // made a directory
    std::uint32_t error;
    const char* reason;
  } const cases[] = {
      {"eventlog is a file", "eventlog", nullptr, 3, "Not a directory"},
      {"log is a directory", nullptr, "eventlog/Application.jsonl", 5, "Is a directory"},
  };
  for (const Case& c : cases) {
    fs::remove_all(root_);
    fs::create_directories(root_);
    if (c.file) WriteFile(Path(c.file), "");
    if (c.directory) fs::create_directories(Path(c.directory));
    env_.SetLastErrorCode(0);
    ::testing::internal::CaptureStderr();
    platform::EventSource source = 1;
    EXPECT_NO_THROW(source = env_.RegisterSource("Tallowmere")) << c.title;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Tallowmere: cannot open the event log " + LogPath().string() + ": " + c.reason +
                  "\n") << c.title;
    EXPECT_EQ(source, 0u) << c.title;
    EXPECT_EQ(env_.LastError(), c.error) << c.title;
  }
  // The gateway's writer goes on as if the entry had been written.
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(LogEvent(" - main - lost", platform::kEventlogErrorType));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Tallowmere: cannot open the event log " + LogPath().string() +
                ": Is a directory\n");
}

TEST_F(EventLogTest, EntryThatCannotBeStoredGoesToStandardError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fail the write";
  fs::create_directories(Path("eventlog"));
  fs::create_symlink("/dev/full", LogPath());
  const platform::EventSource source = env_.RegisterSource("Tallowmere");
  ASSERT_NE(source, 0u);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(env_.Report(source, 1, 0, 0, {"Tallowmere error: 0", "kept\r\n"}));
  const std::string captured = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(env_.LastError(), 112u);  // ERROR_DISK_FULL
  EXPECT_EQ(EntryStrings(captured), (std::vector<std::string>{"Tallowmere error: 0", "kept\r\n"}));
  EXPECT_EQ(Lines(captured).size(), 1u);
  env_.DeregisterSource(source);
}

TEST_F(EventLogTest, NoSourceIsAnInvalidHandle) {
  env_.SetLastErrorCode(0);
  EXPECT_FALSE(env_.Report(0, 1, 0, 0, {"x"}));
  EXPECT_EQ(env_.LastError(), 6u);
  env_.SetLastErrorCode(0);
  env_.DeregisterSource(0);
  EXPECT_EQ(env_.LastError(), 6u);
  EXPECT_FALSE(fs::exists(root_));
}

}  // namespace
