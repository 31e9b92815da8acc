#include "tests/support/scripted_smtp_server.h"

#include <stdexcept>

namespace testing_support {

namespace {

constexpr std::uint16_t kSmtpPort = 25;
constexpr int kPollMs = 20;
// A connection that stays silent this long is given up: no thread of the
// server outlives a test that forgot to close.
constexpr auto kIdleLimit = std::chrono::seconds(30);

std::string Verb(const std::string& line) {
  std::string verb = line.substr(0, line.find(' '));
  for (char& c : verb) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return verb;
}

}  // namespace

SmtpScript::SmtpScript()
    : greeting_(SmtpAction::Reply("220 exchange.example.com ESMTP ready\r\n")),
      unknown_(SmtpAction::Reply("500 Command unrecognized\r\n")) {
  by_verb_["HELO"] = SmtpAction::Reply("250 exchange.example.com Hello\r\n");
  by_verb_["MAIL"] = SmtpAction::Reply("250 2.1.0 Sender OK\r\n");
  by_verb_["RCPT"] = SmtpAction::Reply("250 2.1.5 Recipient OK\r\n");
  by_verb_["DATA"] = SmtpAction::Reply("354 Start mail input; end with <CRLF>.<CRLF>\r\n");
  by_verb_["."] = SmtpAction::Reply("250 2.6.0 Queued mail for delivery\r\n");
  by_verb_["NOOP"] = SmtpAction::Reply("250 2.0.0 OK\r\n");
  by_verb_["RSET"] = SmtpAction::Reply("250 2.0.0 Reset state\r\n");
  by_verb_["QUIT"] = SmtpAction::Reply("221 2.0.0 Closing connection\r\n");
}

SmtpScript& SmtpScript::Greeting(SmtpAction action) {
  greeting_ = std::move(action);
  return *this;
}

SmtpScript& SmtpScript::On(const std::string& verb, SmtpAction action) {
  by_verb_[verb] = std::move(action);
  return *this;
}

SmtpScript& SmtpScript::On(const std::string& verb, int index, SmtpAction action) {
  by_index_[{verb, index}] = std::move(action);
  return *this;
}

SmtpScript& SmtpScript::OnLine(const std::string& line, SmtpAction action) {
  by_line_[line] = std::move(action);
  return *this;
}

SmtpScript& SmtpScript::DiscardTranscripts() {
  keep_transcripts_ = false;
  return *this;
}

const SmtpAction& SmtpScript::For(const std::string& line, const std::string& verb,
                                  int index) const {
  if (auto it = by_line_.find(line); it != by_line_.end()) return it->second;
  if (auto it = by_index_.find({verb, index}); it != by_index_.end()) return it->second;
  if (auto it = by_verb_.find(verb); it != by_verb_.end()) return it->second;
  return unknown_;
}

ScriptedSmtpServer::ScriptedSmtpServer(std::string address, SmtpScript script)
    : address_(std::move(address)),
      script_(std::move(script)),
      listener_(platform::testing::Listener::Bind(address_, kSmtpPort, 256)) {
  if (!listener_) throw std::runtime_error("cannot listen on " + address_ + ":25");
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  stopping_ = true;
  acceptor_.join();
  for (auto& worker : workers_) worker.first.join();
}

std::uint32_t ScriptedSmtpServer::NetworkAddress() const {
  return platform::env().DottedToAddress(address_);
}

void ScriptedSmtpServer::AcceptLoop() {
  while (!stopping_) {
    std::unique_ptr<platform::testing::ServerConnection> connection = listener_->Accept(kPollMs);
    // Threads of ended connections are joined as new ones come, so that a
    // long benchmark keeps few of them.
    std::erase_if(workers_, [](auto& worker) {
      if (!*worker.second) return false;
      worker.first.join();
      return true;
    });
    if (!connection) continue;
    int index;
    {
      std::lock_guard lock(mutex_);
      index = static_cast<int>(records_.size());
      records_.emplace_back();
    }
    changed_.notify_all();
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.emplace_back(
        std::thread([this, done, index, c = std::move(connection)]() mutable {
          Serve(std::move(c), index);
          *done = true;
        }),
        done);
  }
}

void ScriptedSmtpServer::Serve(std::unique_ptr<platform::testing::ServerConnection> connection,
                               int index) {
  std::map<std::string, int> counts;
  bool in_data = false;
  bool stalled = false;
  std::string pending;
  // Carries out an action; false when the conversation is over.
  const auto perform = [&](const SmtpAction& action, const std::string& verb) {
    switch (action.kind) {
      case SmtpAction::Kind::kReply:
        // Counted before the client can read the reply and look.
        if (verb == "." && action.text.starts_with("250")) CountAccepted();
        connection->SendAll(action.text);
        if (verb == "DATA" && action.text.starts_with("354")) in_data = true;
        return verb != "QUIT";
      case SmtpAction::Kind::kClose:
        // The end of the stream goes out at once: a close alone turns into
        // a reset when more of the client's bytes wait unread.
        connection->ShutdownWrite();
        return false;
      case SmtpAction::Kind::kReset:
        connection->Abort();
        return false;
      case SmtpAction::Kind::kStall:
        stalled = true;
        return true;
    }
    return false;
  };

  bool open = perform(script_.greeting(), "");
  auto last_heard = std::chrono::steady_clock::now();
  char buffer[8192];
  while (open && !stopping_) {
    const auto before = std::chrono::steady_clock::now();
    const int got = connection->Receive(buffer, sizeof buffer, kPollMs);
    const auto now = std::chrono::steady_clock::now();
    if (got == 0) break;
    if (got < 0) {
      // A time-out of the poll, or (when it came early) an error.
      if (now - before < std::chrono::milliseconds(kPollMs) || now - last_heard > kIdleLimit) break;
      continue;
    }
    last_heard = now;
    Append(index, buffer, got);
    if (stalled) continue;
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end = pending.find('\n'); open && !stalled && end != std::string::npos;
         end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.ends_with('\r')) line.pop_back();
      if (in_data) {
        if (line != ".") continue;
        in_data = false;
        RunCommandHook(line);
        open = perform(script_.For(line, ".", counts["."]++), ".");
        continue;
      }
      if (line.empty()) continue;
      const std::string verb = Verb(line);
      RunCommandHook(line);
      open = perform(script_.For(line, verb, counts[verb]++), verb);
    }
  }
  connection->Close();
  End(index);
}

