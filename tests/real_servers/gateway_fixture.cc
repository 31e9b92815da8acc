#include "tests/real_servers/gateway_fixture.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/env.h"

namespace real_servers_test {

namespace {

constexpr int kRunLimitMs = 60000;
constexpr int kQueueLimitMs = 30000;

}  // namespace

bool SendDirectly(const std::string& address, const std::vector<std::string>& commands) {
  platform::Env* env = platform::Env::Default();
  env->SocketStartup();
  const platform::Socket socket = env->CreateStreamSocket();
  bool ok = socket != platform::kInvalidSocket && env->SetSilenceLimit(socket, 10000) == 0 &&
            env->Connect(socket, env->DottedToAddress(address), 25) == 0;
  char reply[512];
  ok = ok && env->Receive(socket, reply, sizeof reply) > 0;  // the greeting
  for (const std::string& command : commands) {
    if (!ok) break;
    const int length = static_cast<int>(command.size());
    ok = env->Send(socket, command.data(), length) == length &&
         env->Receive(socket, reply, sizeof reply) > 0 && (reply[0] == '2' || reply[0] == '3');
  }
  if (socket != platform::kInvalidSocket) env->CloseSocket(socket);
  env->SocketCleanup();
  return ok;
}

bool WaitForEmptyQueue(const testing_support::PostfixServer& server) {
  namespace fs = std::filesystem;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueueLimitMs);
  for (;;) {
    bool empty = true;
    for (const char* queue : {"maildrop", "incoming", "active", "deferred", "hold"}) {
      const fs::path dir = server.directory() / "queue" / queue;
      if (!fs::exists(dir)) continue;
      for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) empty = false;
      }
    }
    if (empty) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void GatewayFixture::SetUp() {
  const std::string why = testing_support::RealServersUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  address_ = platform::testing::FreshLoopbackAddress({110, 25});
}

void GatewayFixture::StartServers(const std::string& pop_password,
                                  const std::map<std::string, std::string>& postfix_settings) {
  dovecot_ = std::make_unique<testing_support::DovecotProvider>(address_, "site", pop_password);
  postfix_ = std::make_unique<testing_support::PostfixServer>(address_, "example.com", kMailboxes,
                                                              postfix_settings);
  ASSERT_TRUE(dovecot_->Start()) << dovecot_->Log();
  ASSERT_TRUE(postfix_->Start()) << postfix_->Log();
}

void GatewayFixture::Configure(const std::string& loglevel, const std::string& maillist) {
  root_.MakeSpool();
  root_.WriteDefaultSettings(address_, address_, loglevel);
  std::filesystem::create_directories(root_.path() / "install");
  testing_support::WriteFileBytes(root_.path() / "install" / "maillist.txt", maillist);
}

platform::testing::ProcessResult GatewayFixture::RunGateway() const {
  std::vector<std::string> environment = testing_support::FastClockEnvironment();
  environment.push_back(root_.EnvironmentEntry());
  const platform::testing::ProcessResult result = platform::testing::RunProcess(
      {std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, environment, kRunLimitMs);
  EXPECT_TRUE(result.exited) << "signal " << result.signal
                             << (result.timed_out ? " (timed out)" : "");
  return result;
}

std::vector<std::string> GatewayFixture::Spool(const std::string& dir) const {
  return testing_support::DirectoryNames(root_.spool() / dir);
}

std::vector<std::string> GatewayFixture::EventsOf(const std::string& tag) const {
  std::vector<std::string> messages;
  for (const std::string& message : root_.EventMessages()) {
    if (message.starts_with(tag)) messages.push_back(message);
  }
  return messages;
}

}  // namespace real_servers_test
