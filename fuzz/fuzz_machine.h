// The machine a fuzz target runs on: a scratch directory on a memory file
// system, an event log that keeps nothing, and file reads that may be cut
// short to a few bytes, so that the text readers meet every buffer boundary.
// Everything else goes to the real backend. One per process, installed for
// its lifetime.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#include "platform/env.h"

class FuzzMachine : public platform::EnvWrapper {
 public:
  // The directory is made under $TALLOWMERE_FUZZ_SCRATCH, else /dev/shm.
  FuzzMachine() : EnvWrapper(platform::Env::Default()) {
    const char* base = std::getenv("TALLOWMERE_FUZZ_SCRATCH");
    std::random_device random;
    dir_ = std::filesystem::path(base && *base ? base : "/dev/shm") /
           ("tallowmere-fuzz-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    platform::SetEnv(this);
  }
  ~FuzzMachine() override {
    platform::SetEnv(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  FuzzMachine(const FuzzMachine&) = delete;
  FuzzMachine& operator=(const FuzzMachine&) = delete;

  const std::filesystem::path& dir() const { return dir_; }

  // Every read returns at most this many bytes; 0 lifts the limit.
  void SetReadLimit(std::uint32_t bytes) { read_limit_ = bytes; }

  // Writes bytes as the file name of the scratch directory.
  void WriteFile(const std::filesystem::path& name, std::string_view bytes) const {
    std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  platform::EventSource RegisterSource(const std::string&) override { return 0; }
  long ReadSome(platform::FileHandle file, void* buffer, std::uint32_t count) override {
    return EnvWrapper::ReadSome(file, buffer, read_limit_ ? std::min(count, read_limit_) : count);
  }

 private:
  std::filesystem::path dir_;
  std::uint32_t read_limit_ = 0;
};