void ScriptedSmtpServer::Append(int index, const char* bytes, int count) {
  if (!script_.keeps_transcripts()) return;
  std::lock_guard lock(mutex_);
  records_[static_cast<std::size_t>(index)].bytes.append(bytes, static_cast<std::size_t>(count));
}

void ScriptedSmtpServer::End(int index) {
  {
    std::lock_guard lock(mutex_);
    records_[static_cast<std::size_t>(index)].ended = true;
  }
  changed_.notify_all();
}

void ScriptedSmtpServer::CountAccepted() {
  {
    std::lock_guard lock(mutex_);
    ++accepted_messages_;
    last_accepted_at_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
}

void ScriptedSmtpServer::OnCommand(std::function<void(const std::string& line)> hook) {
  std::lock_guard lock(mutex_);
  command_hook_ = std::move(hook);
}

void ScriptedSmtpServer::RunCommandHook(const std::string& line) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = command_hook_;
  }
  // Outside the lock: the hook may take its time, or look at the server.
  if (hook) hook(line);
}

int ScriptedSmtpServer::ConnectionCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(records_.size());
}

std::string ScriptedSmtpServer::Transcript(int index, int timeout_ms) const {
  std::unique_lock lock(mutex_);
  const auto i = static_cast<std::size_t>(index);
  const bool ended = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return i < records_.size() && records_[i].ended;
  });
  if (!ended) {
    throw std::runtime_error("connection " + std::to_string(index) + " did not come and end in " +
                             std::to_string(timeout_ms) + " ms");
  }
  return records_[i].bytes;
}

std::vector<std::string> ScriptedSmtpServer::Transcripts(int timeout_ms) const {
  std::vector<std::string> transcripts;
  for (int i = 0, n = ConnectionCount(); i < n; ++i) transcripts.push_back(Transcript(i, timeout_ms));
  return transcripts;
}

int ScriptedSmtpServer::AcceptedMessages() const {
  std::lock_guard lock(mutex_);
  return accepted_messages_;
}

std::chrono::steady_clock::time_point ScriptedSmtpServer::LastAcceptedAt() const {
  std::lock_guard lock(mutex_);
  return last_accepted_at_;
}

bool ScriptedSmtpServer::WaitForAcceptedMessages(int count, int timeout_ms) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return accepted_messages_ >= count; });
}

