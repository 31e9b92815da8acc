// A scripted SMTP server for the tests and benchmarks, and an Env for the
// client side of their conversations.
//
// The server listens on port 25 of an address of the test's own, serves
// every connection on a thread of its own, records every byte each client
// sends and answers each command as the script says: by the command's
// whole line, by its verb and the verb's index within the connection, or by
// its verb alone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/env.h"
#include "platform/test_support.h"

namespace testing_support {

// What the server does at one point of a conversation.
struct SmtpAction {
  enum class Kind { kReply, kClose, kReset, kStall };
  Kind kind = Kind::kReply;
  std::string text;  // the bytes of a reply

  static SmtpAction Reply(std::string text) { return {Kind::kReply, std::move(text)}; }
  // Closes the connection without a reply: the client receives 0 bytes.
  static SmtpAction Close() { return {Kind::kClose, {}}; }
  // Closes with a reset: the client's next receive fails.
  static SmtpAction Reset() { return {Kind::kReset, {}}; }
  // Never answers again, and reads on until the client goes.
  static SmtpAction Stall() { return {Kind::kStall, {}}; }
};

// The script that every connection follows. Verbs are the commands' first
// words, upper-cased ("HELO", "MAIL", "RCPT", "DATA", "NOOP", "RSET", "QUIT"); the
// verb "." is the line that ends the message data. By default the greeting
// is "220", DATA gets "354", QUIT gets "221" and a close, an unknown verb
// "500" and everything else "250". An empty command line is not answered.
class SmtpScript {
 public:
  SmtpScript();
  SmtpScript& Greeting(SmtpAction action);
  // Every command of this verb.
  SmtpScript& On(const std::string& verb, SmtpAction action);
  // The index-th command (from 0) of this verb within a connection.
  SmtpScript& On(const std::string& verb, int index, SmtpAction action);
  // The command whose line, without its LF or CR LF, is exactly this.
  SmtpScript& OnLine(const std::string& line, SmtpAction action);
  // Keeps no transcripts (for benchmarks): only counts.
  SmtpScript& DiscardTranscripts();

  const SmtpAction& greeting() const { return greeting_; }
  const SmtpAction& For(const std::string& line, const std::string& verb, int index) const;
  bool keeps_transcripts() const { return keep_transcripts_; }

 private:
  SmtpAction greeting_;
  std::map<std::string, SmtpAction> by_line_;
  std::map<std::pair<std::string, int>, SmtpAction> by_index_;
  std::map<std::string, SmtpAction> by_verb_;
  SmtpAction unknown_;
  bool keep_transcripts_ = true;
};

class ScriptedSmtpServer {
 public:
  // Listens on address, port 25; throws std::runtime_error when it cannot.
  ScriptedSmtpServer(std::string address, SmtpScript script);
  // Closes every connection and waits for the server's threads.
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  const std::string& address() const { return address_; }
  // The address in network byte order, as the gateway's settings hold it.
  std::uint32_t NetworkAddress() const;

  int ConnectionCount() const;
  // Waits (at most timeout_ms) until the index-th connection (in the order
  // accepted) has been made and has ended, and returns the bytes its client
  // sent. Throws std::runtime_error on time-out.
  std::string Transcript(int index, int timeout_ms = 10000) const;
  // Transcripts of every connection made so far, once each has ended.
  std::vector<std::string> Transcripts(int timeout_ms = 10000) const;

  // Called with every command line (without its LF or CR LF), and with "."
  // for the line that ends a message's data, on the connection's thread when
  // it arrives, before the server answers it, so a hook that blocks holds the
  // reply back. Replaces the previous hook; an empty one removes it.
  void OnCommand(std::function<void(const std::string& line)> hook);

  // Messages whose end of data was answered "250", and when the last was.
  int AcceptedMessages() const;
  std::chrono::steady_clock::time_point LastAcceptedAt() const;
  // Waits (at most timeout_ms) until count messages have been accepted.
  bool WaitForAcceptedMessages(int count, int timeout_ms) const;

 private:
  struct Record {
    std::string bytes;
    bool ended = false;
  };
  void AcceptLoop();
  void Serve(std::unique_ptr<platform::testing::ServerConnection> connection, int index);
  void Append(int index, const char* bytes, int count);
  void End(int index);
  void CountAccepted();
  void RunCommandHook(const std::string& line);

