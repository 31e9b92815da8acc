// resource_reader.exe: a test tool, not part of the programs. It shows what
// Windows itself makes of a program file's resources, for the tests that run
// the Windows programs under Wine:
//
//   resource_reader message FILE ID STRING...
//       loads FILE as a data file, as the event viewer loads a source's
//       message file, and prints message ID of its message table formatted
//       with the STRINGs as insertion strings
//   resource_reader version FILE NAME
//       prints the value NAME of the string table "040904B0" of FILE's
//       version record
//
// It prints the text alone, without a line end of its own, and exits with 0;
// on a failure it prints "failed: " with what failed and the last error, and
// exits with 1.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
  std::printf("failed: %s (%lu)", what, GetLastError());
  return 1;
}

int Message(const char* file, const char* id, int count, char** strings) {
  const HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return Fail("LoadLibraryEx");
  std::vector<DWORD_PTR> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(reinterpret_cast<DWORD_PTR>(strings[i]));
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
          FORMAT_MESSAGE_ALLOCATE_BUFFER,
      module, static_cast<DWORD>(std::strtoul(id, nullptr, 10)), 0,
      reinterpret_cast<char*>(&text), 0,
      reinterpret_cast<va_list*>(arguments.empty() ? nullptr : arguments.data()));
  if (length == 0) return Fail("FormatMessage");
  std::fwrite(text, 1, length, stdout);
  LocalFree(text);
  FreeLibrary(module);
  return 0;
}

int Version(const char* file, const char* name) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(file, &handle);
  if (size == 0) return Fail("GetFileVersionInfoSize");
  std::vector<char> record(size);
  if (!GetFileVersionInfoA(file, 0, size, record.data())) return Fail("GetFileVersionInfo");
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  char* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(record.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return Fail("VerQueryValue");
  }
  // The length counts the terminating zero.
  std::fwrite(value, 1, length > 0 ? length - 1 : 0, stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // the text's own line ends, unchanged
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "message" && argc >= 4) return Message(argv[2], argv[3], argc - 4, argv + 4);
  if (command == "version" && argc == 4) return Version(argv[2], argv[3]);
  std::printf("failed: usage: resource_reader message FILE ID STRING... | version FILE NAME");
  return 1;
}
