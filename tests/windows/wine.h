// Windows programs under Wine for the tests: a Wine prefix of the test's
// own, an X display of its own for programs with windows, and the registry
// of the prefix read back.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/test_support.h"

namespace testing_support {

// Wine's first start in a fresh prefix takes several seconds.
inline constexpr int kWineLimitMs = 180000;

// Quillon.exe of the Windows build (TALLOWMERE_WINDOWS_BIN_DIR).
inline std::filesystem::path QuillonExe() {
  return std::filesystem::path(TALLOWMERE_WINDOWS_BIN_DIR) / "Quillon.exe";
}

// A host path as Wine's drive Z: shows it.
std::string WindowsPath(const std::filesystem::path& path);
bool OnPath(const std::string& program);

// An Xvfb server on a display number that it picks itself, so that tests
// can run side by side; stopped when destroyed.
class VirtualDisplay {
 public:
  VirtualDisplay(const std::filesystem::path& work_dir);
  ~VirtualDisplay();
  // ":N", or empty when the server did not start.
  const std::string& name() const { return name_; }

 private:
  std::unique_ptr<platform::testing::ChildProcess> server_;
  std::string name_;
};

// A Wine prefix of the test's own; its wineserver is stopped at the end.
class Wine {
 public:
  // display: an X display for programs with windows, or empty.
  explicit Wine(std::filesystem::path prefix, std::string display = "")
      : prefix_(std::move(prefix)), display_(std::move(display)) {}
  ~Wine();
  Wine(const Wine&) = delete;
  Wine& operator=(const Wine&) = delete;

  const std::filesystem::path& prefix() const { return prefix_; }
  // C: of the prefix.
  std::filesystem::path DriveC() const { return prefix_ / "drive_c"; }

  // Starts a Windows program; Wine's report of every event-log entry goes
  // to the file log, one line per insertion string; its output goes to the
  // file output when one is given.
  std::unique_ptr<platform::testing::ChildProcess> Start(
      const std::vector<std::string>& argv, const std::filesystem::path& log,
      const std::filesystem::path& output = {}) const;
  // The shell command that Start runs (with /bin/sh -c), and the variables
  // it runs with: for a test that runs it in a setting of its own.
  std::string Command(const std::vector<std::string>& argv, const std::filesystem::path& log,
                      const std::filesystem::path& output = {}) const;
  std::vector<std::string> Environment() const;
  // Runs one to its end.
  platform::testing::ProcessResult Run(const std::vector<std::string>& argv,
                                       const std::filesystem::path& log,
                                       const std::filesystem::path& output = {}) const;
  // Runs the windowed program while dialog_driver.exe takes the steps on
  // its windows titled title (see platform/win32/dialog_driver.cc); the
  // driver's output. Failures are reported to GoogleTest.
  std::string DriveDialog(const std::filesystem::path& program, const std::string& title,
                          const std::vector<std::string>& steps) const;
  // Waits until every program of the prefix has ended (bounded).
  bool WaitIdle() const;

  // A REG_SZ or REG_DWORD value as reg.exe shows it ("0x7" for a DWORD);
  // nullopt when the key or the value is missing.
  std::optional<std::string> RegistryValue(const std::string& key, const std::string& name) const;
  // Whether the key exists.
  bool RegistryKeyExists(const std::string& key) const;

 private:
  std::filesystem::path prefix_;
  std::string display_;
};

// The insertion strings of the entries in a log written by Wine::Run.
std::vector<std::string> EventStrings(const std::filesystem::path& log);

}  // namespace testing_support
