// A fresh machine root per test: TALLOWMERE_ROOT names a directory that does
// not exist yet inside a temporary directory of the test's own, so the code
// under test creates it. Everything is removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/env.h"

class MachineRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    // A memory file system where there is one: the registry flushes every
    // write, which costs nothing there.
    const std::filesystem::path shm = "/dev/shm";
    base_ = (std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path()) /
            ("tallowmere-root-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(base_);
    root_ = base_ / "root";
    setenv("TALLOWMERE_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TALLOWMERE_ROOT");
    std::filesystem::remove_all(base_);
  }

  std::filesystem::path Path(const std::string& name) const { return root_ / name; }

  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::filesystem::perms Mode(const std::filesystem::path& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::mask;
  }

  platform::Env& env_ = *platform::Env::Default();
  std::filesystem::path base_;
  std::filesystem::path root_;
};
