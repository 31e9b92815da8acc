// The message splitter: spool file names and contents, and how it keeps
// "in" free of truncated or shared files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gateway/control/spool_names.h"
#include "gateway/delivery/delivery.h"
#include "platform/env.h"
#include "tests/pop3/gateway_test_env.h"
#include "tests/support/machine_root.h"

namespace {

using pop3_testing::GatewayTestEnv;
using pop3_testing::SpoolTree;
using testing_support::DirectoryNames;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

struct Msg {
  std::string uid;
  std::string lines;  // as the server sends them, CR LF, dot-stuffed
};

// "popout.txt" as the download writes it.
std::string Popout(const std::vector<Msg>& messages) {
  std::string text = "+OK\r\n";
  for (std::size_t i = 0; i < messages.size(); ++i) {
    text += std::to_string(i + 1) + " " + messages[i].uid + "\r\n";
  }
  text += ".\r\n";
  for (std::size_t i = 0; i < messages.size(); ++i) {
    text += "+OK 100 octets\r\n" + messages[i].lines + ".\r\n";
    text += "+OK " + std::to_string(i + 1) + " " + messages[i].uid + "\r\n";
  }
  return text;
}

class SplitterTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetEnv(&env_); }
  void TearDown() override { platform::SetEnv(nullptr); }

  void Split(const std::string& popout, int count) {
    WriteFileBytes(spool_.root() / "popout.txt", popout);
    ParseMsgs(count);
  }
  std::vector<std::string> In() const { return DirectoryNames(spool_.in()); }
  // What the gateway root holds when no work file is left.
  static std::vector<std::string> Root() { return {"Archive", "in", "out", "popout.txt"}; }
  std::string InFile(const std::string& name) const { return ReadFileBytes(spool_.in() / name); }

  SpoolTree spool_;
  GatewayTestEnv env_;
};

// --- Names ---

struct NameCase {
  const char* listing_line;
  const char* key;
  const char* name;
};
class SpoolFileNameTest : public ::testing::TestWithParam<NameCase> {};
TEST_P(SpoolFileNameTest, KeyAndNameFromTheListingLine) {
  EXPECT_EQ(TerminatorKey(GetParam().listing_line), GetParam().key);
  EXPECT_EQ(SpoolFileName(TerminatorKey(GetParam().listing_line)), GetParam().name);
}
INSTANTIATE_TEST_SUITE_P(
    Lines, SpoolFileNameTest,
    ::testing::Values(NameCase{"1 a/b", "+OK 1 a_b", "a_b"},
                      NameCase{"1 ab:c/d", "+OK 1 ab_c_d", "ab_c_d"},
                      NameCase{"7 <>,\":;&/\\=^|x", "+OK 7 ____________x", "____________x"},
                      NameCase{"2 uid \t", "+OK 2 uid", "uid"},
                      NameCase{"", "+OK", "+OK"},
                      NameCase{"3 a b", "+OK 3 a b", "b"}));

// --- Contents ---

TEST_F(SplitterTest, OneMessageGivesOneFileOfLfEndedLines) {
  Split(Popout({{"ab:c/d", "From: a@b\r\nSubject: hi\r\n\r\nbody line\r\n..x\r\n"}}), 1);
  EXPECT_EQ(In(), std::vector<std::string>{"ab_c_d"});
  EXPECT_EQ(InFile("ab_c_d"), "From: a@b\nSubject: hi\n\nbody line\n..x\n.\n");
  EXPECT_TRUE(env_.events.empty());
  // The work file is gone, "popout.txt" untouched.
  EXPECT_FALSE(std::filesystem::exists(spool_.root() / "split.tmp"));
}

TEST_F(SplitterTest, ReturnReceiptToIsDroppedOnlyInItsExactForm) {
  Split(Popout({{"u1",
                 "Return-Receipt-To: a@b\r\nreturn-receipt-to: c@d\r\n Return-Receipt-To: e@f\r\n"
                 "Subject: s\r\n\r\nReturn-Receipt-To: in the body\r\nReturn-Receipt-To\r\n"}}),
        1);
  EXPECT_EQ(InFile("u1"),
            "return-receipt-to: c@d\n Return-Receipt-To: e@f\nSubject: s\n\nReturn-Receipt-To\n.\n");
}

