// A temporary machine root for runs of the real programs: the settings key
// written as the registry file, the spool directories, and the event log
// read back.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct LoggedEvent {
  std::string time;        // UTC, RFC 3339
  std::string type;        // "error", "warning", "information"
  std::vector<std::string> strings;  // bytes as logged
  std::string message() const { return strings.size() > 1 ? strings[1] : ""; }
};

class MachineRoot {
 public:
  MachineRoot();  // a fresh directory under the system's temporary directory
  ~MachineRoot();
  MachineRoot(const MachineRoot&) = delete;
  MachineRoot& operator=(const MachineRoot&) = delete;

  const std::filesystem::path& path() const { return root_; }
  // The exchangedir of the settings: <root>/exchange; SpoolRoot below it.
  std::filesystem::path exchangedir() const { return root_ / "exchange"; }
  std::filesystem::path spool() const { return exchangedir() / "quillon"; }
  // Creates quillon, in, out and Archive under exchangedir.
  void MakeSpool() const;

  // Writes registry.reg holding the settings key with these REG_SZ values
  // (written exactly, with quotes and backslashes escaped), and nothing else.
  void WriteSettings(const std::map<std::string, std::string>& values) const;
  // Settings pointing at the given POP3 and SMTP hosts, with exchangedir and
  // installdir inside the root.
  void WriteDefaultSettings(const std::string& popserver, const std::string& localserver,
                            const std::string& loglevel = "1") const;
  // Adds one REG_SZ value to the settings key written before.
  void AddSetting(const std::string& name, const std::string& value) const;

  std::vector<LoggedEvent> Events() const;
  std::vector<std::string> EventMessages() const;
  // "TALLOWMERE_ROOT=<root>" for a child process's environment.
  std::string EnvironmentEntry() const;

 private:
  std::filesystem::path root_;
};

// Sorted names of the entries of a directory (empty when it is missing).
std::vector<std::string> DirectoryNames(const std::filesystem::path& dir);
std::string ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);
// text as one word of a shell command line.
std::string ShellQuoted(const std::string& text);
// How often piece occurs in text (overlapping occurrences counted).
int Occurrences(const std::string& text, const std::string& piece);

// The multithreaded libfaketime, preloaded with time running 100 times
// faster, so the prescribed pauses pass quickly.
std::vector<std::string> FastClockEnvironment();

}  // namespace testing_support
