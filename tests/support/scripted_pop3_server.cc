#include "tests/support/scripted_pop3_server.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <unordered_set>

namespace testing_support {

namespace {
constexpr int kPollMs = 50;
constexpr int kSplitPauseMs = 100;
constexpr std::size_t kSendBatch = 64 * 1024;

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}
}  // namespace

struct ScriptedPop3Server::Message {
  std::string uid;
  std::string content;
  std::string line;  // generated part: repeat copies of line
  std::size_t repeat = 0;
  std::size_t size() const { return content.size() + line.size() * repeat; }
};

struct ScriptedPop3Server::Rule {
  enum Kind { kReplace, kSplit, kClose, kStall };
  std::string command;
  Kind kind = kReplace;
  std::size_t at = 0;
  std::string reply;
  std::function<void()> before_rest;  // kSplit: instead of the pause
};

// One client connection, on its own thread.
class ScriptedPop3Server::Session {
 public:
  Session(ScriptedPop3Server& server, std::unique_ptr<platform::testing::ServerConnection> c)
      : server_(server), connection_(std::move(c)) {}

  void Run() {
    {
      std::lock_guard<std::mutex> lock(server_.mutex_);
      messages_ = server_.mailbox_;
    }
    deleted_.assign(messages_.size(), false);
    Reply(kGreeting, [](Writer& w) { w.Put("+OK POP3 server ready\r\n"); });
    std::string pending;
    while (open_) {
      std::size_t end = pending.find("\r\n");
      if (end == std::string::npos) {
        if (!ReceiveMore(&pending)) break;
        continue;
      }
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        server_.commands_.push_back(line);
      }
      server_.RunCommandHook(line);
      Handle(line);
    }
    connection_->Close();
  }

 private:
  // Sends one reply in batches, carrying out a scripted cut at its byte.
  class Writer {
   public:
    Writer(Session& session, std::optional<Rule> rule)
        : session_(session), rule_(std::move(rule)) {}
    void Put(const std::string& piece) {
      std::size_t from = 0;
      while (session_.open_ && !done_ && from < piece.size()) {
        std::size_t take = piece.size() - from;
        if (rule_ && rule_->at >= offset_ && rule_->at - offset_ < take) {
          take = rule_->at - offset_;
        }
        buffer_.append(piece, from, take);
        from += take;
        offset_ += take;
        if (rule_ && offset_ == rule_->at && from < piece.size()) Cut();
        if (buffer_.size() >= kSendBatch) Flush();
      }
    }
    void Finish() {
      if (rule_ && !done_ && session_.open_) Cut();  // a cut at or past the end
      Flush();
    }

   private:
    void Flush() {
      if (buffer_.empty() || !session_.open_) return;
      if (!session_.connection_->SendAll(buffer_)) session_.open_ = false;
      buffer_.clear();
    }
    void Cut() {
      Flush();
      switch (rule_->kind) {
        case Rule::kSplit:
          if (rule_->before_rest) {
            rule_->before_rest();
          } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSplitPauseMs));
          }
          break;
        case Rule::kClose:
          // The end of the stream goes out at once, behind the reply: a
          // close alone turns into a reset when the client's next command
          // has already arrived unread, and the client would see that or
          // the orderly close depending on who was faster.
          session_.connection_->ShutdownWrite();
          session_.open_ = false;
          done_ = true;
          break;
        case Rule::kStall: {
          std::string ignored;
          while (session_.ReceiveMore(&ignored)) {
          }
          session_.open_ = false;
          done_ = true;
          break;
        }
        case Rule::kReplace:
          break;
      }
      rule_.reset();
    }

    Session& session_;
    std::optional<Rule> rule_;
    std::string buffer_;
    std::size_t offset_ = 0;
    bool done_ = false;
  };

  // Sends the reply that produce writes, or the scripted one in its place.
  // False when a scripted reply that is not positive replaced it: the
  // command then has no effect.
  template <typename Produce>
  bool Reply(const std::string& command, Produce produce) {
    Rule rule;
    std::optional<Rule> cut;
    if (server_.TakeRule(command, &rule)) {
      if (rule.kind == Rule::kReplace) {
        Writer writer(*this, std::nullopt);
        writer.Put(rule.reply);
        writer.Finish();
        return rule.reply.starts_with("+OK");
      }
      cut = rule;
    }
    Writer writer(*this, cut);
    produce(writer);
    writer.Finish();
    return true;
  }

  // Appends what the client sends next; false once it closed or failed, or
  // the server stops.
  bool ReceiveMore(std::string* pending) {
    char buffer[4096];
    while (!server_.stop_) {
      const auto start = std::chrono::steady_clock::now();
      const int got = connection_->Receive(buffer, sizeof buffer, kPollMs);
      if (got > 0) {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        server_.received_.append(buffer, static_cast<std::size_t>(got));
        pending->append(buffer, static_cast<std::size_t>(got));
        return true;
      }
      if (got == 0) return false;
      // -1 is a time-out only when the wait took its time; else an error.
      if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kPollMs / 2)) {
        return false;
      }
    }
    return false;
  }

  // The message of number text, or -1.
  int Number(const std::string& text) const {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return -1;
    }
    const int n = std::stoi(text);
    if (n < 1 || n > static_cast<int>(messages_.size()) || deleted_[n - 1]) return -1;
    return n;
  }

  // Answers one command line; the result is whether the reply was positive
  // as scripted (unused but by the commands with effects).
  bool Handle(const std::string& line) {
    const std::size_t blank = line.find(' ');
    const std::string verb = UpperCase(line.substr(0, blank));
    const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
    auto simple = [&](const std::string& text) {
      return Reply(line, [&](Writer& w) { w.Put(text); });
    };

    if (sasl_pending_) {
      sasl_pending_ = false;
      const bool accepted = !line.empty() && line == server_.AcceptedLogin();
      authorised_ = simple(accepted ? "+OK logged in\r\n"
                                    : "-ERR [AUTH] Authentication failed.\r\n") &&
                    accepted;
      return authorised_;
    }
    if (verb == "CAPA") {
      const std::string mechanisms = server_.SaslMechanisms();
      return simple("+OK\r\nUSER\r\n" +
                    (mechanisms.empty() ? std::string() : "SASL " + mechanisms + "\r\n") +
                    ".\r\n");
    }
    if (verb == "AUTH" && !authorised_) {
      const std::string offered = " " + UpperCase(server_.SaslMechanisms()) + " ";
      if (argument.empty() || offered.find(" " + UpperCase(argument) + " ") == std::string::npos) {
        return simple("-ERR unsupported mechanism\r\n");
      }
      sasl_pending_ = simple("+ \r\n");
      return sasl_pending_;
    }
    if (verb == "APOP" && !authorised_) {
      const bool accepted = line == server_.AcceptedLogin();
      authorised_ =
          simple(accepted ? "+OK maildrop ready\r\n" : "-ERR authentication failed\r\n") &&
          accepted;
      return authorised_;
    }
    if (verb == "QUIT") {
      const bool positive = simple("+OK bye\r\n");
      if (positive && authorised_) Commit();
      open_ = false;
      return positive;
    }
    if (verb == "USER") {
      user_ok_ = argument == server_.user_;
      return simple("+OK\r\n");
    }
    if (verb == "PASS") {
      authorised_ = user_ok_ && argument == server_.password_;
      authorised_ =
          simple(authorised_ ? "+OK maildrop ready\r\n" : "-ERR invalid password\r\n") &&
          authorised_;
      return authorised_;
    }
    if (verb == "NOOP") return simple("+OK\r\n");
    if (!authorised_) return simple("-ERR not authorised\r\n");

    if (verb == "STAT") {
      std::size_t count = 0, octets = 0;
      for (std::size_t i = 0; i < messages_.size(); ++i) {
        if (deleted_[i]) continue;
        ++count;
        octets += messages_[i]->size();
      }
      return simple("+OK " + std::to_string(count) + " " + std::to_string(octets) + "\r\n");
    }
    if (verb == "UIDL" && argument.empty()) {
      return Reply(line, [&](Writer& w) {
        w.Put("+OK\r\n");
        for (std::size_t i = 0; i < messages_.size(); ++i) {
          if (!deleted_[i]) w.Put(std::to_string(i + 1) + " " + messages_[i]->uid + "\r\n");
        }
        w.Put(".\r\n");
      });
    }
    const int n = Number(argument);
    if (verb == "UIDL") {
      if (n < 0) return simple("-ERR no such message\r\n");
      return simple("+OK " + std::to_string(n) + " " + messages_[n - 1]->uid + "\r\n");
    }
    if (verb == "DELE") {
      if (n < 0) return simple("-ERR no such message\r\n");
      if (!simple("+OK message " + std::to_string(n) + " deleted\r\n")) return false;
      deleted_[n - 1] = true;
      return true;
    }
    if (verb == "RETR") {
      if (n < 0) return simple("-ERR no such message\r\n");
      const Message& m = *messages_[n - 1];
      return Reply(line, [&](Writer& w) {
        w.Put("+OK " + std::to_string(m.size()) + " octets\r\n");
        bool line_start = true;
        auto put_stuffed = [&](const std::string& text) {
          std::size_t from = 0;
          while (from < text.size()) {
            if (line_start && text[from] == '.') w.Put(".");
            std::size_t end = text.find('\n', from);
            end = end == std::string::npos ? text.size() : end + 1;
            w.Put(text.substr(from, end - from));
            line_start = text[end - 1] == '\n';
            from = end;
          }
        };
        put_stuffed(m.content);
        for (std::size_t i = 0; i < m.repeat; ++i) put_stuffed(m.line);
        if (!line_start) w.Put("\r\n");
        w.Put(".\r\n");
      });
    }
    return simple("-ERR unknown command\r\n");
  }

  // QUIT in the transaction state: the marked messages leave the mailbox.
  void Commit() {
    std::unordered_set<const Message*> gone;
    for (std::size_t i = 0; i < messages_.size(); ++i) {
      if (deleted_[i]) gone.insert(messages_[i].get());
    }
    std::lock_guard<std::mutex> lock(server_.mutex_);
    auto& box = server_.mailbox_;
    box.erase(std::remove_if(box.begin(), box.end(),
                             [&gone](const auto& m) { return gone.contains(m.get()); }),
              box.end());
  }

  ScriptedPop3Server& server_;
  std::unique_ptr<platform::testing::ServerConnection> connection_;
  std::vector<std::shared_ptr<const Message>> messages_;
  std::vector<bool> deleted_;
  bool open_ = true;
  bool user_ok_ = false;
  bool sasl_pending_ = false;  // the next line is the SASL response
  bool authorised_ = false;
};

