// The demo: a throwaway provider mailbox and local mail server, one run of
// the real gateway under a fast clock, and a plain account of what it did.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"
#include "tools/demo/mailbox.h"

namespace {

using testing_support::SmtpAction;

constexpr int kRunLimitMs = 30000;
constexpr int kServerWaitMs = 5000;
constexpr std::size_t kWidth = 78;

void Heading(const std::string& title) { std::cout << "\n== " << title << "\n"; }

// The bytes of a line with CR, LF and the other control characters (TAB
// aside) spelled out.
std::string Readable(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else if ((b < 0x20 && c != '\t') || b == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", b);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Items laid out on lines of at most kWidth columns, each line indented,
// with the separator between two items on one line and after the last
// item of a line that is not the last.
void Wrapped(const std::vector<std::string>& items, const std::string& indent,
             const std::string& separator) {
  std::string line = indent;
  for (const std::string& item : items) {
    if (line.size() > indent.size()) {
      if (line.size() + separator.size() + item.size() > kWidth) {
        std::cout << line << separator.substr(0, separator.find_last_not_of(' ') + 1) << "\n";
        line = indent;
      } else {
        line += separator;
      }
    }
    line += item;
  }
  if (line.size() > indent.size()) std::cout << line << "\n";
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::string ExitMeaning(const platform::testing::ProcessResult& result) {
  if (!result.exited) {
    return result.timed_out ? "the run did not end within its time limit and was killed"
                            : "the run ended by signal " + std::to_string(result.signal);
  }
  switch (result.exit_code) {
    case 0: return "a complete run (a failed delivery shows in the event log)";
    case 1: return "no sockets, a host that cannot be resolved, or another run under way";
    case 255: return "-1: the download failed";
    default: return "not an exit code of the gateway";
  }
}

// The lines of a byte stream, each with its line end (the last may have none).
std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    lines.push_back(bytes.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string WithoutLineEnd(const std::string& line) {
  return line.substr(0, line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0));
}

// The number (from 1) of the mailbox message whose Message-ID line the data
// holds; 0 for none.
std::size_t FindMessage(const std::vector<demo::MailboxMessage>& mailbox,
                        const std::string& transcript) {
  for (std::size_t i = 0; i < mailbox.size(); ++i) {
    const std::string& content = mailbox[i].content;
    std::size_t id = content.find("Message-ID: ");
    std::string line = content.substr(id, content.find('\r', id) - id);
    if (transcript.find(line + "\n") != std::string::npos) return i + 1;
  }
  return 0;
}

void ShowMessage(std::size_t number, const demo::MailboxMessage& message) {
  std::cout << "   " << number << ". " << message.uid << "\n";
  Wrapped(Words(message.shows), "      ", " ");
}

// One SMTP connection: what it was, then its commands (">") and the message
// data ("|"), as the client sent them.
void ShowConnection(int number, const std::string& transcript,
                    const std::vector<demo::MailboxMessage>& mailbox) {
  const bool keep_alive = transcript.find("NOOP") != std::string::npos;
  const bool data = transcript.find("\nDATA\n") != std::string::npos;
  std::cout << "\n-- Connection " << number << ": ";
  if (keep_alive) {
    std::cout << "the keep-alive, held open with a NOOP every 50 s while\n"
                 "   the mailbox is downloaded, split and deleted at the provider\n";
  } else if (std::size_t message = data ? FindMessage(mailbox, transcript) : 0) {
    std::cout << "delivery of message\n";
    ShowMessage(message, mailbox[message - 1]);
  } else if (data) {
    std::cout << "a delivery\n";
  } else {
    std::cout << "a delivery given up before DATA (the event log says why):\n"
                 "   the gateway closed without QUIT and kept the file in out/\n";
  }
  bool in_data = false;
  for (const std::string& line : SplitLines(transcript)) {
    if (in_data) {
      std::cout << "   | " << Readable(WithoutLineEnd(line)) << "\n";
      in_data = WithoutLineEnd(line) != ".";
    } else {
      std::cout << "   > " << Readable(line) << "\n";
      in_data = line == "DATA\n";
    }
  }
}

void ShowDirectory(const std::filesystem::path& dir, const std::string& name,
                   const std::string& meaning) {
  std::vector<std::string> names = testing_support::DirectoryNames(dir);
  std::string count = names.empty() ? "empty" : std::to_string(names.size()) +
                                                    (names.size() == 1 ? " file" : " files");
  std::printf("   %-12s %-8s %s\n", (name + "/").c_str(), count.c_str(), meaning.c_str());
  for (const std::string& file : names) {
    std::error_code not_a_file;
    std::printf("      %-30s %6ju bytes\n", file.c_str(),
                static_cast<std::uintmax_t>(std::filesystem::file_size(dir / file, not_a_file)));
  }
}

void ShowFile(const std::filesystem::path& file, const std::string& note) {
  std::error_code missing;
  const std::uintmax_t size = std::filesystem::file_size(file, missing);
  if (missing) {
    std::printf("   %-12s (missing)\n", file.filename().c_str());
  } else {
    std::printf("   %-12s %5ju bytes  %s\n", file.filename().c_str(), size, note.c_str());
  }
}

void ShowSpool(const testing_support::MachineRoot& root) {
  const std::filesystem::path spool = root.spool();
  std::printf("   %s\n", spool.c_str());
  ShowFile(spool / "popout.txt", "the raw download: UIDL listing and RETR replies");
  ShowFile(spool / "statlog.txt",
           "\"" + WithoutLineEnd(testing_support::ReadFileBytes(spool / "statlog.txt")) + "\"");
  ShowDirectory(spool / "in", "in", "split, waiting for their deletion at the provider");
  ShowDirectory(spool / "out", "out", "waiting for delivery (tried again by every run)");
  ShowDirectory(spool / "Archive", "Archive", "delivered (loglevel 2 keeps them)");
}

void ShowEvents(const testing_support::MachineRoot& root) {
  std::vector<testing_support::LoggedEvent> events = root.Events();
  std::cout << "   " << (root.path() / "eventlog" / "Application.jsonl").string() << "\n"
            << "   Each entry: time, type, then its strings: the source with the last system\n"
               "   error code, and the reporting function's tag with the message.\n";
  if (events.empty()) std::cout << "   (no entries)\n";
  for (const testing_support::LoggedEvent& event : events) {
    std::cout << "   " << event.time << "  " << event.type << "\n";
    for (const std::string& text : event.strings) std::cout << "      \"" << Readable(text) << "\"\n";
  }
}

int RunDemo() {
  std::string pop_address;
  std::string smtp_address;
  try {
    pop_address = platform::testing::FreshLoopbackAddress({110});
    smtp_address = platform::testing::FreshLoopbackAddress({25});
  } catch (const std::exception& e) {
    std::cerr << "The demo's servers listen on ports 110 and 25 of a loopback address,\n"
                 "which takes root: run it as root (or with sudo).\n("
              << e.what() << ")\n";
    return 1;
  }

  const std::vector<demo::MailboxMessage> mailbox = demo::Mailbox();
  testing_support::ScriptedPop3Server provider(pop_address, "site", "secret");
  if (!provider.listening()) throw std::runtime_error("cannot listen on " + pop_address + ":110");
  for (const demo::MailboxMessage& message : mailbox) provider.AddMessage(message.uid, message.content);
  testing_support::ScriptedSmtpServer mail_server(
      smtp_address, testing_support::SmtpScript().OnLine(
                         std::string("RCPT TO: ") + demo::kUnknownRecipient,
                         SmtpAction::Reply("550 5.1.1 " + std::string(demo::kUnknownRecipient) +
                                           ": mailbox unknown\r\n")));

  testing_support::MachineRoot root;
  root.MakeSpool();
  std::filesystem::create_directories(root.path() / "install");
  testing_support::WriteFileBytes(root.path() / "install" / "maillist.txt", demo::kMailList);
  root.WriteDefaultSettings(pop_address, smtp_address, "2");

  std::cout << "Tallowmere demo: one run of the gateway, quillon\n"
            << std::string(48, '=') << "\n"
            << "The mail for the site's domain, " << demo::kDomain
            << ", collects in one mailbox at its\n"
               "provider. Here a throwaway provider (POP3) and a throwaway local mail server\n"
               "(SMTP; it knows every mailbox but " << demo::kUnknownRecipient
            << ") stand in for the\n"
               "real ones. The gateway runs once, on a clock 100 times faster than the real\n"
               "one, so its pauses (50 s between keep-alive NOOPs) pass in a moment.\n";

  Heading("Settings (" + (root.path() / "registry.reg").string() + ")");
  std::cout << "   localdomain " << demo::kDomain << "   loglevel 2 (keep delivered files)\n"
            << "   popserver " << pop_address << " (popname site, poppass secret)\n"
            << "   localserver " << smtp_address << "\n"
            << "   maillist.txt: " << WithoutLineEnd(demo::kMailList) << "\n";

  Heading("The provider's mailbox before the run");
  for (std::size_t i = 0; i < mailbox.size(); ++i) ShowMessage(i + 1, mailbox[i]);

  Heading("The run");
  const std::string program = std::string(TALLOWMERE_BIN_DIR) + "/quillon";
  std::vector<std::string> environment = testing_support::FastClockEnvironment();
  environment.push_back(root.EnvironmentEntry());
  std::cout << "   " << program << "\n   with " << root.EnvironmentEntry() << "\n";
  const auto start = std::chrono::steady_clock::now();
  const platform::testing::ProcessResult result =
      platform::testing::RunProcess({program}, environment, kRunLimitMs);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (result.exited) {
    std::cout << "   exit code " << result.exit_code << ": " << ExitMeaning(result) << "\n";
  } else {
    std::cout << "   " << ExitMeaning(result) << "\n";
  }
  std::printf("   took %.1f s\n", took.count());

  provider.WaitUntilIdle(kServerWaitMs);
  Heading("What the gateway said to the provider (POP3)");
  Wrapped(provider.Commands(), "   ", ", ");
  std::cout << "   DELE goes through the files in the order the spool directory lists\n"
               "   them; the deletions take effect at QUIT. Messages left in the mailbox: "
            << provider.Uids().size() << "\n";

  Heading("What the local mail server received (SMTP)");
  std::cout << "   '>' a command line as sent, its line end spelled out; '|' a line of the\n"
               "   message data, each ended by a bare LF as the gateway sends it.\n"
               "   Addresses go out upper-cased and bare; the data ends with its \".\" line,\n"
               "   then one more LF.\n";
  const std::vector<std::string> transcripts = mail_server.Transcripts(kServerWaitMs);
  for (std::size_t i = 0; i < transcripts.size(); ++i) {
    ShowConnection(static_cast<int>(i) + 1, transcripts[i], mailbox);
  }

  Heading("The spool after the run");
  ShowSpool(root);

  Heading("The event log (times on the fast clock)");
  ShowEvents(root);

  std::cout << "\nEverything above lived in a temporary directory and on loopback servers,\n"
               "which are gone now.\n";
  return result.exited && result.exit_code == 0 ? 0 : 1;
}

}  // namespace

int main() {
  try {
    return RunDemo();
  } catch (const std::exception& e) {
    std::cerr << "demo failed: " << e.what() << "\n";
    return 1;
  }
}
