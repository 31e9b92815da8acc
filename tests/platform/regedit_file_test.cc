// The REGEDIT4 text form: the canonical writer, the tolerant reader and the
// rules by which damaged text is read.
#include "platform/regedit_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/env.h"

namespace {

using platform::regedit::Document;
using platform::regedit::Key;
using platform::regedit::Parse;
using platform::regedit::Serialize;
using platform::regedit::Value;
using namespace std::string_literals;

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A readable listing of a document, for exact comparisons with good diffs.
std::string Describe(const Document& document) {
  std::string out;
  for (const Key& key : document.keys) {
    out += "[" + key.path + "]\n";
    for (const Value& value : key.values) {
      out += "<" + value.name + "> " + std::to_string(value.type) + ":";
      for (unsigned char b : value.data) out += " " + std::to_string(b);
      out += "\n";
    }
  }
  return out;
}

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";

TEST(RegeditSerializeTest, WritesEachFormExactly) {
  Document document;
  document.keys.push_back(Key{kKey, {
      {"plain", platform::kRegSz, Bytes(std::string("example.com", 12))},
      {"we\"ird\\name", platform::kRegSz, Bytes(std::string("C:\\dir \"x\"\xe9", 12))},
      {"", platform::kRegSz, Bytes(std::string("", 1))},
      {"nonul", platform::kRegSz, Bytes("ab")},
      {"crlf", platform::kRegSz, Bytes(std::string("a\r\n", 4))},
      {"inner", platform::kRegSz, Bytes(std::string("a\0b", 4))},
      {"del", platform::kRegSz, Bytes(std::string("\x7f", 2))},
      {"nothing", platform::kRegSz, {}},
      {"expand", platform::kRegExpandSz, Bytes(std::string("%R%", 4))},
      {"dword", platform::kRegDword, {0x2a, 0, 0, 0}},
      {"high", platform::kRegDword, {0xef, 0xbe, 0xad, 0xde}},
      {"short", platform::kRegDword, {1, 2, 3}},
      {"binary", platform::kRegBinary, {0x00, 0xff, 0x10}},
      {"nobytes", platform::kRegBinary, {}},
      {"qword", 11, {1, 0, 0, 0, 0, 0, 0, 0}},
  }});
  document.keys.push_back(Key{"HKEY_LOCAL_MACHINE\\Empty", {}});
  EXPECT_EQ(Serialize(document),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
            "\"plain\"=\"example.com\"\n"
            "\"we\\\"ird\\\\name\"=\"C:\\\\dir \\\"x\\\"\xe9\"\n"
            "@=\"\"\n"
            "\"nonul\"=hex(1):61,62\n"
            "\"crlf\"=hex(1):61,0d,0a,00\n"
            "\"inner\"=hex(1):61,00,62,00\n"
            "\"del\"=hex(1):7f,00\n"
            "\"nothing\"=hex(1):\n"
            "\"expand\"=hex(2):25,52,25,00\n"
            "\"dword\"=dword:0000002a\n"
            "\"high\"=dword:deadbeef\n"
            "\"short\"=hex(4):01,02,03\n"
            "\"binary\"=hex:00,ff,10\n"
            "\"nobytes\"=hex:\n"
            "\"qword\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Empty]\n"
            "\n");
  EXPECT_EQ(Describe(Parse(Serialize(document))), Describe(document));
  EXPECT_EQ(Serialize(Document{}), "REGEDIT4\n\n");
}

TEST(RegeditSerializeTest, EveryByteOfATextAndANameSurvives) {
  std::string text;
  std::string name;
  for (int b = 0; b < 256; ++b) {
    text.push_back(static_cast<char>(b));
    if (b != 0 && b != '\r' && b != '\n') name.push_back(static_cast<char>(b));
  }
  Document document;
  document.keys.push_back(Key{kKey, {}});
  for (std::size_t cut = 0; cut < text.size(); ++cut) {
    // Each text alone as a REG_SZ: plain text where it can be, hex otherwise.
    const std::string one = text.substr(cut, 1) + '\0';
    document.keys[0].values.push_back(
        {name.substr(cut % name.size()) + std::to_string(cut), platform::kRegSz, Bytes(one)});
  }
  // And one long plain text of every byte that "text" holds as itself.
  document.keys[0].values.push_back(
      {name, platform::kRegSz, Bytes(text.substr(32, 95) + text.substr(128) + '\0')});
  EXPECT_EQ(Describe(Parse(Serialize(document))), Describe(document));
}

struct ParseCase {
  const char* title;
  std::string text;
  std::string expected;  // Describe() of the result
};

class RegeditParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RegeditParseTest, ReadsByTheDocumentedRules) {
  EXPECT_EQ(Describe(Parse(GetParam().text)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegeditParseTest,
    ::testing::Values(
        ParseCase{"CanonicalExample",
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\S\\T]\n\"localdomain\"=\"example.com\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\E]\n\"EventMessageFile\"=hex(2):2f,71,00\n"
                  "\"TypesSupported\"=dword:00000007\n",
                  "[HKEY_LOCAL_MACHINE\\S\\T]\n<localdomain> 1: 101 120 97 109 112 108 101 46 "
                  "99 111 109 0\n[HKEY_LOCAL_MACHINE\\E]\n<EventMessageFile> 2: 47 113 0\n"
                  "<TypesSupported> 4: 7 0 0 0\n"},
        ParseCase{"CrLfCommentsBlanksAndIndent",
                  "REGEDIT4\r\n\r\n; comment\r\n  [K]  \r\n\t\"a\" = \"x\"  \r\n;\"b\"=\"y\"\r\n"
                  "@=dword:2A\r\n",
                  "[K]\n<a> 1: 120 0\n<> 4: 42 0 0 0\n"},
        ParseCase{"HexContinuedOverLines",
                  "[K]\n\"h\"=hex(7):41,\\\n  42,00,\\\n  00\n\"n\"=hex:\n\"u\"=HEX(B):01\n",
                  "[K]\n<h> 7: 65 66 0 0\n<n> 3:\n<u> 11: 1\n"},
        ParseCase{"Escapes", "[K]\n\"a\\\\b\\\"c\"=\"d\\e\\\\\\\"\"\n",
                  "[K]\n<a\\b\"c> 1: 100 92 101 92 34 0\n"},
        ParseCase{"NoHeaderStillReads", "[K]\n\"a\"=\"1\"\n", "[K]\n<a> 1: 49 0\n"},
        ParseCase{"RepeatedSectionAndValueMerge",
                  "[K\\A]\n\"v\"=\"1\"\n\"w\"=\"2\"\n[k\\a]\n\"V\"=\"3\"\n",
                  "[K\\A]\n<V> 1: 51 0\n<w> 1: 50 0\n"}),
    [](const auto& info) { return std::string(info.param.title); });

INSTANTIATE_TEST_SUITE_P(
    Damaged, RegeditParseTest,
    ::testing::Values(
        ParseCase{"GarbageLinesAreSkipped",
                  "\"early\"=\"dropped\"\nREGEDIT5\n[K]\nnonsense\n\"a\"\n\"b\"=\n\"c\"=junk\n"
                  "\"d\"=\"open\n\"e\"=\"x\"y\n\"f\"=dword:123456789\n\"g\"=dword:xyz\n"
                  "\"h\"=hex(zz):00\n\"i\"=hex(1:00\n@x=\"1\"\n\"ok\"=\"1\"\n",
                  "[K]\n<ok> 1: 49 0\n"},
        ParseCase{"BadSectionLineHidesItsValues",
                  "[K]\n\"a\"=\"1\"\n[K\\Broken\n\"b\"=\"2\"\n[]\n\"c\"=\"3\"\n[L] x\n\"d\"=\"4\"\n"
                  "[M]\n\"e\"=\"5\"\n",
                  "[K]\n<a> 1: 49 0\n[M]\n<e> 1: 53 0\n"},
        ParseCase{"BadHexTokensDropTheValue",
                  "[K]\n\"a\"=hex:0\n\"b\"=hex:00,0g\n\"c\"=hex:00,\n\"d\"=hex:00,,01\n"
                  "\"e\"=hex:001\n\"f\"=hex:01 02\n\"g\"=hex: 03 , 04 \n",
                  "[K]\n<g> 3: 3 4\n"},
        ParseCase{"ListBrokenOffByTheNextValue",
                  "[K]\n\"a\"=hex:01,02,\\\n\"b\"=\"2\"\n",
                  "[K]\n<b> 1: 50 0\n"},
        ParseCase{"ListBrokenOffBySection", "[K]\n\"a\"=hex:01,\\\n[L]\n\"b\"=\"2\"\n",
                  "[K]\n[L]\n<b> 1: 50 0\n"},
        ParseCase{"ListBrokenOffByBlankLine", "[K]\n\"a\"=hex:01,\\\n\n\"b\"=\"2\"\n",
                  "[K]\n<b> 1: 50 0\n"},
        ParseCase{"ListEndsWithTheText", "[K]\n\"b\"=\"2\"\n\"a\"=hex:01,02,\\\n  03,\\",
                  "[K]\n<b> 1: 50 0\n"},
        ParseCase{"FileCutInsideAByte", "[K]\n\"a\"=hex:01,0", "[K]\n"},
        ParseCase{"BinaryJunk",
                  "\0\xff\xfe[K]\n\x01\x02\"a\"=\"1\"\n[K]\n\"b\"=\"\x80\0\"\n\xff"s,
                  "[K]\n<b> 1: 128 0 0\n"}),
    [](const auto& info) { return std::string(info.param.title); });

TEST(RegeditJunkTest, RandomJunkNeverCrashesAndRereadsTheSame) {
  static const char* const kPieces[] = {
      "[", "]", "\"", "\\", "=", ",", "\n", "\r\n", "@", ";", " ", "hex:", "hex(2):",
      "dword:", "0a", "ff", "1", "[HKEY_LOCAL_MACHINE\\K]\n", "\"v\"=", "\0", "\xff"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      const char* piece = kPieces[random() % std::size(kPieces)];
      text.append(piece, *piece == '\0' ? 1 : std::char_traits<char>::length(piece));
    }
    const Document document = Parse(text);
    ASSERT_EQ(Describe(Parse(Serialize(document))), Describe(document)) << text;
  }
}