TEST_F(SplitterTest, ALongReturnReceiptToLineIsDroppedWhole) {
  const std::string field = "Return-Receipt-To: " + std::string(980, 'a');  // 999 characters
  Split(Popout({{"u1", field + ".b\r\n" + field + "\r\nS: 1\r\n" + std::string(999, 'c') + ".d\r\n"}}), 1);
  EXPECT_EQ(InFile("u1"), "S: 1\n" + std::string(999, 'c') + "\n\t.d\n.\n");
}

TEST_F(SplitterTest, BodyLineBeginningWithOkThatIsNotTheKeyIsKept) {
  Split(Popout({{"u1", "S: 1\r\n\r\n+OK 1 u2\r\n+OK 1 u1x\r\n+OK\r\n"}, {"u2", "S: 2\r\n"}}), 2);
  EXPECT_EQ(InFile("u1"), "S: 1\n\n+OK 1 u2\n+OK 1 u1x\n+OK\n.\n");
  EXPECT_EQ(InFile("u2"), "S: 2\n.\n");
}

TEST_F(SplitterTest, TerminatorMatchesAfterTheSameReplacement) {
  // The UIDL reply after the message carries the identifier unreplaced.
  Split(Popout({{"a/b", "x\r\n"}, {"c", "y\r\n"}}), 2);
  EXPECT_EQ(In(), (std::vector<std::string>{"a_b", "c"}));
  EXPECT_EQ(InFile("a_b"), "x\n.\n");
}

TEST_F(SplitterTest, LongLinesAreWrittenInPiecesOf999) {
  const std::string a(2500, 'a'), b(999, 'b'), c(1998, 'c');
  Split(Popout({{"u1", "S: 1\r\n\r\n" + a + "\r\n" + b + "\r\n" + c + "\r\n"}}), 1);
  EXPECT_EQ(InFile("u1"), "S: 1\n\n" + std::string(999, 'a') + "\n" + std::string(999, 'a') + "\n" +
                              std::string(502, 'a') + "\n" + b + "\n" + std::string(999, 'c') +
                              "\n" + std::string(999, 'c') + "\n.\n");
}

// The pieces of a long line are data: none ends the data at the mail server
// (a lone "."), loses its dot there, ends the message or is dropped.
TEST_F(SplitterTest, PiecesOfALongLineAreDataWhateverTheyBeginWith) {
  const std::string x(999, 'x');
  struct Case {
    std::string rest;     // what follows 999 characters on the same line
    std::string written;  // the second piece as written
  } cases[] = {
      {".", ".."},
      {".MAIL FROM:<a@b>", "..MAIL FROM:<a@b>"},
      {"+OK 1 u1", "+OK 1 u1"},
      {"Return-Receipt-To: a@b", "Return-Receipt-To: a@b"},
      {"plain", "plain"},
  };
  for (const Case& c : cases) {
    Split(Popout({{"u1", "S: 1\r\n\r\n" + x + c.rest + "\r\nend\r\n"}, {"u2", "S: 2\r\n"}}), 2);
    EXPECT_EQ(InFile("u1"), "S: 1\n\n" + x + "\n" + c.written + "\nend\n.\n") << c.rest;
    EXPECT_EQ(InFile("u2"), "S: 2\n.\n") << c.rest;
  }
  // A line's first piece is as the server stuffed it; a third piece too is data.
  Split(Popout({{"u1", "\r\n.." + std::string(997, 'y') + x + ".z\r\n"}}), 1);
  EXPECT_EQ(InFile("u1"), "\n.." + std::string(997, 'y') + "\n" + x + "\n..z\n.\n");
}