  const std::string address_;
  const SmtpScript script_;
  std::unique_ptr<platform::testing::Listener> listener_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Record> records_;
  int accepted_messages_ = 0;
  std::function<void(const std::string&)> command_hook_;
  std::chrono::steady_clock::time_point last_accepted_at_;
  std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> workers_;
  std::thread acceptor_;
};

// One event-log entry as the gateway reported it.
struct ReportedEvent {
  std::uint16_t type = 0;
  std::string error_text;  // "Tallowmere error: <code>"
  std::string message;
};

// The client side of a conversation test: forwards to the real platform,
// records event-log entries instead of writing them, records pauses instead
// of sleeping, shortens the silence limit, and fails chosen calls.
class SmtpClientEnv : public platform::EnvWrapper {
 public:
  enum class Call { kCreateSocket, kReceiveBuffer, kSendBuffer, kConnect, kSend, kReceive };

  // Installs itself as platform::env() until destroyed.
  SmtpClientEnv();
  ~SmtpClientEnv() override;

  // The index-th call (from 0) of this kind returns result and sets the
  // last error to error instead of reaching the platform.
  void Fail(Call call, int index, int result, std::uint32_t error);
  // The silence limit handed on to the platform (the gateway's request is
  // recorded in requested_silence_limits()).
  void set_silence_limit_ms(std::uint32_t ms) { silence_limit_ms_ = ms; }
  // Each receive asks the platform for at most this many bytes (0: as many
  // as the caller asks), so that every reply comes in pieces.
  void set_receive_limit(int bytes) { receive_limit_ = bytes; }
  // Called after every recorded pause with the total of the pauses so far.
  void set_on_sleep(std::function<void(std::uint64_t total_ms)> hook) { on_sleep_ = std::move(hook); }

  std::vector<ReportedEvent> events() const;
  std::vector<std::string> messages() const;
  std::vector<std::uint32_t> sleeps() const;
  std::vector<std::uint32_t> requested_silence_limits() const;
  // The pause total at each send, with the bytes sent.
  std::vector<std::pair<std::uint64_t, std::string>> sends() const;
  int calls(Call call) const;

  platform::EventSource RegisterSource(const std::string& source) override;
  bool Report(platform::EventSource source, std::uint16_t type, std::uint16_t category,
              std::uint32_t event_id, const std::vector<std::string>& strings) override;
  void DeregisterSource(platform::EventSource source) override;
  void SleepMs(std::uint32_t ms) override;
  // A wait for an event is recorded as a pause of its whole time, like a
  // sleep, and then tells whether the event is signalled; with real waits
  // it waits on the real clock instead.
  bool WaitForEvent(platform::Event event, std::uint32_t ms) override;
  void set_real_waits(bool real) { real_waits_ = real; }
  int SetSilenceLimit(platform::Socket socket, std::uint32_t ms) override;
  platform::Socket CreateStreamSocket() override;
  int SetBufferSize(platform::Socket socket, platform::SocketBuffer which, int bytes) override;
  int Connect(platform::Socket socket, std::uint32_t address, std::uint16_t port) override;
  int Send(platform::Socket socket, const char* data, int length) override;
  int Receive(platform::Socket socket, char* buffer, int length) override;

 private:
  struct Fault {
    int result;
    std::uint32_t error;
  };
  // Counts the call; true with *result set when it is to fail.
  bool Faulted(Call call, int* result);

  platform::Env* previous_;
  mutable std::mutex mutex_;
  std::map<std::pair<Call, int>, Fault> faults_;
  std::map<Call, int> calls_;
  std::vector<ReportedEvent> events_;
  std::vector<std::uint32_t> sleeps_;
  std::uint64_t slept_ms_ = 0;
  std::vector<std::uint32_t> requested_limits_;
  std::vector<std::pair<std::uint64_t, std::string>> sends_;
  std::uint32_t silence_limit_ms_ = 5000;
  int receive_limit_ = 0;
  std::function<void(std::uint64_t)> on_sleep_;
  bool real_waits_ = false;
};

}  // namespace testing_support
