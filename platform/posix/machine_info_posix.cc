// Version records of program files, memory and disk figures.
//
// A program file named as on Windows ("Setwick.exe") is looked up as its
// lower-case name without ".exe" in the running program's directory, then in
// the current directory, then along PATH; its version record is the ELF
// section ".tallowmere.version" of Name=Value lines. The file system of the
// current directory stands for drive C.
#include <elf.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/posix/posix_env.h"

namespace platform {

namespace {

constexpr char kVersionSection[] = ".tallowmere.version";
constexpr int kDriveC = 3;

std::string PosixProgramName(const std::string& bare_name) {
  std::string name = bare_name;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
  return name;
}

std::vector<std::string> SearchDirectories() {
  std::vector<std::string> dirs;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<std::size_t>(n));
    dirs.push_back(path.substr(0, path.rfind('/') + 1));
  }
  dirs.push_back("./");
  if (const char* path = std::getenv("PATH")) {
    std::string all = path;
    std::size_t begin = 0;
    for (;;) {
      const std::size_t end = all.find(':', begin);
      const std::string dir = all.substr(begin, end - begin);
      dirs.push_back(dir.empty() ? "./" : dir + "/");
      if (end == std::string::npos) break;
      begin = end + 1;
    }
  }
  return dirs;
}

// Reads size bytes at offset; false when the file is shorter.
bool ReadAt(std::ifstream& in, std::uint64_t offset, std::uint64_t size, void* out) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
  return in.good() || (in.eof() && static_cast<std::uint64_t>(in.gcount()) == size);
}

// The bytes of the named section of an ELF64 file, found through its section
// headers; false when the file is not ELF64 or has no such section.
bool FindSection(const std::string& path, const char* name, std::string* section) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr header;
  if (!in || !ReadAt(in, 0, sizeof header, &header) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum) {
    return false;
  }
  auto section_header = [&](std::size_t index, Elf64_Shdr* out) {
    return ReadAt(in, header.e_shoff + index * sizeof(Elf64_Shdr), sizeof(Elf64_Shdr), out);
  };
  constexpr std::uint64_t kLargestSection = 1 << 20;  // a record or a name table
  auto contents = [&](const Elf64_Shdr& s, std::string* out) {
    if (s.sh_type == SHT_NOBITS || s.sh_size > kLargestSection) return false;
    out->resize(s.sh_size);
    return ReadAt(in, s.sh_offset, s.sh_size, out->data());
  };
  Elf64_Shdr names_header;
  std::string names;
  if (!section_header(header.e_shstrndx, &names_header) || !contents(names_header, &names)) {
    return false;
  }
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr s;
    if (!section_header(i, &s) || s.sh_name >= names.size()) continue;
    if (std::strcmp(names.c_str() + s.sh_name, name) == 0) return contents(s, section);
  }
  return false;
}

}  // namespace

bool SystemEnv::ReadVersionRecord(const std::string& bare_name,
                                 std::map<std::string, std::string>* entries) {
  const std::string name = PosixProgramName(bare_name);
  for (const std::string& dir : SearchDirectories()) {
    const std::string path = dir + name;
    if (access(path.c_str(), X_OK) != 0) continue;
    std::string record;
    if (!FindSection(path, kVersionSection, &record)) {
      SetLastErrorCode(1812);  // ERROR_RESOURCE_DATA_NOT_FOUND
      return false;
    }
    entries->clear();
    std::size_t begin = 0;
    while (begin < record.size()) {
      std::size_t end = record.find('\n', begin);
      if (end == std::string::npos) end = record.size();
      const std::string line = record.substr(begin, end - begin);
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) (*entries)[line.substr(0, equals)] = line.substr(equals + 1);
      begin = end + 1;
    }
    return true;
  }
  SetLastErrorCode(kErrorFileNotFound);
  return false;
}

bool SystemEnv::QueryMemory(MemoryStatus* status) {
  struct sysinfo info;
  if (sysinfo(&info) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  status->total_physical_bytes =
      static_cast<std::uint64_t>(info.totalram) * static_cast<std::uint64_t>(info.mem_unit);
  return true;
}

int SystemEnv::CurrentDrive() { return kDriveC; }

// Every drive root stands for the current directory's file system.
bool SystemEnv::QueryDiskFree(const std::string&, DiskFree* free) {
  struct statvfs fs;
  if (statvfs(".", &fs) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  free->available_clusters = fs.f_bavail;
  free->sectors_per_cluster = 1;
  free->bytes_per_sector = fs.f_frsize;
  return true;
}

}  // namespace platform
