// The terminal front end end to end: setwick runs in a detached tmux session
// of 80 x 24 against a machine root of its own; keys go in with send-keys and
// the screen comes back with capture-pane.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include "config/resources.h"
#include "platform/test_support.h"

namespace setwick_test {
namespace {

namespace fs = std::filesystem;
using platform::testing::RunProcess;

constexpr int kCommandTimeoutMs = 10000;
constexpr auto kScreenWait = std::chrono::seconds(10);

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Unique() {
  std::random_device random;
  return std::to_string(random()) + std::to_string(random());
}

// A machine root with the settings key and the connector key, and a tmux
// server of this test's own.
class TerminalTest : public ::testing::Test {
 protected:
  TerminalTest()
      : root_(fs::temp_directory_path() / ("setwick-e2e-" + Unique())),
        socket_("setwick-e2e-" + Unique()) {
    fs::create_directories(root_ / "exchange");  // the connector's root
    std::ofstream registry(root_ / "registry.reg", std::ios::binary);
    registry << "REGEDIT4\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\Tallowmere\\1.0]\r\n"
                "\"installdir\"=\"/opt/tallowmere\"\r\n"
                "\"loglevel\"=\"-1\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters]\r\n"
                "\"RootDir\"=\""
             << (root_ / "exchange").string() << "\"\r\n";
  }

  ~TerminalTest() override {
    Tmux({"kill-server"});
    fs::remove_all(root_);
  }

  bool Tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-f", "/dev/null", "-L", socket_});
    const platform::testing::ProcessResult r =
        RunProcess(args, {"TALLOWMERE_ROOT=" + root_.string()}, kCommandTimeoutMs);
    return r.exited && r.exit_code == 0;
  }

  void Start(int width = 80, int height = 24) {
    // The usual umask of a login, which the program must not rely on.
    const std::string command = std::string("umask 022 && cd ") + root_.string() + " && " +
                                TALLOWMERE_BIN_DIR + "/setwick; echo SETWICK-EXIT=$?; sleep 60";
    ASSERT_TRUE(Tmux({"new-session", "-d", "-s", "e2e", "-x", std::to_string(width), "-y",
                      std::to_string(height), command}));
  }

