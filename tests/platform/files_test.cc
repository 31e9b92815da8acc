// The file operations of the platform layer: Windows semantics (create-always,
// no opening of directories, moving without replacing, listings with "." and
// "..") and Windows error codes, on paths written with backslashes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "tests/support/machine_root.h"

namespace {

namespace fs = std::filesystem;
using platform::Env;
using platform::FileHandle;
using platform::kInvalidFile;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

constexpr std::uint32_t kUntouched = 4711;

using namespace std::string_literals;

class FilesTest : public ::testing::Test {
 public:
  // The path of name inside the test's directory, with backslashes.
  std::string At(const std::string& name) const {
    std::string path = (dir_.path() / name).string();
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    return path;
  }
  fs::path Real(const std::string& name) const { return dir_.path() / name; }

 protected:
  void Write(FileHandle file, const std::string& bytes) {
    std::uint32_t written = 0;
    EXPECT_TRUE(env_.WriteOnce(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                               &written));
    EXPECT_EQ(written, bytes.size());
  }

  Env& env_ = *Env::Default();
  testing_support::MachineRoot dir_;
};

TEST_F(FilesTest, FlushWrittenFilesKeepsWhatWasWritten) {
  const std::vector<std::string> names = {"one", "two", "three"};
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    FileHandle file = env_.CreateFileAlways(At(name));
    ASSERT_NE(file, kInvalidFile);
    Write(file, name + "\n\0end"s);
    ASSERT_TRUE(env_.CloseFile(file));
    paths.push_back(At(name));
  }
  EXPECT_TRUE(env_.FlushWrittenFiles(paths));
  for (const std::string& name : names) EXPECT_EQ(ReadFileBytes(Real(name)), name + "\n\0end"s);
}

TEST_F(FilesTest, CreateAlwaysCreatesThenTruncates) {
  FileHandle file = env_.CreateFileAlways(At("a.txt"));
  ASSERT_NE(file, kInvalidFile);
  Write(file, "first\r\ncontents\0x"s);
  ASSERT_TRUE(env_.CloseFile(file));
  EXPECT_EQ(ReadFileBytes(Real("a.txt")), "first\r\ncontents\0x"s);

  file = env_.CreateFileAlways(At("a.txt"));
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(ReadFileBytes(Real("a.txt")), "");
  Write(file, "2nd");
  ASSERT_TRUE(env_.CloseFile(file));
  EXPECT_EQ(ReadFileBytes(Real("a.txt")), "2nd");
}

