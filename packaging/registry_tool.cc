// tallowmere-registry: reads and writes text values of the machine's registry
// (HKEY_LOCAL_MACHINE) for the package's maintainer scripts and for the
// administrator, through the same registry writer as the programs: the whole
// file replaced atomically under the writers' lock, its owner, group and mode
// kept. Neither program takes arguments; this helper is not one of them.
//
//   tallowmere-registry get KEY NAME          prints the text of a REG_SZ value
//   tallowmere-registry add-key KEY NAME TEXT [NAME TEXT]...
//                                             creates KEY holding these values
//                                             only when KEY is missing
//   tallowmere-registry add-value KEY NAME TEXT  sets NAME only when it is
//                                             missing (creating KEY if need be)
//   tallowmere-registry set KEY NAME TEXT     sets NAME
//
// KEY is a path below HKEY_LOCAL_MACHINE, such as
// 'SOFTWARE\Brackwater\Tallowmere\1.0'. Exit codes: 0 done (or nothing to
// do), 1 the key or value of "get" is missing, 2 wrong use or a failure.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/env.h"

namespace {

using platform::RegAccess;
using platform::RegKey;
using platform::RegRoot;

constexpr int kMissing = 1;
constexpr int kFailed = 2;

platform::Env& Env() { return *platform::Env::Default(); }

int Fail(const std::string& what, long status) {
  std::fprintf(stderr, "tallowmere-registry: %s: error %ld\n", what.c_str(), status);
  return kFailed;
}

// A REG_SZ as the programs write it: the text and one terminating NUL.
long SetText(RegKey key, const std::string& name, const std::string& text) {
  const std::string data = text + '\0';
  return Env().RegSet(key, name, platform::kRegSz,
                      reinterpret_cast<const unsigned char*>(data.data()),
                      static_cast<std::uint32_t>(data.size()));
}

// 0 with the value read, kMissing, or kFailed.
int Get(const std::string& path, const std::string& name, std::string* text) {
  RegKey key = 0;
  long status = Env().RegOpen(RegRoot::kLocalMachine, path, RegAccess::kQueryValue, &key);
  if (status == platform::kErrorFileNotFound) return kMissing;
  if (status != platform::kErrorSuccess) return Fail("cannot open " + path, status);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  status = Env().RegQuery(key, name, &type, nullptr, &size);
  std::vector<unsigned char> data(size);
  if (status == platform::kErrorSuccess) status = Env().RegQuery(key, name, &type, data.data(), &size);
  Env().RegClose(key);
  if (status == platform::kErrorFileNotFound) return kMissing;
  if (status != platform::kErrorSuccess) return Fail("cannot read " + name, status);
  if (type != platform::kRegSz && type != platform::kRegExpandSz) {
    return Fail(name + " is not a text value", static_cast<long>(type));
  }
  text->assign(data.begin(), data.begin() + size);
  if (!text->empty() && text->back() == '\0') text->pop_back();
  return 0;
}

// Writes the values, NAME TEXT pairs in order; with only_into_new_key none
// of them when the key was there already.
int Set(const std::string& path, const std::vector<std::string>& values, bool only_into_new_key) {
  RegKey key = 0;
  platform::RegDisposition disposition = platform::RegDisposition::kOpenedExistingKey;
  long status = Env().RegCreate(RegRoot::kLocalMachine, path, &key, &disposition);
  if (status != platform::kErrorSuccess) return Fail("cannot create " + path, status);
  std::string failed;
  if (!only_into_new_key || disposition == platform::RegDisposition::kCreatedNewKey) {
    for (std::size_t i = 0; i + 1 < values.size() && status == platform::kErrorSuccess; i += 2) {
      status = SetText(key, values[i], values[i + 1]);
      failed = values[i];
    }
  }
  Env().RegClose(key);
  return status == platform::kErrorSuccess ? 0 : Fail("cannot write " + failed, status);
}

int Usage() {
  std::fputs("usage: tallowmere-registry get KEY NAME\n"
             "       tallowmere-registry add-value|set KEY NAME TEXT\n"
             "       tallowmere-registry add-key KEY NAME TEXT [NAME TEXT]...\n",
             stderr);
  return kFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "get") {
    std::string text;
    const int result = Get(args[1], args[2], &text);
    if (result == 0) std::printf("%s\n", text.c_str());
    return result;
  }
  if (args.size() >= 4 && args.size() % 2 == 0 && args[0] == "add-key") {
    return Set(args[1], std::vector<std::string>(args.begin() + 2, args.end()), true);
  }
  if (args.size() != 4) return Usage();
  if (args[0] == "set") return Set(args[1], {args[2], args[3]}, false);
  if (args[0] == "add-value") {
    std::string current;
    const int result = Get(args[1], args[2], &current);
    return result == kMissing ? Set(args[1], {args[2], args[3]}, false) : result;
  }
  return Usage();
}