ScriptedPop3Server::ScriptedPop3Server(const std::string& address, std::string user,
                                       std::string password)
    : user_(std::move(user)),
      password_(std::move(password)),
      listener_(platform::testing::Listener::Bind(address, 110)) {
  if (listener_) accept_thread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
  stop_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  for (std::thread& t : session_threads_) t.join();
}

void ScriptedPop3Server::AcceptLoop() {
  while (!stop_) {
    std::unique_ptr<platform::testing::ServerConnection> connection = listener_->Accept(kPollMs);
    if (!connection) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++sessions_;
      ++open_sessions_;
    }
    session_threads_.emplace_back([this, c = std::move(connection)]() mutable {
      Session(*this, std::move(c)).Run();
      std::lock_guard<std::mutex> lock(mutex_);
      --open_sessions_;
      idle_.notify_all();
    });
  }
}

void ScriptedPop3Server::OnCommand(std::function<void(const std::string& line)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  command_hook_ = std::move(hook);
}

void ScriptedPop3Server::RunCommandHook(const std::string& line) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = command_hook_;
  }
  // Outside the lock: the hook may take its time, or look at the server.
  if (hook) hook(line);
}

bool ScriptedPop3Server::TakeRule(const std::string& command, Rule* rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(rules_.begin(), rules_.end(),
                         [&](const Rule& r) { return r.command == command; });
  if (it == rules_.end()) return false;
  *rule = *it;
  rules_.erase(it);
  return true;
}