  void Keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"send-keys", "-t", "e2e"};
    args.insert(args.end(), keys.begin(), keys.end());
    ASSERT_TRUE(Tmux(args));
  }

  // Types text literally.
  void Type(const std::string& text) { Keys({"-l", text}); }

  std::vector<std::string> Screen() {
    const fs::path dump = root_ / "screen.txt";
    EXPECT_TRUE(Tmux({"capture-pane", "-t", "e2e", ";", "save-buffer", dump.string()}));
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dump));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    lines.resize(24);
    return lines;
  }

  static bool Shows(const std::vector<std::string>& screen, const std::string& text) {
    for (const std::string& line : screen) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // The screen once it shows text (and lacks gone, if given); fails after a
  // bounded wait.
  std::vector<std::string> WaitFor(const std::string& text, const std::string& gone = "") {
    const auto deadline = std::chrono::steady_clock::now() + kScreenWait;
    std::vector<std::string> screen;
    do {
      screen = Screen();
      if (Shows(screen, text) && (gone.empty() || !Shows(screen, gone))) return screen;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    std::string all;
    for (const std::string& line : screen) all += line + "\n";
    ADD_FAILURE() << "screen never showed \"" << text << "\":\n" << all;
    return screen;
  }

  std::string Registry() { return ReadFile(root_ / "registry.reg"); }

  fs::path root_;
  std::string socket_;
};

// The text at a dialog cell of the 78 x 24 settings dialog centred in 80 x 24:
// the frame takes column 1 and row 0, so cell (x, y) is at column 2 + x, row
// 1 + y.
std::string At(const std::vector<std::string>& screen, int x_units, int y_units, std::size_t n) {
  const int column = 2 + (x_units * 4 + 7) / 14;
  const int row = 1 + (y_units + 4) / 8;
  const std::string& line = screen.at(row);
  return line.size() > static_cast<std::size_t>(column) ? line.substr(column, n) : std::string();
}

TEST_F(TerminalTest, EveryControlStandsAtItsPlace) {
  Start();
  const std::vector<std::string> screen = WaitFor("Product Information");
  EXPECT_NE(screen[0].find(" Setwick "), std::string::npos) << screen[0];
  for (const platform::ControlTemplate& c : setwick::SettingsTemplate().controls) {
    const int x = c.rect.x, y = c.rect.y;
    const std::string first_word = c.text.substr(0, c.text.find(' '));
    switch (c.kind) {
      case platform::ControlKind::kLabel:
        if (c.id == setwick::kSetwickVersionLabel) {
          EXPECT_EQ(At(screen, x, y, 7), "1.2.7.0");
        } else if (c.id == setwick::kQuillonVersionLabel) {
          EXPECT_EQ(At(screen, x, y, 6), "1.5.0 ");
        } else {
          EXPECT_EQ(At(screen, x, y, first_word.size()), first_word) << c.text;
        }
        break;
      case platform::ControlKind::kEdit:
        EXPECT_EQ(At(screen, x, y, 1), "[") << c.id;
        break;
      case platform::ControlKind::kGroupBox:
        EXPECT_EQ(At(screen, x, y, c.text.size() + 1), "+" + c.text);
        break;
      case platform::ControlKind::kAutoRadioButton:
        EXPECT_EQ(At(screen, x, y, c.text.size() + 4), "( ) " + c.text);
        break;
      case platform::ControlKind::kDefaultPushButton:
      case platform::ControlKind::kPushButton:
        EXPECT_NE(At(screen, x, y, 14).find(c.text), std::string::npos) << c.text;
        break;
      case platform::ControlKind::kIcon:
        ADD_FAILURE() << "the settings dialog has no icon control";
        break;
    }
  }
  // The two-line label wraps at a word within the room up to the group box.
  EXPECT_EQ(At(screen, 7, 10, 35), "Your domain name to which internet ");
  EXPECT_EQ(At(screen, 7, 18, 23), "mail will be addressed:");
  Keys({"Escape"});
  WaitFor("SETWICK-EXIT=0");
}

TEST_F(TerminalTest, TypingTabOrderAndSaving) {
  Start();
  WaitFor("Product Information");
  // Focus starts on "OK"; Shift-Tab wraps round to the last radio button.
  Keys({"BTab", "Space"});
  WaitFor("(*) 3 - Full");
  // OK, Cancel, then the five edits.
  const std::string domain = "a-very-long-mail-domain-name.example.com";
  Keys({"Tab", "Tab", "Tab"});
  Type(domain);
  Keys({"Tab"});
  Type("127.0.0.3");
  Keys({"Tab"});
  Type("pop.example.net");
  Keys({"Tab"});
  Type("joe");
  Keys({"Tab"});
  Type("pass word  ");
  // The edit scrolled to keep its cursor in view.
  std::vector<std::string> screen = WaitFor("pass word");
  EXPECT_EQ(At(screen, 7, 28, 34), "[" + domain.substr(8) + " ");
  // The next stop is "1 - Log": "0 - None" is disabled and skipped.
  Keys({"Tab", "Space"});
  WaitFor("(*) 1 - Log", "(*) 3 - Full");
  // Arrows wrap round the group and skip "0 - None" too.
  Keys({"Down", "Down", "Down"});
  screen = WaitFor("(*) 1 - Log", "(*) 3 - Full");
  EXPECT_TRUE(Shows(screen, "( ) 0 - None"));
  Keys({"Down"});
  WaitFor("(*) 2 - Log/Archive");
  // Enter on a radio button presses the default button.
  Keys({"Enter"});
  WaitFor("Tallowmere Configured");
  Keys({"Enter"});
  WaitFor("SETWICK-EXIT=0");

  const std::string registry = Registry();
  for (const std::string& line :
       {"\"localdomain\"=\"" + domain + "\"", std::string("\"localserver\"=\"127.0.0.3\""),
        std::string("\"popserver\"=\"pop.example.net\""), std::string("\"popname\"=\"joe\""),
        std::string("\"poppass\"=\"pass word\""), std::string("\"loglevel\"=\"2\""),
        std::string("\"installdir\"=\"/opt/tallowmere\""),
        "\"exchangedir\"=\"" + (root_ / "exchange").string() + "\"",
        std::string("\"TypesSupported\"=dword:00000007"),
        std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                    "Application\\Tallowmere]")}) {
    EXPECT_NE(registry.find(line), std::string::npos) << line << " in\n" << registry;
  }
  for (const char* dir : {"quillon", "quillon/in", "quillon/out", "quillon/Archive"}) {
    EXPECT_TRUE(fs::is_directory(root_ / "exchange" / dir)) << dir;
  }
}

