// A terminal program driven through a detached tmux session of a tmux
// server of its own: keys go in with send-keys, the screen comes back with
// capture-pane. Every wait is bounded.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

class TmuxSession {
 public:
  // dir: a directory of the caller's, for the screen dumps.
  explicit TmuxSession(std::filesystem::path dir);
  ~TmuxSession();  // kills the tmux server
  TmuxSession(const TmuxSession&) = delete;
  TmuxSession& operator=(const TmuxSession&) = delete;

  // Runs the shell command in a width x height window; false when tmux fails.
  bool Start(const std::string& command, int width = 80, int height = 24);
  bool Keys(const std::vector<std::string>& keys);  // tmux key names
  bool Type(const std::string& text);               // literally
  std::vector<std::string> Screen();                // height lines
  static bool Shows(const std::vector<std::string>& screen, const std::string& text);
  // True once the screen shows text; false after 10 seconds, with the last
  // screen in *last when given.
  bool WaitFor(const std::string& text, std::vector<std::string>* last = nullptr);

 private:
  bool Tmux(std::vector<std::string> args);

  std::filesystem::path dir_;
  std::string socket_;
  int height_ = 24;
};

}  // namespace testing_support
