// dialog_driver.exe: a test tool, not part of the programs. It works another
// program's dialogs through their controls, as a user would with the mouse,
// for the tests that run the Windows programs under Wine:
//
//   dialog_driver TITLE STEP...
//
// Each step acts on the top-level windows titled TITLE:
//   wait:ID     waits for such a window with a control ID; it becomes the
//               current window. Another such window (a message box) that
//               shows up first is a failure.
//   text:ID     prints "text ID: " and the text of the control ID
//   checked     prints "checked:" and the ids of the current window's
//               checked buttons
//   click:ID    clicks the button ID of the current window (BM_CLICK) and
//               waits until it has been handled
//   press:ID    clicks it without waiting (a button whose handling opens a
//               modal window or ends the dialog)
//   box         waits for another such window (a message box), prints
//               "box: " and its text, and presses its OK
//   gone        waits until no such window is left
//
// Each wait is bounded (90 s). On a failure it prints "failed: " with the
// step and the texts of the windows titled TITLE, and exits with 1.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(90);
constexpr int kNoId = 0xFFFF;  // the id of a label, as of a message box's text

std::string WindowText(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::vector<HWND> WindowsTitled(const std::string& title) {
  struct Search {
    const std::string* title;
    std::vector<HWND> found;
  } search{&title, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        if (IsWindowVisible(window) && WindowText(window) == *s->title) s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<HWND> Children(HWND window) {
  std::vector<HWND> children;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM param) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

// The text of a message box: its label without an id.
std::string BoxText(HWND box) {
  for (HWND child : Children(box)) {
    const std::string text = WindowText(child);
    if (GetDlgCtrlID(child) == kNoId && !text.empty()) return text;
  }
  return std::string();
}

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& title, const std::string& step) {
  std::string windows;
  for (HWND window : WindowsTitled(title)) windows += " [" + BoxText(window) + "]";
  Say("failed: " + step + ", windows:" + windows);
  std::exit(1);
}

// Polls until found() gives a window (or, for gone, until it gives none).
template <typename Found>
HWND WaitFor(Found found) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (HWND window = found()) return window;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return nullptr;
}

int IdOf(const std::string& step) { return std::atoi(step.c_str() + step.find(':') + 1); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    Say("usage: dialog_driver TITLE STEP...");
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
  const std::string title = argv[1];
  std::set<HWND> known;  // the windows found by wait steps
  HWND current = nullptr;
  for (int i = 2; i < argc; ++i) {
    const std::string step = argv[i];
    if (step.starts_with("wait:")) {
      const int id = IdOf(step);
      bool other = false;
      current = WaitFor([&]() -> HWND {
        for (HWND window : WindowsTitled(title)) {
          if (GetDlgItem(window, id) != nullptr) return window;
          other = other || !known.contains(window);
        }
        return other ? GetDesktopWindow() : nullptr;
      });
      if (current == nullptr || other) Fail(title, step);
      known.insert(current);
    } else if (step.starts_with("text:")) {
      HWND control = current ? GetDlgItem(current, IdOf(step)) : nullptr;
      if (control == nullptr) Fail(title, step);
      Say("text " + std::to_string(IdOf(step)) + ": " + WindowText(control));
    } else if (step == "checked") {
      if (current == nullptr) Fail(title, step);
      std::string line = "checked:";
      for (HWND child : Children(current)) {
        if (SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED) {
          line += " " + std::to_string(GetDlgCtrlID(child));
        }
      }
      Say(line);
    } else if (step.starts_with("click:") || step.starts_with("press:")) {
      HWND button = current ? GetDlgItem(current, IdOf(step)) : nullptr;
      if (button == nullptr) Fail(title, step);
      if (step.starts_with("click:")) {
        SendMessageA(button, BM_CLICK, 0, 0);
      } else {
        PostMessageA(button, BM_CLICK, 0, 0);
      }
    } else if (step == "box") {
      HWND box = WaitFor([&]() -> HWND {
        for (HWND window : WindowsTitled(title)) {
          if (!known.contains(window)) return window;
        }
        return nullptr;
      });
      if (box == nullptr) Fail(title, step);
      Say("box: " + BoxText(box));
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    } else if (step == "gone") {
      const bool gone = WaitFor([&]() -> HWND {
        return WindowsTitled(title).empty() ? GetDesktopWindow() : nullptr;
      }) != nullptr;
      if (!gone) Fail(title, step);
    } else {
      Say("unknown step " + step);
      return 2;
    }
  }
  return 0;
}