void ScriptedPop3Server::AddMessage(const std::string& uid, const std::string& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  mailbox_.push_back(std::make_shared<const Message>(Message{uid, content, "", 0}));
}

void ScriptedPop3Server::AddGeneratedMessage(const std::string& uid, const std::string& header,
                                             const std::string& line, std::size_t repeat) {
  std::lock_guard<std::mutex> lock(mutex_);
  mailbox_.push_back(std::make_shared<const Message>(Message{uid, header, line, repeat}));
}

void ScriptedPop3Server::OfferSasl(const std::string& mechanisms) {
  std::lock_guard<std::mutex> lock(mutex_);
  sasl_mechanisms_ = mechanisms;
}

void ScriptedPop3Server::AcceptLogin(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  accepted_login_ = line;
}

std::string ScriptedPop3Server::SaslMechanisms() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sasl_mechanisms_;
}

std::string ScriptedPop3Server::AcceptedLogin() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_login_;
}

void ScriptedPop3Server::ReplaceReply(const std::string& command, const std::string& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{command, Rule::kReplace, 0, reply, {}});
}

void ScriptedPop3Server::SplitReply(const std::string& command, std::size_t at) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{command, Rule::kSplit, at, "", {}});
}

void ScriptedPop3Server::SplitReply(const std::string& command, std::size_t at,
                                    std::function<void()> before_rest) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{command, Rule::kSplit, at, "", std::move(before_rest)});
}

void ScriptedPop3Server::CloseInReply(const std::string& command, std::size_t at) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{command, Rule::kClose, at, "", {}});
}

void ScriptedPop3Server::StallInReply(const std::string& command, std::size_t at) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{command, Rule::kStall, at, "", {}});
}

std::string ScriptedPop3Server::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptedPop3Server::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> ScriptedPop3Server::Uids() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> uids;
  for (const auto& m : mailbox_) uids.push_back(m->uid);
  return uids;
}

int ScriptedPop3Server::Sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

bool ScriptedPop3Server::WaitUntilIdle(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [this] { return open_sessions_ == 0; });
}

}  // namespace testing_support