SmtpClientEnv::SmtpClientEnv() : EnvWrapper(&platform::env()) {
  previous_ = platform::SetEnv(this);
}

SmtpClientEnv::~SmtpClientEnv() { platform::SetEnv(previous_); }

void SmtpClientEnv::Fail(Call call, int index, int result, std::uint32_t error) {
  std::lock_guard lock(mutex_);
  faults_[{call, index}] = Fault{result, error};
}

bool SmtpClientEnv::Faulted(Call call, int* result) {
  std::uint32_t error;
  {
    std::lock_guard lock(mutex_);
    const int index = calls_[call]++;
    auto it = faults_.find({call, index});
    if (it == faults_.end()) return false;
    *result = it->second.result;
    error = it->second.error;
  }
  SetLastErrorCode(error);
  return true;
}

std::vector<ReportedEvent> SmtpClientEnv::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> SmtpClientEnv::messages() const {
  std::vector<std::string> messages;
  for (const ReportedEvent& event : events()) messages.push_back(event.message);
  return messages;
}

std::vector<std::uint32_t> SmtpClientEnv::sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

std::vector<std::uint32_t> SmtpClientEnv::requested_silence_limits() const {
  std::lock_guard lock(mutex_);
  return requested_limits_;
}

std::vector<std::pair<std::uint64_t, std::string>> SmtpClientEnv::sends() const {
  std::lock_guard lock(mutex_);
  return sends_;
}

int SmtpClientEnv::calls(Call call) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

platform::EventSource SmtpClientEnv::RegisterSource(const std::string&) { return 1; }

bool SmtpClientEnv::Report(platform::EventSource, std::uint16_t type, std::uint16_t,
                           std::uint32_t, const std::vector<std::string>& strings) {
  std::lock_guard lock(mutex_);
  events_.push_back({type, strings.size() > 0 ? strings[0] : "", strings.size() > 1 ? strings[1] : ""});
  return true;
}

void SmtpClientEnv::DeregisterSource(platform::EventSource) {}

bool SmtpClientEnv::WaitForEvent(platform::Event event, std::uint32_t ms) {
  if (real_waits_) return target()->WaitForEvent(event, ms);
  SleepMs(ms);
  return target()->WaitForEvent(event, 0);
}

void SmtpClientEnv::SleepMs(std::uint32_t ms) {
  std::uint64_t total;
  {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(ms);
    total = slept_ms_ += ms;
  }
  if (on_sleep_) on_sleep_(total);
}

int SmtpClientEnv::SetSilenceLimit(platform::Socket socket, std::uint32_t ms) {
  {
    std::lock_guard lock(mutex_);
    requested_limits_.push_back(ms);
  }
  return EnvWrapper::SetSilenceLimit(socket, silence_limit_ms_);
}

platform::Socket SmtpClientEnv::CreateStreamSocket() {
  int result;
  if (Faulted(Call::kCreateSocket, &result)) return result;
  return EnvWrapper::CreateStreamSocket();
}

int SmtpClientEnv::SetBufferSize(platform::Socket socket, platform::SocketBuffer which, int bytes) {
  int result;
  const Call call =
      which == platform::SocketBuffer::kReceive ? Call::kReceiveBuffer : Call::kSendBuffer;
  if (Faulted(call, &result)) return result;
  return EnvWrapper::SetBufferSize(socket, which, bytes);
}

int SmtpClientEnv::Connect(platform::Socket socket, std::uint32_t address, std::uint16_t port) {
  int result;
  if (Faulted(Call::kConnect, &result)) return result;
  return EnvWrapper::Connect(socket, address, port);
}

int SmtpClientEnv::Send(platform::Socket socket, const char* data, int length) {
  {
    std::lock_guard lock(mutex_);
    sends_.emplace_back(slept_ms_, std::string(data, static_cast<std::size_t>(length)));
  }
  int result;
  if (Faulted(Call::kSend, &result)) return result;
  return EnvWrapper::Send(socket, data, length);
}

int SmtpClientEnv::Receive(platform::Socket socket, char* buffer, int length) {
  int result;
  if (Faulted(Call::kReceive, &result)) return result;
  if (receive_limit_ > 0 && length > receive_limit_) length = receive_limit_;
  return EnvWrapper::Receive(socket, buffer, length);
}

}  // namespace testing_support
