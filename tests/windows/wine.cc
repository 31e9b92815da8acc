#include "tests/windows/wine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/machine_root.h"

namespace testing_support {

std::string WindowsPath(const std::filesystem::path& path) {
  std::string text = "Z:" + path.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

bool OnPath(const std::string& program) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string dir; std::getline(path, dir, ':');) {
    if (std::filesystem::exists(std::filesystem::path(dir) / program)) return true;
  }
  return false;
}

VirtualDisplay::VirtualDisplay(const std::filesystem::path& work_dir) {
  // Xvfb writes the number of the display it took, then a newline, once it
  // accepts clients.
  const std::filesystem::path number = work_dir / "display";
  server_ = platform::testing::ChildProcess::Start(
      {"/bin/sh", "-c",
       "exec Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>" +
           ShellQuoted(number.string()) + " 2>" + ShellQuoted((work_dir / "xvfb.log").string())},
      {});
  if (!server_) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = std::filesystem::exists(number) ? ReadFileBytes(number) : "";
    if (!text.empty() && text.back() == '\n') {
      name_ = ":" + text.substr(0, text.size() - 1);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

VirtualDisplay::~VirtualDisplay() {
  if (!server_) return;
  server_->Kill();
  server_->Wait(10000);
}

Wine::~Wine() { platform::testing::RunProcess({"wineserver", "-k"}, Environment(), 30000); }

std::vector<std::string> Wine::Environment() const {
  // No prompt to install Wine's .NET or HTML engines into a new prefix.
  std::vector<std::string> environment{"WINEPREFIX=" + prefix_.string(),
                                       "WINEDEBUG=-all,+eventlog",
                                       "WINEDLLOVERRIDES=mscoree=;mshtml="};
  if (!display_.empty()) environment.push_back("DISPLAY=" + display_);
  return environment;
}

std::string Wine::Command(const std::vector<std::string>& argv, const std::filesystem::path& log,
                          const std::filesystem::path& output) const {
  std::string command = "wine";
  for (const std::string& arg : argv) command += " " + ShellQuoted(arg);
  command += " 2>" + ShellQuoted(log.string());
  if (!output.empty()) command += " >" + ShellQuoted(output.string());
  return command;
}

std::unique_ptr<platform::testing::ChildProcess> Wine::Start(
    const std::vector<std::string>& argv, const std::filesystem::path& log,
    const std::filesystem::path& output) const {
  return platform::testing::ChildProcess::Start({"/bin/sh", "-c", "exec " + Command(argv, log, output)},
                                                Environment());
}

platform::testing::ProcessResult Wine::Run(const std::vector<std::string>& argv,
                                           const std::filesystem::path& log,
                                           const std::filesystem::path& output) const {
  std::unique_ptr<platform::testing::ChildProcess> child = Start(argv, log, output);
  if (!child) return {};
  return child->Wait(kWineLimitMs);
}

std::string Wine::DriveDialog(const std::filesystem::path& program, const std::string& title,
                              const std::vector<std::string>& steps) const {
  std::unique_ptr<platform::testing::ChildProcess> shown =
      Start({program.string()}, prefix_ / "program.log");
  EXPECT_NE(shown, nullptr);
  std::vector<std::string> argv{
      (std::filesystem::path(TALLOWMERE_WINDOWS_BIN_DIR) / "dialog_driver.exe").string(), title};
  argv.insert(argv.end(), steps.begin(), steps.end());
  const std::filesystem::path output = prefix_ / "driver.out";
  const platform::testing::ProcessResult driven = Run(argv, prefix_ / "driver.log", output);
  EXPECT_TRUE(driven.exited && driven.exit_code == 0) << ReadFileBytes(output);
  if (shown) {
    const platform::testing::ProcessResult ended = shown->Wait(60000);
    EXPECT_TRUE(ended.exited && ended.exit_code == 0) << program;
  }
  return ReadFileBytes(output);
}

bool Wine::WaitIdle() const {
  const platform::testing::ProcessResult idle =
      platform::testing::RunProcess({"wineserver", "-w"}, Environment(), kWineLimitMs);
  return idle.exited && idle.exit_code == 0;
}

bool Wine::RegistryKeyExists(const std::string& key) const {
  const platform::testing::ProcessResult query =
      Run({"reg", "query", key}, prefix_ / "reg.log", prefix_ / "reg.out");
  return query.exited && query.exit_code == 0;
}

std::optional<std::string> Wine::RegistryValue(const std::string& key,
                                               const std::string& name) const {
  const platform::testing::ProcessResult query =
      Run({"reg", "query", key, "/v", name}, prefix_ / "reg.log", prefix_ / "reg.out");
  if (!query.exited || query.exit_code != 0) return std::nullopt;
  // "    name    REG_SZ    value\r\n"
  std::istringstream lines(ReadFileBytes(prefix_ / "reg.out"));
  const std::string start = "    " + name + "    ";
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.starts_with(start)) continue;
    const std::size_t value = line.find("    ", start.size());
    if (value == std::string::npos) return std::string();
    return line.substr(value + 4);
  }
  return std::nullopt;
}

std::vector<std::string> EventStrings(const std::filesystem::path& log) {
  std::vector<std::string> strings;
  std::istringstream lines(ReadFileBytes(log));
  const std::string marker = ":eventlog:ReportEventW L\"";
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(marker);
    if (at == std::string::npos || line.back() != '"') continue;
    const std::size_t begin = at + marker.size();
    strings.push_back(line.substr(begin, line.size() - 1 - begin));
  }
  return strings;
}

}  // namespace testing_support