TEST_F(TerminalTest, AboutBoxFromTheSystemMenu) {
  Start();
  WaitFor("Product Information");
  Keys({"M-Space"});
  WaitFor("About Setwick...");
  Keys({"Escape"});
  WaitFor("Product Information", "About Setwick...");
  Keys({"F10"});
  WaitFor("About Setwick...");
  Keys({"a"});
  const std::vector<std::string> screen = WaitFor("Setwick Version 1.2.7.0");
  EXPECT_TRUE(Shows(screen, "Physical Memory:"));
  EXPECT_TRUE(Shows(screen, " KB Free on C:"));
  Keys({"Enter"});
  WaitFor("Product Information", "Setwick Version");
  Keys({"Escape"});
  WaitFor("SETWICK-EXIT=0");
  EXPECT_EQ(Registry().find("localdomain"), std::string::npos);  // cancelled: nothing saved
}

// What the administrator saves is what the gateway's next run uses: its
// login reaches the saved POP3 host with the saved account, byte for byte.
TEST_F(TerminalTest, GatewayRunsWithWhatWasSaved) {
  const std::string pop = platform::testing::FreshLoopbackAddress({110});
  std::unique_ptr<platform::testing::Listener> provider =
      platform::testing::Listener::Bind(pop, 110);
  ASSERT_NE(provider, nullptr);
  Start();
  WaitFor("Product Information");
  Keys({"Tab", "Tab"});
  Type("example.com");
  Keys({"Tab"});
  Type(platform::testing::FreshLoopbackAddress({25}));
  Keys({"Tab"});
  Type(pop);
  Keys({"Tab"});
  Type(" site user");
  Keys({"Tab"});
  Type("pass word ");
  Keys({"Enter"});
  WaitFor("Tallowmere Configured");
  Keys({"Enter"});
  WaitFor("SETWICK-EXIT=0");

  std::unique_ptr<platform::testing::ChildProcess> run = platform::testing::ChildProcess::Start(
      {std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, {"TALLOWMERE_ROOT=" + root_.string()});
  ASSERT_NE(run, nullptr);
  std::unique_ptr<platform::testing::ServerConnection> session = provider->Accept(20000);
  ASSERT_NE(session, nullptr) << "the gateway never reached the saved POP3 host";
  char buffer[512];
  auto Exchange = [&](const std::string& reply) {
    EXPECT_TRUE(session->SendAll(reply));
    int got = session->Receive(buffer, sizeof buffer, 10000);
    return std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
  };
  EXPECT_EQ(Exchange("+OK ready\r\n"), "USER  site user\r\n");
  EXPECT_EQ(Exchange("+OK\r\n"), "PASS pass word\r\n");
  EXPECT_TRUE(session->SendAll("-ERR no\r\n"));
  const platform::testing::ProcessResult result = run->Wait(30000);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, 255);  // the refused login fails the download
}

// True when the unprivileged user nobody can list the directory (the tests
// run as root).
bool NobodyCanList(const fs::path& dir) {
  const platform::testing::ProcessResult r =
      RunProcess({"runuser", "-u", "nobody", "--", "ls", dir.string()}, {}, kCommandTimeoutMs);
  return r.exited && r.exit_code == 0;
}

// The set-up makes the spool directories the owner's alone, although the
// program starts with the umask 022 and the connector's root is open to all.
TEST_F(TerminalTest, SpoolDirectoriesAreTheOwnersAlone) {
  const fs::perms open_directory = fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec;
  fs::permissions(root_, open_directory);
  fs::permissions(root_ / "exchange", open_directory);
  ASSERT_TRUE(NobodyCanList(root_ / "exchange"));  // the check itself
  Start();
  WaitFor("Product Information");
  Keys({"Escape"});
  WaitFor("SETWICK-EXIT=0");
  for (const char* dir : {"quillon", "quillon/in", "quillon/out", "quillon/Archive"}) {
    const fs::path path = root_ / "exchange" / dir;
    ASSERT_TRUE(fs::is_directory(path)) << path;
    EXPECT_EQ(static_cast<int>(fs::status(path).permissions()), 0700) << path;
  }
  EXPECT_FALSE(NobodyCanList(root_ / "exchange" / "quillon"));
}

TEST_F(TerminalTest, TooSmallTerminalGetsANotice) {
  Start(60, 20);
  WaitFor("too small");
  ASSERT_TRUE(Tmux({"resize-window", "-t", "e2e", "-x", "80", "-y", "24"}));
  WaitFor("Product Information", "too small");
  Keys({"Escape"});
  WaitFor("SETWICK-EXIT=0");
}

}  // namespace
}  // namespace setwick_test