TEST(RegeditDocumentTest, LooksUpKeysAndValuesIgnoringCase) {
  const Document document = Parse(
      "[HKEY_LOCAL_MACHINE\\Software\\Brackwater\\Tallowmere\\1.0]\n\"LocalDomain\"=\"a\"\n");
  const Key* key = document.FindKey("hkey_local_machine\\SOFTWARE\\brackwater\\TALLOWMERE\\1.0");
  ASSERT_NE(key, nullptr);
  ASSERT_NE(key->FindValue("LOCALDOMAIN"), nullptr);
  EXPECT_EQ(key->FindValue("LOCALDOMAIN")->name, "LocalDomain");
  EXPECT_EQ(key->FindValue("localdomain2"), nullptr);
  EXPECT_EQ(document.FindKey("HKEY_LOCAL_MACHINE\\Software"), nullptr);

  struct Case {
    const char* path;
    bool exists;
  } const cases[] = {
      {"HKEY_LOCAL_MACHINE", true},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE", true},
      {"hkey_local_machine\\software\\BRACKWATER", true},
      {"HKEY_LOCAL_MACHINE\\Software\\Brackwater\\Tallowmere\\1.0", true},
      {"HKEY_LOCAL_MACHINE\\Soft", false},
      {"HKEY_LOCAL_MACHINE\\Software\\Brackwater\\Tallowmere\\1.0\\Sub", false},
      {"HKEY_LOCAL_MACHINE\\Software\\Brack", false},
  };
  for (const Case& c : cases) EXPECT_EQ(document.KeyExists(c.path), c.exists) << c.path;
}

}  // namespace
