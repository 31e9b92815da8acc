// A POP3 server for the tests and benchmarks: a real mailbox (message
// numbers valid per session, deletions carried out at QUIT) whose replies can
// be scripted byte by byte: replaced, split over two sends, cut off by a
// close, or stalled. It records every byte the clients send.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_support.h"

namespace testing_support {

class ScriptedPop3Server {
 public:
  // The "command" whose reply is the greeting, for the scripting calls.
  static constexpr const char* kGreeting = "";
  // A cut at the end of the whole reply.
  static constexpr std::size_t kWholeReply = static_cast<std::size_t>(-1);

  // Listens on address, port 110; accepts the given USER and PASS.
  explicit ScriptedPop3Server(const std::string& address, std::string user = "postmaster",
                              std::string password = "secret");
  ~ScriptedPop3Server();
  ScriptedPop3Server(const ScriptedPop3Server&) = delete;
  ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

  bool listening() const { return listener_ != nullptr; }

  // content: the message's bytes with lines ended by CR LF, not dot-stuffed
  // (the server stuffs lines that begin with "." when it sends them).
  void AddMessage(const std::string& uid, const std::string& content);
  // A message generated as it is sent: header, then repeat copies of line.
  // Large mailboxes cost no memory.
  void AddGeneratedMessage(const std::string& uid, const std::string& header,
                           const std::string& line, std::size_t repeat);

  // Scripting. Each rule applies once, to the next reply to command (the
  // command line exactly as received, without CR LF; kGreeting for the
  // greeting), in any session.
  void ReplaceReply(const std::string& command, const std::string& reply);
  // The reply's first `at` bytes in one send, then, after a pause, the rest.
  void SplitReply(const std::string& command, std::size_t at);
  // The same, the rest sent once before_rest (called on the session's
  // thread) has returned instead of after the pause.
  void SplitReply(const std::string& command, std::size_t at, std::function<void()> before_rest);
  // The reply's first `at` bytes, then the connection is closed in order
  // (no QUIT: nothing is deleted): the client reads the end of the stream,
  // also when it has sent another command meanwhile.
  void CloseInReply(const std::string& command, std::size_t at = kWholeReply);
  // The reply's first `at` bytes, then silence until the client goes.
  void StallInReply(const std::string& command, std::size_t at = 0);

  // The mechanisms that CAPA lists on its SASL line ("PLAIN XOAUTH2"); none,
  // and no SASL line, when empty (the default). AUTH takes those listed.
  void OfferSasl(const std::string& mechanisms);
  // A command line that logs a session in besides USER and PASS: an APOP
  // line, or the response line after "AUTH mechanism" and its "+".
  void AcceptLogin(const std::string& line);

  // Called with every command line (without CR LF) on the session's thread
  // when it arrives, before the server handles it, so a hook that blocks
  // holds the reply back. Replaces the previous hook; an empty one removes it.
  void OnCommand(std::function<void(const std::string& line)> hook);

  // Every byte that clients sent, in the order received, all sessions.
  std::string Received() const;
  // The command lines received (without CR LF), all sessions.
  std::vector<std::string> Commands() const;
  // The identifiers of the messages in the mailbox now.
  std::vector<std::string> Uids() const;
  int Sessions() const;
  // Waits until no session is open (at most timeout_ms); false on time-out.
  bool WaitUntilIdle(int timeout_ms) const;

 private:
  struct Message;
  struct Rule;
  class Session;

  void AcceptLoop();
  void RunCommandHook(const std::string& line);
  bool TakeRule(const std::string& command, Rule* rule);
  std::string SaslMechanisms() const;
  std::string AcceptedLogin() const;

  std::string user_;
  std::string password_;
  std::string sasl_mechanisms_;
  std::string accepted_login_;
  std::unique_ptr<platform::testing::Listener> listener_;
  std::atomic<bool> stop_{false};

  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  std::vector<std::shared_ptr<const Message>> mailbox_;
  std::vector<Rule> rules_;
  std::function<void(const std::string&)> command_hook_;
  std::string received_;
  std::vector<std::string> commands_;
  int sessions_ = 0;
  int open_sessions_ = 0;

  std::vector<std::thread> session_threads_;
  std::thread accept_thread_;
};

}  // namespace testing_support