// In the header a piece goes on its field as a folded line; the mail server
// would otherwise end the header at the cut and take the later fields for
// the body.
TEST_F(SplitterTest, PiecesOfALongHeaderLineAreFoldedWithATab) {
  const std::string field = "X-Long: " + std::string(1509, 'h');  // 1,517 characters
  Split(Popout({{"u1", "From: a@b\r\n" + field + "\r\nTo: c@d\r\n\r\n" + std::string(999, 'b') +
                           "body\r\n"}}),
        1);
  EXPECT_EQ(InFile("u1"), "From: a@b\n" + field.substr(0, 999) + "\n\t" + field.substr(999) +
                              "\nTo: c@d\n\n" + std::string(999, 'b') + "\nbody\n.\n");

  const std::string x = "X: " + std::string(996, 'x');
  for (const char* rest : {".", "..z", "+OK 1 u1", "Return-Receipt-To: a@b", "y"}) {
    Split(Popout({{"u1", x + rest + "\r\n" + x + std::string(999, 'x') + rest + "\r\n\r\n..\r\n"}}), 1);
    EXPECT_EQ(InFile("u1"), x + "\n\t" + rest + "\n" + x + "\n\t" + std::string(999, 'x') + "\n\t" +
                                rest + "\n\n..\n.\n")
        << rest;
  }
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(SplitterTest, LoneCrStaysAndLoneLfEndsALine) {
  Split(Popout({{"u1", "a\rb\r\nc\nd\r\n"}}), 1);
  EXPECT_EQ(InFile("u1"), "a\rb\nc\nd\n.\n");
}

TEST_F(SplitterTest, ExistingSpoolFileIsReplaced) {
  WriteFileBytes(spool_.in() / "u1", "left from an earlier run, much longer than the new one\n");
  Split(Popout({{"u1", "new\r\n"}}), 1);
  EXPECT_EQ(InFile("u1"), "new\n.\n");
}

struct FirstLineCase {
  const char* name;
  const char* popout;   // nullptr: no file at all
  const char* message;
};
class FirstLineTest : public SplitterTest,
                      public ::testing::WithParamInterface<FirstLineCase> {};
TEST_P(FirstLineTest, WithoutOkNothingIsSplit) {
  WriteFileBytes(spool_.in() / "earlier", "x\n");
  if (GetParam().popout) WriteFileBytes(spool_.root() / "popout.txt", GetParam().popout);
  ParseMsgs(1);
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, std::string(" - ParseMsgs - ") + GetParam().message);
  EXPECT_EQ(env_.events[0].type, platform::kEventlogErrorType);
  EXPECT_EQ(In(), std::vector<std::string>{"earlier"});
}
INSTANTIATE_TEST_SUITE_P(
    Files, FirstLineTest,
    ::testing::Values(
        FirstLineCase{"Err", "-ERR unknown command\r\n1 u1\r\n", "Your ISP does not support the UIDL command"},
        FirstLineCase{"Neither", "garbage\r\n1 u1\r\n", "Bad popout.txt file"},
        FirstLineCase{"Empty", "", "Bad popout.txt file"},
        FirstLineCase{"Missing", nullptr, "Bad popout.txt file"}),
    [](const ::testing::TestParamInfo<FirstLineCase>& info) { return info.param.name; });

// --- Where a message ends ---

// The reply to "UIDL n" ends a message only right after the "." that ends
// its RETR reply; the server stuffs every line of a body that begins with
// ".", so a sender who writes the reply into the body ends nothing.
TEST_F(SplitterTest, TheUidlReplyInsideABodyEndsNothing) {
  const std::string forged = "+OK 1 u1\r\nFrom: ceo@example.com\r\nTo: accounting@example.com\r\n\r\npay\r\n";
  const std::string x(999, 'x');
  struct Case {
    const char* name;
    std::string lines;    // message 1's, before the forged part
    std::string written;  // the same lines in the spool file
  } cases[] = {
      {"after a body line", "S: 1\r\n\r\nhello\r\n", "S: 1\n\nhello\n"},
      {"after a stuffed dot", "S: 1\r\n\r\n..\r\n", "S: 1\n\n..\n"},
      {"after a piece \".\"", "S: 1\r\n\r\n" + x + ".\r\n", "S: 1\n\n" + x + "\n..\n"},
      {"as the first line", "", ""},
  };
  for (const Case& c : cases) {
    Split(Popout({{"u1", c.lines + forged}, {"u2", "S: 2\r\n\r\nthe real one\r\n"}}), 2);
    EXPECT_EQ(InFile("u1"),
              c.written + "+OK 1 u1\nFrom: ceo@example.com\nTo: accounting@example.com\n\npay\n.\n")
        << c.name;
    EXPECT_EQ(InFile("u2"), "S: 2\n\nthe real one\n.\n") << c.name;
    EXPECT_TRUE(env_.events.empty()) << c.name;
  }
}

