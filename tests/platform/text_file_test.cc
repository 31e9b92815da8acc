// Text-mode reading: CR LF arrives as LF, a lone CR stays, Ctrl-Z ends the
// file, long lines come in pieces. Every case also runs with the file handed
// over in tiny reads, so that each byte lands on a buffer boundary once.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/text_file.h"
#include "tests/support/machine_root.h"

namespace {

using namespace std::string_literals;

// Hands out at most `chunk` bytes per read.
class ChunkedReads : public platform::EnvWrapper {
 public:
  explicit ChunkedReads(std::uint32_t chunk)
      : EnvWrapper(platform::Env::Default()), chunk_(chunk) {}
  long ReadSome(platform::FileHandle f, void* b, std::uint32_t c) override {
    return target()->ReadSome(f, b, std::min(c, chunk_));
  }

 private:
  std::uint32_t chunk_;
};

class TextFileTest : public ::testing::TestWithParam<std::uint32_t> {
 protected:
  // Opens a file holding bytes, read GetParam() bytes at a time.
  platform::TextFile& Open(const std::string& bytes) {
    testing_support::WriteFileBytes(dir_.path() / "t.txt", bytes);
    EXPECT_TRUE(file_.Open((dir_.path() / "t.txt").string()));
    return file_;
  }

  // All lines that ReadLine gives, up to its first failure.
  std::vector<std::string> Lines(const std::string& bytes, std::size_t max_chars) {
    Open(bytes);
    std::vector<std::string> lines;
    std::string line = "stale";
    while (file_.ReadLine(&line, max_chars)) lines.push_back(line);
    EXPECT_EQ(line, "");
    return lines;
  }

  testing_support::MachineRoot dir_;
  ChunkedReads chunked_{GetParam()};
  platform::TextFile file_{chunked_};
};

using LineList = std::vector<std::string>;

TEST_P(TextFileTest, LineEnds) {
  struct Case {
    std::string bytes;
    std::size_t max;
    LineList lines;
  };
  const Case cases[] = {
      {"a\r\nb\nc\r\n", 100, {"a", "b", "c"}},
      {"a\rb\r\r\nc", 100, {"a\rb\r", "c"}},            // a lone CR stays
      {"a\r", 100, {"a\r"}},                              // also at the end
      {"last line without LF", 100, {"last line without LF"}},
      {"\n\r\n\n", 100, {"", "", ""}},                    // empty lines
      {"ab\x1A" "cd\nef\n", 100, {"ab"}},                 // Ctrl-Z ends the file
      {"ab\r\x1A\n", 100, {"ab\r"}},
      {"\x1A" "ab\n", 100, {}},
      {"", 100, {}},
      {"abc\ndef\n", 3, {"abc", "def"}},                  // exactly N: one line
      {"abc\r\ndef", 3, {"abc", "def"}},
      {"abc", 3, {"abc"}},
      {"abc\x1A", 3, {"abc"}},
      {"abcd\nef\n", 3, {"abc", "d", "ef"}},              // N + 1: two
      {"abcd\r\n", 3, {"abc", "d"}},
      {"abc\n\nd\n", 3, {"abc", "", "d"}},                // the empty line stays
      {"ab\rc\n", 3, {"ab\r", "c"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Lines(c.bytes, c.max), c.lines) << testing::PrintToString(c.bytes);
  }
}

TEST_P(TextFileTest, LongLineComesInPieces) {
  std::string line;
  for (int i = 0; i < 2500; ++i) line.push_back(static_cast<char>('a' + i % 26));
  LineList lines = Lines(line + "\r\nnext\r\n", 999);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], line.substr(0, 999));
  EXPECT_EQ(lines[1], line.substr(999, 999));
  EXPECT_EQ(lines[2], line.substr(1998));
  EXPECT_EQ(lines[2].size(), 502u);
  EXPECT_EQ(lines[3], "next");
}

TEST_P(TextFileTest, LineContinuesOnlyAfterAPieceOfALongerLine) {
  // 3 + 3 + 1 characters, then one of exactly 3, then one ended by the file's end.
  platform::TextFile& file = Open("abcdefg\nxyz\nuvwzz");
  std::string line;
  const bool expected[] = {true, true, false, false, true, false};
  for (bool continues : expected) {
    ASSERT_TRUE(file.ReadLine(&line, 3));
    EXPECT_EQ(file.LineContinues(), continues) << line;
  }
  EXPECT_FALSE(file.ReadLine(&line, 3));
  EXPECT_FALSE(file.LineContinues());
}

