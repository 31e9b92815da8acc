// What the POP3 and splitter tests share: an Env that records events, pauses,
// file operations and sends, fails chosen calls, and shortens the silence
// limit; and a temporary spool tree that the gateway's settings point at.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "platform/env.h"

namespace pop3_testing {

struct RecordedEvent {
  std::uint16_t type = 0;
  std::string error_text;  // "Tallowmere error: <code>"
  std::string message;
};

class GatewayTestEnv : public platform::EnvWrapper {
 public:
  GatewayTestEnv() : EnvWrapper(platform::Env::Default()) {}

  // Recorded.
  std::vector<RecordedEvent> events;
  std::vector<std::uint32_t> sleeps;
  std::vector<std::uint32_t> silence_limits;   // as the gateway asked
  std::vector<std::string> receives;           // every receive's bytes
  // Sends ("send <bytes>"), file creation, flushes and moves, in order.
  std::vector<std::string> journal;

  // Chosen failures.
  std::uint32_t silence_limit_ms = 0;          // 0: as asked
  std::map<std::string, int> send_results;     // sent bytes -> result
  bool fail_socket = false;
  bool fail_silence_limit = false;
  bool fail_receive_buffer = false;
  bool fail_send_buffer = false;
  bool fail_close_socket = false;
  int list_directory_successes = -1;           // listings that work; -1: all
  bool flush_files = true;                     // false: recorded only

  std::vector<std::string> EventMessages() const {
    std::vector<std::string> messages;
    for (const RecordedEvent& e : events) messages.push_back(e.message);
    return messages;
  }

  platform::EventSource RegisterSource(const std::string&) override { return 1; }
  bool Report(platform::EventSource, std::uint16_t type, std::uint16_t, std::uint32_t,
              const std::vector<std::string>& strings) override {
    events.push_back({type, strings.at(0), strings.at(1)});
    return true;
  }
  void DeregisterSource(platform::EventSource) override {}
  void SleepMs(std::uint32_t ms) override { sleeps.push_back(ms); }

  platform::Socket CreateStreamSocket() override {
    if (fail_socket) {
      SetLastErrorCode(10024);
      return platform::kInvalidSocket;
    }
    const platform::Socket s = target()->CreateStreamSocket();
    if (s != platform::kInvalidSocket) open_sockets_.insert(s);
    return s;
  }
  int SetSilenceLimit(platform::Socket s, std::uint32_t ms) override {
    silence_limits.push_back(ms);
    if (fail_silence_limit) {
      SetLastErrorCode(platform::kWsaEnotsock);
      return platform::kSocketError;
    }
    return target()->SetSilenceLimit(s, silence_limit_ms ? silence_limit_ms : ms);
  }
  int SetBufferSize(platform::Socket s, platform::SocketBuffer which, int bytes) override {
    if ((which == platform::SocketBuffer::kReceive && fail_receive_buffer) ||
        (which == platform::SocketBuffer::kSend && fail_send_buffer)) {
      SetLastErrorCode(10022);
      return platform::kSocketError;
    }
    return target()->SetBufferSize(s, which, bytes);
  }
  int Send(platform::Socket s, const char* data, int length) override {
    const std::string bytes(data, static_cast<std::size_t>(length));
    journal.push_back("send " + bytes);
    auto it = send_results.find(bytes);
    if (it != send_results.end()) {
      if (it->second < 0) SetLastErrorCode(platform::kWsaEconnreset);
      return it->second;
    }
    return target()->Send(s, data, length);
  }
  int Receive(platform::Socket s, char* buffer, int length) override {
    const int got = target()->Receive(s, buffer, length);
    if (got > 0) receives.emplace_back(buffer, static_cast<std::size_t>(got));
    return got;
  }
  int CloseSocket(platform::Socket s) override {
    journal.push_back("closesocket");
    if (fail_close_socket) {
      SetLastErrorCode(platform::kWsaEnotsock);
      return platform::kSocketError;
    }
    open_sockets_.erase(s);
    return target()->CloseSocket(s);
  }
  // Closes the sockets that the code under test left open.
  void CloseLeftOpen() {
    for (platform::Socket s : open_sockets_) target()->CloseSocket(s);
    open_sockets_.clear();
  }

  platform::FileHandle CreateFileAlways(const std::string& path) override {
    journal.push_back("create " + path);
    return target()->CreateFileAlways(path);
  }
  bool FlushWrittenFiles(const std::vector<std::string>& paths) override {
    std::string entry = "flushwritten";
    for (const std::string& path : paths) entry += " " + path;
    journal.push_back(entry);
    return !flush_files || target()->FlushWrittenFiles(paths);
  }
  bool FlushDirectory(const std::string& path) override {
    journal.push_back("flushdir " + path);
    return target()->FlushDirectory(path);
  }
  bool MoveReplace(const std::string& from, const std::string& to) override {
    journal.push_back("replace " + from + " " + to);
    return target()->MoveReplace(from, to);
  }
  bool MoveNoReplace(const std::string& from, const std::string& to) override {
    journal.push_back("move " + from + " " + to);
    return target()->MoveNoReplace(from, to);
  }
  bool ListDirectory(const std::string& pattern, std::vector<std::string>* names) override {
    if (list_directory_successes == 0) {
      SetLastErrorCode(platform::kErrorPathNotFound);
      return false;
    }
    if (list_directory_successes > 0) --list_directory_successes;
    return target()->ListDirectory(pattern, names);
  }

 private:
  std::set<platform::Socket> open_sockets_;
};

// A temporary exchangedir with quillon\in, out and Archive, which the
// gateway's settings point at while it lives.
class SpoolTree {
 public:
  SpoolTree() {
    std::random_device random;
    exchange_ = std::filesystem::temp_directory_path() /
                ("tallowmere-pop3-" + std::to_string(random()) + std::to_string(random()));
    for (const char* dir : {"in", "out", "Archive"}) {
      std::filesystem::create_directories(exchange_ / "quillon" / dir);
    }
    GatewaySettings.exchangedir = exchange_.string();
  }
  ~SpoolTree() {
    std::error_code ignored;
    std::filesystem::remove_all(exchange_, ignored);
  }
  SpoolTree(const SpoolTree&) = delete;
  SpoolTree& operator=(const SpoolTree&) = delete;

  std::filesystem::path root() const { return exchange_ / "quillon"; }
  std::filesystem::path in() const { return root() / "in"; }
  std::filesystem::path out() const { return root() / "out"; }
  // SpoolRoot() as the gateway spells it.
  std::string gateway_root() const { return exchange_.string() + "\\quillon"; }

 private:
  std::filesystem::path exchange_;
};

}  // namespace pop3_testing