TEST_F(FilesTest, CreatedFileCanBeReadBackWhileOpen) {
  FileHandle file = env_.CreateFileAlways(At("a.txt"));
  ASSERT_NE(file, kInvalidFile);
  Write(file, "abcdef");
  FileHandle reader = env_.OpenForRead(At("a.txt"));
  ASSERT_NE(reader, kInvalidFile);
  char buffer[16];
  EXPECT_EQ(env_.ReadSome(reader, buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(env_.ReadSome(reader, buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "ef");
  EXPECT_EQ(env_.ReadSome(reader, buffer, sizeof buffer), 0);
  EXPECT_TRUE(env_.CloseFile(reader));
  EXPECT_TRUE(env_.CloseFile(file));
}

TEST_F(FilesTest, MoveNoReplaceMovesToFreeName) {
  WriteFileBytes(Real("from"), "moved");
  ASSERT_TRUE(env_.MoveNoReplace(At("from"), At("to")));
  EXPECT_FALSE(fs::exists(Real("from")));
  EXPECT_EQ(ReadFileBytes(Real("to")), "moved");
}

TEST_F(FilesTest, MoveNoReplaceLeavesBothFilesWhenTargetExists) {
  WriteFileBytes(Real("from"), "source");
  WriteFileBytes(Real("to"), "target");
  env_.SetLastErrorCode(0);
  EXPECT_FALSE(env_.MoveNoReplace(At("from"), At("to")));
  EXPECT_EQ(env_.LastError(), platform::kErrorAlreadyExists);
  EXPECT_EQ(ReadFileBytes(Real("from")), "source");
  EXPECT_EQ(ReadFileBytes(Real("to")), "target");
}

TEST_F(FilesTest, MoveReplaceReplacesTarget) {
  WriteFileBytes(Real("from"), "source");
  WriteFileBytes(Real("to"), "target");
  ASSERT_TRUE(env_.MoveReplace(At("from"), At("to")));
  EXPECT_FALSE(fs::exists(Real("from")));
  EXPECT_EQ(ReadFileBytes(Real("to")), "source");
}

TEST_F(FilesTest, RemoveAndMakeDirectory) {
  WriteFileBytes(Real("gone"), "x");
  ASSERT_TRUE(env_.RemoveFile(At("gone")));
  EXPECT_FALSE(fs::exists(Real("gone")));

  ASSERT_TRUE(env_.MakeDirectory(At("sub")));
  EXPECT_TRUE(fs::is_directory(Real("sub")));
  EXPECT_TRUE(env_.FlushDirectory(At("sub")));
  // Files go into the new directory by a backslash path as well.
  FileHandle file = env_.CreateFileAlways(At("sub") + "\\inner");
  ASSERT_NE(file, kInvalidFile);
  EXPECT_TRUE(env_.CloseFile(file));
  EXPECT_TRUE(fs::exists(Real("sub/inner")));
}

struct FailureCase {
  const char* name;
  std::function<bool(Env&, FilesTest&)> call;  // true when the call failed
  std::uint32_t error;
};

class FileFailureTest : public FilesTest,
                        public ::testing::WithParamInterface<FailureCase> {
 protected:
  void SetUp() override {
    WriteFileBytes(Real("file"), "contents");
    WriteFileBytes(Real("other"), "other contents");
    fs::create_directory(Real("dir"));
    WriteFileBytes(Real("dir/inner"), "");
  }
};

bool Invalid(FileHandle file) { return file == kInvalidFile; }

const FailureCase kFailures[] = {
    {"OpenDirectoryForRead",
     [](Env& e, FilesTest& t) { return Invalid(e.OpenForRead(t.At("dir"))); },
     platform::kErrorAccessDenied},
    {"OpenMissingFile",
     [](Env& e, FilesTest& t) { return Invalid(e.OpenForRead(t.At("missing"))); },
     platform::kErrorFileNotFound},
    {"OpenInMissingDirectory",
     [](Env& e, FilesTest& t) { return Invalid(e.OpenForRead(t.At("missing\\file"))); },
     platform::kErrorPathNotFound},
    {"OpenBelowAFile",
     [](Env& e, FilesTest& t) { return Invalid(e.OpenForRead(t.At("file\\x"))); },
     platform::kErrorPathNotFound},
    {"CreateInMissingDirectory",
     [](Env& e, FilesTest& t) { return Invalid(e.CreateFileAlways(t.At("missing\\new"))); },
     platform::kErrorPathNotFound},
    {"CreateOverDirectory",
     [](Env& e, FilesTest& t) { return Invalid(e.CreateFileAlways(t.At("dir"))); },
     platform::kErrorAccessDenied},
    {"ReadClosedHandle",
     [](Env& e, FilesTest&) {
       char b[4];
       return e.ReadSome(12345, b, sizeof b) == -1;
     },
     platform::kErrorInvalidHandle},
    {"WriteReadOnlyHandle",
     [](Env& e, FilesTest& t) {
       FileHandle f = e.OpenForRead(t.At("file"));
       std::uint32_t written = 99;
       bool failed = !e.WriteOnce(f, "x", 1, &written) && written == 0;
       std::uint32_t error = e.LastError();
       e.CloseFile(f);
       e.SetLastErrorCode(error);
       return failed;
     },
     platform::kErrorInvalidHandle},
    {"FlushWrittenMissingFile",
     [](Env& e, FilesTest& t) { return !e.FlushWrittenFiles({t.At("missing"), t.At("file")}); },
     platform::kErrorFileNotFound},
    {"FlushWrittenFileInMissingDirectory",
     [](Env& e, FilesTest& t) { return !e.FlushWrittenFiles({t.At("missing\\file")}); },
     platform::kErrorPathNotFound},
    {"CloseClosedHandle", [](Env& e, FilesTest&) { return !e.CloseFile(12345); },
     platform::kErrorInvalidHandle},
    {"RemoveMissing", [](Env& e, FilesTest& t) { return !e.RemoveFile(t.At("missing")); },
     platform::kErrorFileNotFound},
    {"RemoveDirectory", [](Env& e, FilesTest& t) { return !e.RemoveFile(t.At("dir")); },
     platform::kErrorAccessDenied},
    {"MoveNoReplaceMissingSource",
     [](Env& e, FilesTest& t) { return !e.MoveNoReplace(t.At("missing"), t.At("new")); },
     platform::kErrorFileNotFound},
    {"MoveNoReplaceOntoDirectory",
     [](Env& e, FilesTest& t) { return !e.MoveNoReplace(t.At("file"), t.At("dir")); },
     platform::kErrorAlreadyExists},
    {"MoveReplaceMissingSource",
     [](Env& e, FilesTest& t) { return !e.MoveReplace(t.At("missing"), t.At("file")); },
     platform::kErrorFileNotFound},
    {"MoveReplaceOntoFullDirectory",
     [](Env& e, FilesTest& t) {
       fs::create_directory(t.Real("empty"));
       return !e.MoveReplace(t.At("empty"), t.At("dir"));
     },
     145},  // ERROR_DIR_NOT_EMPTY
    {"MakeExistingDirectory", [](Env& e, FilesTest& t) { return !e.MakeDirectory(t.At("dir")); },
     platform::kErrorAlreadyExists},
    {"MakeDirectoryOverFile", [](Env& e, FilesTest& t) { return !e.MakeDirectory(t.At("file")); },
     platform::kErrorAlreadyExists},
    {"MakeDirectoryInMissingParent",
     [](Env& e, FilesTest& t) { return !e.MakeDirectory(t.At("missing\\sub")); },
     platform::kErrorPathNotFound},
    {"FlushMissingDirectory",
     [](Env& e, FilesTest& t) { return !e.FlushDirectory(t.At("missing")); },
     platform::kErrorFileNotFound},
    {"FlushFileAsDirectory",
     [](Env& e, FilesTest& t) { return !e.FlushDirectory(t.At("file")); },
     platform::kErrorPathNotFound},
    {"ListMissingDirectory",
     [](Env& e, FilesTest& t) {
       std::vector<std::string> names;
       return !e.ListDirectory(t.At("missing\\*"), &names);
     },
     platform::kErrorPathNotFound},
};

TEST_P(FileFailureTest, SetsWindowsError) {
  env_.SetLastErrorCode(kUntouched);
  EXPECT_TRUE(GetParam().call(env_, *this));
  EXPECT_EQ(env_.LastError(), GetParam().error);
  // A failure changes nothing on disk.
  EXPECT_EQ(ReadFileBytes(Real("file")), "contents");
  EXPECT_EQ(ReadFileBytes(Real("other")), "other contents");
  EXPECT_TRUE(fs::exists(Real("dir/inner")));
  EXPECT_FALSE(fs::exists(Real("new")));
}

INSTANTIATE_TEST_SUITE_P(Files, FileFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesTest, SuccessLeavesLastErrorAlone) {
  WriteFileBytes(Real("a"), "abc");
  fs::create_directory(Real("d"));
  env_.SetLastErrorCode(kUntouched);
  const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
      {"OpenForRead", [&] { return env_.CloseFile(env_.OpenForRead(At("a"))); }},
      {"CreateFileAlways",
       [&] {
         FileHandle f = env_.CreateFileAlways(At("b"));
         char c;
         std::uint32_t written;
         bool ok = env_.WriteOnce(f, "xy", 2, &written) &&
                   env_.ReadSome(f, &c, 1) == 0;
         return env_.CloseFile(f) && ok;
       }},
      {"MoveNoReplace", [&] { return env_.MoveNoReplace(At("b"), At("c")); }},
      {"MoveReplace", [&] { return env_.MoveReplace(At("c"), At("a")); }},
      {"MakeDirectory", [&] { return env_.MakeDirectory(At("e")); }},
      {"FlushDirectory", [&] { return env_.FlushDirectory(At("e")); }},
      {"FlushWrittenFiles",
       [&] { return env_.FlushWrittenFiles({At("a")}) && env_.FlushWrittenFiles({}); }},
      {"ListDirectory",
       [&] {
         std::vector<std::string> names;
         return env_.ListDirectory(At("*"), &names);
       }},
      {"RemoveFile", [&] { return env_.RemoveFile(At("a")); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_TRUE(call()) << name;
    EXPECT_EQ(env_.LastError(), kUntouched) << name;
  }
}

class ListDirectoryTest : public FilesTest {
 protected:
  void SetUp() override {
    for (const char* name : {"a.txt", "b.txt", "ab.log", ".hidden", "c"}) {
      WriteFileBytes(Real(name), name);
    }
    fs::create_directory(Real("sub.txt"));
  }

  std::vector<std::string> List(const std::string& pattern) {
    std::vector<std::string> names = {"left over"};
    EXPECT_TRUE(env_.ListDirectory(At(pattern), &names)) << pattern;
    return names;
  }
};

TEST_F(ListDirectoryTest, StarListsEverythingInFileSystemOrder) {
  // The file system's own order, as a directory iterator sees it.
  std::vector<std::string> expected;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    expected.push_back(entry.path().filename().string());
  }
  std::vector<std::string> names = List("*");
  ASSERT_GE(names.size(), 2u);
  std::vector<std::string> without_dots;
  int dots = 0;
  for (const std::string& name : names) {
    if (name == "." || name == "..") {
      ++dots;
    } else {
      without_dots.push_back(name);
    }
  }
  EXPECT_EQ(dots, 2);
  EXPECT_EQ(without_dots, expected);
  EXPECT_THAT(without_dots, UnorderedElementsAre("a.txt", "b.txt", "ab.log", ".hidden", "c",
                                                 "sub.txt"));
}

TEST_F(ListDirectoryTest, PatternFiltersNames) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"*.txt", {"a.txt", "b.txt", "sub.txt"}},
      {"a*", {"a.txt", "ab.log"}},
      {"?.txt", {"a.txt", "b.txt"}},
      {"c", {"c"}},
      {".*", {".", "..", ".hidden"}},
      {"*.none", {}},
  };
  for (const auto& [pattern, expected] : cases) {
    EXPECT_THAT(List(pattern), UnorderedElementsAreArray(expected))
        << pattern;
  }
}

TEST_F(ListDirectoryTest, EmptyDirectoryHasOnlyDots) {
  fs::create_directory(Real("empty"));
  EXPECT_THAT(List("empty\\*"), UnorderedElementsAre(".", ".."));
  EXPECT_THAT(List("empty\\x*"), IsEmpty());
}

TEST_F(ListDirectoryTest, MixedSlashesWork) {
  fs::create_directory(Real("sub.txt/deep"));
  WriteFileBytes(Real("sub.txt/deep/f"), "");
  std::string pattern = (dir_.path() / "sub.txt").string() + "/deep\\f";
  std::vector<std::string> names;
  ASSERT_TRUE(env_.ListDirectory(pattern, &names));
  EXPECT_THAT(names, ElementsAre("f"));
}

}  // namespace
