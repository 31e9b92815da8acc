// A machine for in-process tests of the run control: a settings key in
// memory, a captured event log, a name service of the test's own, recorded
// sleeps, and a process exit that throws. Everything else goes to the real
// backend. Installed for the lifetime of the object.
#pragma once

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "gateway/control/settings.h"
#include "platform/byte_order.h"
#include "platform/env.h"

struct ProcessExit {
  int code;
};

// A fresh directory of the test's own, removed afterwards.
struct TempDir {
  TempDir() {
    std::random_device random;
    path = std::filesystem::temp_directory_path() /
           ("tallowmere-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

class FakeMachine : public platform::EnvWrapper {
 public:
  struct Event {
    std::uint16_t type;
    std::uint16_t category;
    std::uint32_t event_id;
    std::string error_text;
    std::string message;
    std::size_t string_count;
  };

  FakeMachine() : EnvWrapper(platform::Env::Default()) {
    previous_ = platform::SetEnv(this);
    GatewaySettings = {};
  }
  ~FakeMachine() override { platform::SetEnv(previous_); }

  void SetValue(const std::string& name, const std::string& text) {
    values[Lower(name)] = text;
  }

  std::vector<std::string> EventMessages() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> messages;
    for (const Event& e : events) messages.push_back(e.message);
    return messages;
  }

  long RegOpen(platform::RegRoot, const std::string& path, platform::RegAccess,
               platform::RegKey* key) override {
    if (!key_exists || path != kSettingsKey) return platform::kErrorFileNotFound;
    *key = 1;
    return platform::kErrorSuccess;
  }
  long RegQuery(platform::RegKey, const std::string& name, std::uint32_t* type,
                unsigned char* data, std::uint32_t* size) override {
    auto it = values.find(Lower(name));
    if (it == values.end()) return platform::kErrorFileNotFound;
    const std::uint32_t needed = static_cast<std::uint32_t>(it->second.size() + 1);
    if (type) *type = platform::kRegSz;
    if (needed > *size) {
      *size = needed;
      return platform::kErrorMoreData;
    }
    std::memcpy(data, it->second.c_str(), needed);
    *size = needed;
    return platform::kErrorSuccess;
  }
  long RegClose(platform::RegKey) override { return platform::kErrorSuccess; }

  platform::EventSource RegisterSource(const std::string& source) override {
    if (source_unavailable || source != "Tallowmere") return 0;
    return 1;
  }
  bool Report(platform::EventSource, std::uint16_t type, std::uint16_t category,
              std::uint32_t event_id, const std::vector<std::string>& strings) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back({type, category, event_id, strings.size() > 0 ? strings[0] : "",
                      strings.size() > 1 ? strings[1] : "", strings.size()});
    return true;
  }
  void DeregisterSource(platform::EventSource) override {}

  bool LookupHost(const std::string& name, std::uint32_t* address) override {
    lookups.push_back(name);
    auto it = hosts.find(name);
    if (!network_down && it != hosts.end()) {
      *address = it->second;
      return true;
    }
    SetLastErrorCode(network_down ? platform::kWsaEnetdown : platform::kWsaHostNotFound);
    return false;
  }
  std::uint32_t DottedToAddress(const std::string& text) override {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 ||
        a > 255 || b > 255 || c > 255 || d > 255) {
      return platform::kInaddrNone;
    }
    return platform::AddressFromParts(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                      static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d));
  }

  void SleepMs(std::uint32_t milliseconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps.push_back(milliseconds);
  }
  [[noreturn]] void ExitProcess(int code) override { throw ProcessExit{code}; }

  bool key_exists = true;
  bool network_down = false;
  bool source_unavailable = false;
  std::map<std::string, std::string> values;  // lower-case names
  std::map<std::string, std::uint32_t> hosts;
  std::vector<std::string> lookups;
  std::vector<std::uint32_t> sleeps;
  std::vector<Event> events;

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

  platform::Env* previous_;
  std::mutex mutex_;
};