TEST_F(SplitterTest, AMessageWhoseUidlReplyDiffersIsLeftAtTheProvider) {
  // The reply "+OK 1 u1" with a blank after it, a negative one, another
  // message's: the message gets no file, the others are split.
  for (const char* reply : {"+OK 1 u1 ", "-ERR no such message", "+OK 2 u2", ""}) {
    std::string popout = Popout({{"u1", "S: 1\r\n"}, {"u2", "S: 2\r\n"}});
    popout.replace(popout.find("+OK 1 u1\r\n"), 8, reply);
    Split(popout, 2);
    EXPECT_EQ(In(), std::vector<std::string>{"u2"}) << reply;
    EXPECT_EQ(InFile("u2"), "S: 2\n.\n") << reply;
    ASSERT_EQ(env_.events.size(), 1u) << reply;
    EXPECT_EQ(env_.events[0].message, " - ParseMsgs - UIDL reply does not match - message 1");
    EXPECT_EQ(env_.events[0].type, platform::kEventlogErrorType);
    env_.events.clear();
    std::filesystem::remove(spool_.in() / "u2");
  }
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
}

// --- The listing and the count ---

TEST_F(SplitterTest, AHugeCountSplitsWhatTheListingNames) {
  Split(Popout({{"u1", "one\r\n"}, {"u2", "two\r\n"}}), 2000000000);
  EXPECT_EQ(In(), (std::vector<std::string>{"u1", "u2"}));
  EXPECT_EQ(InFile("u2"), "two\n.\n");
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(SplitterTest, ACountBelowTheListingSplitsTheFirstEntriesMessages) {
  // A server without a view of its own per session: STAT says 1, the
  // listing names 3.
  std::string popout = Popout({{"u1", "one\r\n"}, {"u2", "two\r\n"}, {"u3", "three\r\n"}});
  Split(popout, 1);
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_EQ(InFile("u1"), "one\n.\n");
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(SplitterTest, AListingShorterThanTheCountEndsTheSplit) {
  std::string popout = Popout({{"u1", "one\r\n"}, {"u2", "two\r\n"}});
  popout.erase(popout.find("2 u2\r\n"), 6);
  Split(popout, 2);
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
}

struct UidCase {
  const char* name;
  std::string uid;  // as the listing and the reply carry it
};
void PrintTo(const UidCase& c, std::ostream* out) { *out << c.name; }
class UnusableUidTest : public SplitterTest, public ::testing::WithParamInterface<UidCase> {};
TEST_P(UnusableUidTest, TheMessageStaysAtTheProviderWithAnEntry) {
  Split(Popout({{"u0", "S: 0\r\n"}, {GetParam().uid, "S: 1\r\n\r\nbody\r\n"}, {"u2", "S: 2\r\n"}}), 3);
  EXPECT_EQ(In(), (std::vector<std::string>{"u0", "u2"}));
  EXPECT_EQ(InFile("u2"), "S: 2\n.\n");
  ASSERT_EQ(env_.events.size(), 1u);
  EXPECT_EQ(env_.events[0].message, " - ParseMsgs - Unusable UIDL - message 2");
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
}
INSTANTIATE_TEST_SUITE_P(
    Uids, UnusableUidTest,
    ::testing::Values(UidCase{"Empty", ""}, UidCase{"Over70", std::string(71, 'u')},
                      UidCase{"Over999", std::string(1200, 'u')}, UidCase{"Blank", "a b"},
                      UidCase{"Tab", "a\tb"}, UidCase{"Control", "a\x01"},
                      UidCase{"LoneCr", "a\rb"}, UidCase{"Delete", "a\x7f"},
                      UidCase{"EightBit", "caf\xe9"}, UidCase{"LeadingDot", ".u1"},
                      UidCase{"Dot", "."}),
    [](const ::testing::TestParamInfo<UidCase>& info) { return info.param.name; });

TEST_F(SplitterTest, SeventyPrintableCharactersAreAUsableUid) {
  const std::string uid = "!~" + std::string(67, 'u') + ".";
  Split(Popout({{uid, "S: 1\r\n"}}), 1);
  EXPECT_EQ(In(), std::vector<std::string>{uid});
  EXPECT_TRUE(env_.events.empty());
}

// --- A download that stopped early ---

TEST_F(SplitterTest, EndInsideMessageTwoOfThreeKeepsOnlyMessageOne) {
  const std::string full = Popout({{"u1", "one\r\n"}, {"u2", "two\r\nmore\r\n"}, {"u3", "three\r\n"}});
  Split(full.substr(0, full.find("more")), 3);
  EXPECT_EQ(In(), std::vector<std::string>{"u1"});
  EXPECT_EQ(InFile("u1"), "one\n.\n");
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
  EXPECT_TRUE(env_.events.empty());
}

TEST_F(SplitterTest, EndBeforeTheUidlReplyOfTheOnlyMessageLeavesNoFile) {
  const std::string full = Popout({{"u1", "one\r\n"}});
  Split(full.substr(0, full.rfind("+OK 1 u1")), 1);
  EXPECT_TRUE(In().empty());
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
}

TEST_F(SplitterTest, MoreMessagesThanAnyFixedTableSplitWhole) {
  std::vector<Msg> messages;
  for (int i = 0; i < 3000; ++i) messages.push_back({"m" + std::to_string(i), "x\r\n"});
  Split(Popout(messages), 3000);
  EXPECT_EQ(In().size(), 3000u);
  EXPECT_EQ(InFile("m2999"), "x\n.\n");
}

// --- Whole or absent, and durable ---

TEST_F(SplitterTest, AllMessagesAreWrittenAsideFlushedAtOnceThenRenamedIn) {
  Split(Popout({{"u1", "one\r\n"}, {"u2", "two\r\n"}}), 2);
  const std::string root = spool_.gateway_root();
  const std::string work0 = root + "\\split0.tmp";
  const std::string work1 = root + "\\split1.tmp";
  std::vector<std::string> journal;
  for (const std::string& e : env_.journal) {
    if (!e.starts_with("send ")) journal.push_back(e);
  }
  EXPECT_EQ(journal, (std::vector<std::string>{
                         "create " + work0, "create " + work1,
                         "flushwritten " + work0 + " " + work1,
                         "replace " + work0 + " " + root + "\\in\\u1",
                         "replace " + work1 + " " + root + "\\in\\u2",
                         "flushdir " + root + "\\in"}));
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
}

TEST_F(SplitterTest, NoFlushWithoutAWholeMessage) {
  const std::string full = Popout({{"u1", "one\r\n"}});
  Split(full.substr(0, full.find("one")), 1);
  const std::string work0 = spool_.gateway_root() + "\\split0.tmp";
  EXPECT_EQ(env_.journal, std::vector<std::string>{"create " + work0});
  EXPECT_EQ(DirectoryNames(spool_.root()), Root());
}

TEST_F(SplitterTest, StaleWorkFilesAreRemoved) {
  for (const char* name : {"split.tmp", "split0.tmp", "split17.tmp"}) {
    WriteFileBytes(spool_.root() / name, "a truncated message from a killed run\n");
  }
  WriteFileBytes(spool_.root() / "splitter.txt", "not a work file\n");
  Split(Popout({{"u1", "one\r\n"}}), 1);
  EXPECT_EQ(InFile("u1"), "one\n.\n");
  std::vector<std::string> expected = Root();
  expected.push_back("splitter.txt");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(DirectoryNames(spool_.root()), expected);
}

TEST_F(SplitterTest, LongMessageIsWrittenInBlocks) {
  // 2000 lines of 100 characters: about 200 KB, more than one block.
  const std::string line(100, 'l');
  std::string lines;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    lines += line + "\r\n";
    expected += line + "\n";
  }
  Split(Popout({{"u1", lines}}), 1);
  EXPECT_EQ(InFile("u1"), expected + ".\n");
}

// --- No two messages share a file ---

TEST_F(SplitterTest, SecondMessageWithAnEqualNameIsNotSplit) {
  Split(Popout({{"a:b", "first\r\n"}, {"a/b", "second\r\n"}, {"c", "third\r\n"}}), 3);
  EXPECT_EQ(In(), (std::vector<std::string>{"a_b", "c"}));
  EXPECT_EQ(InFile("a_b"), "first\n.\n");
  EXPECT_EQ(InFile("c"), "third\n.\n");
}

TEST_F(SplitterTest, NamesDifferingInCaseAreDistinctWhereTheFileSystemSaysSo) {
  Split(Popout({{"Abc", "first\r\n"}, {"abc", "second\r\n"}}), 2);
  EXPECT_EQ(In(), (std::vector<std::string>{"Abc", "abc"}));
  EXPECT_EQ(InFile("abc"), "second\n.\n");
}

TEST_F(SplitterTest, NameEqualButForCaseIsTakenWhenTheTargetExists) {
  // What a file system that ignores case shows: the second name reaches a
  // file already.
  WriteFileBytes(spool_.in() / "abc", "seen as the first message's file\n");
  Split(Popout({{"Abc", "first\r\n"}, {"abc", "second\r\n"}}), 2);
  EXPECT_EQ(InFile("Abc"), "first\n.\n");
  EXPECT_EQ(InFile("abc"), "seen as the first message's file\n");
}

}  // namespace
