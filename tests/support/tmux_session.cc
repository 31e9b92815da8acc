#include "tests/support/tmux_session.h"

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"

namespace testing_support {

namespace {

constexpr int kCommandTimeoutMs = 10000;
constexpr auto kScreenWait = std::chrono::seconds(10);

}  // namespace

TmuxSession::TmuxSession(std::filesystem::path dir) : dir_(std::move(dir)) {
  std::random_device random;
  socket_ = "tallowmere-" + std::to_string(random()) + std::to_string(random());
}

TmuxSession::~TmuxSession() { Tmux({"kill-server"}); }

bool TmuxSession::Tmux(std::vector<std::string> args) {
  args.insert(args.begin(), {"tmux", "-f", "/dev/null", "-L", socket_});
  const platform::testing::ProcessResult r = platform::testing::RunProcess(args, {}, kCommandTimeoutMs);
  return r.exited && r.exit_code == 0;
}

bool TmuxSession::Start(const std::string& command, int width, int height) {
  height_ = height;
  return Tmux({"new-session", "-d", "-s", "main", "-x", std::to_string(width), "-y",
               std::to_string(height), command});
}

bool TmuxSession::Keys(const std::vector<std::string>& keys) {
  std::vector<std::string> args = {"send-keys", "-t", "main"};
  args.insert(args.end(), keys.begin(), keys.end());
  return Tmux(args);
}

bool TmuxSession::Type(const std::string& text) { return Keys({"-l", text}); }

std::vector<std::string> TmuxSession::Screen() {
  const std::filesystem::path dump = dir_ / "screen.txt";
  std::vector<std::string> lines;
  if (Tmux({"capture-pane", "-t", "main", ";", "save-buffer", dump.string()})) {
    std::istringstream in(ReadFileBytes(dump));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  lines.resize(static_cast<std::size_t>(height_));
  return lines;
}

bool TmuxSession::Shows(const std::vector<std::string>& screen, const std::string& text) {
  for (const std::string& line : screen) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

bool TmuxSession::WaitFor(const std::string& text, std::vector<std::string>* last) {
  const auto deadline = std::chrono::steady_clock::now() + kScreenWait;
  std::vector<std::string> screen;
  bool shown = false;
  do {
    screen = Screen();
    shown = Shows(screen, text);
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (!shown && std::chrono::steady_clock::now() < deadline);
  if (last != nullptr) *last = screen;
  return shown;
}

}  // namespace testing_support