TEST_P(TextFileTest, EveryReadFailsAfterTheEnd) {
  platform::TextFile& file = Open("one\n");
  std::string line;
  ASSERT_TRUE(file.ReadLine(&line, 100));
  for (int i = 0; i < 3; ++i) {
    line = "stale";
    EXPECT_FALSE(file.ReadLine(&line, 100));
    EXPECT_EQ(line, "");
    char c;
    EXPECT_EQ(file.Read(&c, 1), 0u);
  }
}

TEST_P(TextFileTest, NothingIsReadPastCtrlZ) {
  platform::TextFile& file = Open("ab\x1A" "cd");
  char buffer[8];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 2u);
  EXPECT_EQ(std::string(buffer, 2), "ab");
  std::string line;
  EXPECT_FALSE(file.ReadLine(&line, 100));
}

TEST_P(TextFileTest, LineAndBlockReadsShareThePosition) {
  platform::TextFile& file = Open("abcd\r\nef\r\ngh");
  std::string line;
  ASSERT_TRUE(file.ReadLine(&line, 3));
  EXPECT_EQ(line, "abc");
  char buffer[8];
  ASSERT_EQ(file.Read(buffer, 4), 4u);
  EXPECT_EQ(std::string(buffer, 4), "d\nef");
  ASSERT_TRUE(file.ReadLine(&line, 100));
  EXPECT_EQ(line, "");
  ASSERT_TRUE(file.ReadLine(&line, 100));
  EXPECT_EQ(line, "gh");
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, TextFileTest, ::testing::Values(1u, 2u, 3u, 65536u),
                         [](const auto& info) { return "Chunk" + std::to_string(info.param); });

// The file is larger than the reader's 64 KB buffer; CR LF pairs and lone
// CRs fall on and around its boundary.
TEST(TextFileBlockTest, TranslatesAcrossTheBufferBoundary) {
  testing_support::MachineRoot dir;
  platform::TextFile file;
  std::string raw;
  std::string expected;
  for (std::size_t offset : {65533u, 65534u, 65535u}) {
    raw.assign(offset, 'x');
    expected = raw;
    raw += "\r\n\ry\r\r\n";
    expected += "\n\ry\r\n";
    for (int i = 0; i < 20000; ++i) {
      raw += "ab\r\n";
      expected += "ab\n";
    }
    for (std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{4096},
                              std::size_t{200000}}) {
      testing_support::WriteFileBytes(dir.path() / "big", raw);
      ASSERT_TRUE(file.Open((dir.path() / "big").string()));
      std::string all;
      std::vector<char> buffer(block);
      while (std::size_t n = file.Read(buffer.data(), block)) all.append(buffer.data(), n);
      EXPECT_EQ(all, expected) << "offset " << offset << " block " << block;
    }
  }
}

TEST(TextFileOpenTest, MissingFileFailsWithItsError) {
  testing_support::MachineRoot dir;
  platform::TextFile file;
  platform::env().SetLastErrorCode(0);
  EXPECT_FALSE(file.Open((dir.path() / "missing").string()));
  EXPECT_EQ(platform::env().LastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(file.IsOpen());
  std::string line = "stale";
  EXPECT_FALSE(file.ReadLine(&line, 10));
  EXPECT_EQ(line, "");
}

TEST(TextFileOpenTest, ReopeningStartsAfresh) {
  testing_support::MachineRoot dir;
  testing_support::WriteFileBytes(dir.path() / "a", "a1\x1A" "a2\n");
  testing_support::WriteFileBytes(dir.path() / "b", "b1\nb2\n");
  platform::TextFile file;
  std::string line;
  ASSERT_TRUE(file.Open((dir.path() / "a").string()));
  ASSERT_TRUE(file.ReadLine(&line, 10));
  ASSERT_FALSE(file.ReadLine(&line, 10));
  ASSERT_TRUE(file.Open((dir.path() / "b").string()));
  ASSERT_TRUE(file.ReadLine(&line, 10));
  EXPECT_EQ(line, "b1");
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.ReadLine(&line, 10));
}

}  // namespace
