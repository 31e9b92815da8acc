// The gateway, in its own SMTP dialect and with smtpmode "standard" (one
// connection for all messages), against fetchmail on the same work: the same
// mailbox in Dovecot, the same Postfix as the local mail server, one tool
// after the other. For each run it prints the time until Postfix had
// delivered the last message, the process's wall time and its peak resident
// set (by GNU time); then the ratios gateway / fetchmail and standard / the
// gateway's own dialect. Prints figures; not a test. Needs root (the servers).
//
//   side_by_side [--quillon PATH] [--rounds N] [--only small|large|empty]
//                [--tools quillon,standard,fetchmail]
//
// Both tools are timed from the moment the process is started. "Last
// delivery" is the newest modification time among the files of Postfix's
// Maildirs: Postfix writes each file in full before it renames it into new/,
// so it is the moment the last message was delivered, taken the same way
// for both tools from the file system. "First to last" is the time between
// the oldest and the newest of those files: the delivery alone, without the
// download before it. The gateway runs on the real clock, so
// its wall time includes the keep-alive thread's pause of 50 s, which ends
// the run after its work is done.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/real_servers.h"

namespace {

namespace fs = std::filesystem;
using SystemClock = std::chrono::system_clock;

constexpr char kDomain[] = "example.com";
constexpr char kUser[] = "site";
constexpr char kPassword[] = "secret";
constexpr int kRunLimitMs = 30 * 60 * 1000;
constexpr int kDeliveryLimitMs = 5 * 60 * 1000;

struct Workload {
  const char* name;
  int messages;
  std::size_t bytes;  // of each message as stored, LF line ends
};

constexpr Workload kWorkloads[] = {
    {"small", 1000, 4 * 1024},
    {"large", 20, 5 * 1024 * 1024},
    {"empty", 0, 0},  // a run that finds nothing: its wall time alone
};

struct Figures {
  double last_delivery_s = 0;
  double delivery_span_s = 0;  // from the first delivery to the last
  double wall_s = 0;
  double peak_rss_mb = 0;
  int delivered = 0;
  bool all_delivered = false;  // every Message-ID once
  int left_at_provider = 0;
  std::string note;
};

double Seconds(SystemClock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string MessageId(const Workload& w, int n) {
  return "<" + std::string(w.name) + "." + std::to_string(n) + "@bench.example.org>";
}

// One message of exactly w.bytes bytes: a header naming a local recipient
// and a unique Message-ID, then text lines.
std::string Message(const Workload& w, int n) {
  std::string text = "From: Sender <sender@foreign.example.org>\n"
                     "To: Ann <ann@example.com>\n"
                     "Subject: benchmark message " + std::to_string(n) + "\n"
                     "Message-ID: " + MessageId(w, n) + "\n"
                     "Date: Tue, 08 Dec 2026 09:00:00 +0000\n\n";
  const std::string line =
      "Line of the body of message " + std::to_string(n) + ", the same text over and over.";
  while (text.size() + line.size() + 1 <= w.bytes - 1) text += line + "\n";
  text.resize(w.bytes - 1, 'x');
  return text + "\n";
}

// Newest modification time and the Message-IDs of the files in the Maildirs.
struct Maildirs {
  std::optional<SystemClock::time_point> oldest;
  std::optional<SystemClock::time_point> newest;
  std::multiset<std::string> ids;
  int files = 0;
};

Maildirs ReadMaildirs(const fs::path& mailboxes) {
  Maildirs found;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(mailboxes, error)) {
    const std::string parent = entry.path().parent_path().filename().string();
    if (!entry.is_regular_file() || (parent != "new" && parent != "cur")) continue;
    ++found.files;
    const SystemClock::time_point mtime =
        std::chrono::file_clock::to_sys(fs::last_write_time(entry.path()));
    if (!found.newest || mtime > *found.newest) found.newest = mtime;
    if (!found.oldest || mtime < *found.oldest) found.oldest = mtime;
    const std::string bytes = testing_support::ReadFileBytes(entry.path());
    const std::size_t at = bytes.find("\nMessage-ID: ");
    if (at == std::string::npos) continue;
    const std::size_t begin = at + 13;
    found.ids.insert(bytes.substr(begin, bytes.find('\n', begin) - begin));
  }
  return found;
}

// What one tool needs to run in root (a fresh temporary directory): its
// command line, and entries for its environment.
struct Tool {
  const char* name;
  std::vector<std::string> (*prepare)(const std::string& address,
                                      const testing_support::MachineRoot& root,
                                      const std::string& program,
                                      std::vector<std::string>* environment);
};

std::vector<std::string> PrepareGateway(const std::string& address,
                                        const testing_support::MachineRoot& root,
                                        const std::string& program,
                                        std::vector<std::string>* environment) {
  root.MakeSpool();
  root.WriteDefaultSettings(address, address);  // example.com, site, secret
  testing_support::WriteFileBytes(root.path() / "install" / "maillist.txt", "");
  environment->push_back(root.EnvironmentEntry());
  return {program};
}

std::vector<std::string> PrepareGatewayStandard(const std::string& address,
                                                const testing_support::MachineRoot& root,
                                                const std::string& program,
                                                std::vector<std::string>* environment) {
  std::vector<std::string> argv = PrepareGateway(address, root, program, environment);
  root.AddSetting("smtpmode", "standard");
  return argv;
}

std::vector<std::string> PrepareFetchmail(const std::string& address,
                                          const testing_support::MachineRoot& root,
                                          const std::string&,
                                          std::vector<std::string>* environment) {
  const fs::path& dir = root.path();
  // Multidrop: recipients from the header, kept when in the local domain,
  // forwarded over SMTP to Postfix, deleted at the server.
  const fs::path rc = dir / "fetchmailrc";
  testing_support::WriteFileBytes(
      rc, "poll " + address + " protocol pop3 port 110 no envelope no dns localdomains " +
              kDomain + "\n"
              "  user \"" + kUser + "\" there with password \"" + kPassword + "\" is * here\n"
              "  smtphost " + address + "/25 smtpaddress " + kDomain +
              " fetchall nokeep sslproto ''\n");
  fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write);
  environment->push_back("FETCHMAILHOME=" + dir.string());
  environment->push_back("HOME=" + dir.string());
  // exec keeps the process (and so the figures) fetchmail's own.
  return {"/bin/sh", "-c",
          "exec fetchmail --nodetach --nosyslog --silent -f '" + rc.string() + "' --idfile '" +
              (dir / "fetchids").string() + "' --pidfile '" + (dir / "fetchmail.pid").string() +
              "' >'" + (dir / "fetchmail.log").string() + "' 2>&1"};
}

constexpr Tool kGateway = {"quillon", PrepareGateway};
constexpr Tool kGatewayStandard = {"standard", PrepareGatewayStandard};
constexpr Tool kFetchmail = {"fetchmail", PrepareFetchmail};

Figures RunOnce(const Tool& tool, const Workload& w, const std::string& quillon) {
  Figures figures;
  const std::string address = platform::testing::FreshLoopbackAddress({110, 25});
  testing_support::DovecotProvider dovecot(address, kUser, kPassword);
  testing_support::PostfixServer postfix(address, kDomain, {"ann"});
  for (int n = 0; n < w.messages; ++n) dovecot.AddMessage(Message(w, n));
  if (!dovecot.Start() || !postfix.Start()) {
    figures.note = "servers did not start:\n" + dovecot.Log() + postfix.Log();
    return figures;
  }

  const testing_support::MachineRoot root;
  const fs::path& dir = root.path();
  std::vector<std::string> environment;
  // GNU time reports the peak resident set of the process it starts. The
  // kernel counts the image that an exec replaces, so a tool started
  // straight from this (larger) process would show this process's size.
  std::vector<std::string> argv = {"/usr/bin/time", "-q", "-f", "%M", "-o",
                                   (dir / "maxrss").string()};
  for (std::string& arg : tool.prepare(address, root, quillon, &environment)) {
    argv.push_back(std::move(arg));
  }

  const SystemClock::time_point start = SystemClock::now();
  auto child = platform::testing::ChildProcess::Start(argv, environment);
  if (!child) {
    figures.note = "cannot start /usr/bin/time";
    return figures;
  }
  const platform::testing::ProcessResult result = child->Wait(kRunLimitMs);
  figures.wall_s = Seconds(SystemClock::now() - start);
  figures.peak_rss_mb = std::atof(testing_support::ReadFileBytes(dir / "maxrss").c_str()) / 1024.0;
  if (!result.exited) {
    figures.note = "ended by signal " + std::to_string(result.signal);
  } else if (result.exit_code != 0) {
    figures.note = "exit code " + std::to_string(result.exit_code);
  }
  if (fs::exists(dir / "fetchmail.log")) {
    const std::string log = testing_support::ReadFileBytes(dir / "fetchmail.log");
    if (!log.empty() && result.exit_code != 0) figures.note += "; " + log;
  }

  postfix.WaitForDeliveries(w.messages, kDeliveryLimitMs);
  const Maildirs maildirs = ReadMaildirs(postfix.directory() / "mailboxes");
  figures.delivered = maildirs.files;
  std::multiset<std::string> expected;
  for (int n = 0; n < w.messages; ++n) expected.insert(MessageId(w, n));
  figures.all_delivered = maildirs.ids == expected;
  if (maildirs.newest) {
    figures.last_delivery_s = Seconds(*maildirs.newest - start);
    figures.delivery_span_s = Seconds(*maildirs.newest - *maildirs.oldest);
  }
  figures.left_at_provider = dovecot.MessageCount();
  return figures;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Print(const Tool& tool, const Workload& w, int round, const Figures& f) {
  std::printf("  %-9s round %d: last delivery %8.2f s (first to last %6.2f s)   wall %7.2f s   "
              "peak RSS %6.1f MB   delivered %d/%d%s, left at the provider %d%s%s\n",
              tool.name, round, f.last_delivery_s, f.delivery_span_s, f.wall_s, f.peak_rss_mb,
              f.delivered,
              w.messages, f.all_delivered ? " (every Message-ID once)" : " (Message-IDs DIFFER)",
              f.left_at_provider, f.note.empty() ? "" : "; ", f.note.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string quillon = std::string(TALLOWMERE_BIN_DIR) + "/quillon";
  int rounds = 1;
  std::string only;
  std::string tools = "quillon,standard,fetchmail";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--quillon") {
      quillon = argv[i + 1];
    } else if (option == "--rounds") {
      rounds = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--only") {
      only = argv[i + 1];
    } else if (option == "--tools") {
      tools = argv[i + 1];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quillon PATH] [--rounds N] [--only small|large|empty] "
                   "[--tools quillon,standard,fetchmail]\n",
                   argv[0]);
      return 2;
    }
  }
  if (const std::string why = testing_support::RealServersUnavailable(); !why.empty()) {
    std::fprintf(stderr, "side_by_side: the real servers cannot run here: %s\n", why.c_str());
    return 1;
  }

  bool complete = true;
  for (const Workload& w : kWorkloads) {
    if (!only.empty() && only != w.name) continue;
    std::printf("%d messages of %zu bytes, unique Message-IDs, to ann@%s:\n", w.messages,
                w.bytes, kDomain);
    std::map<std::string, std::vector<Figures>> runs;
    for (int round = 1; round <= rounds; ++round) {
      // Rotating: each round another tool goes first.
      std::vector<const Tool*> order;
      for (const Tool* tool : {&kGateway, &kGatewayStandard, &kFetchmail}) {
        if (("," + tools + ",").find("," + std::string(tool->name) + ",") != std::string::npos) {
          order.push_back(tool);
        }
      }
      std::rotate(order.begin(), order.begin() + (round - 1) % order.size(), order.end());
      for (const Tool* tool : order) {
        const Figures f = RunOnce(*tool, w, quillon);
        Print(*tool, w, round, f);
        complete = complete && f.all_delivered && f.left_at_provider == 0;
        runs[tool->name].push_back(f);
      }
    }
    auto median = [&](const char* tool, double Figures::*field) {
      std::vector<double> values;
      for (const Figures& f : runs[tool]) values.push_back(f.*field);
      return Median(values);
    };
    const char* label = rounds > 1 ? "medians, " : "";
    const auto ratio = [&](const char* a, const char* b) {
      std::printf("  %s / %s (%s%s): last delivery %.3f, first to last %.3f, wall %.3f, "
                  "peak RSS %.2f\n",
                  a, b, label, w.name,
                  median(a, &Figures::last_delivery_s) / median(b, &Figures::last_delivery_s),
                  median(a, &Figures::delivery_span_s) / median(b, &Figures::delivery_span_s),
                  median(a, &Figures::wall_s) / median(b, &Figures::wall_s),
                  median(a, &Figures::peak_rss_mb) / median(b, &Figures::peak_rss_mb));
    };
    for (const auto& [a, b] : {std::pair{"quillon", "fetchmail"}, std::pair{"standard", "fetchmail"},
                               std::pair{"standard", "quillon"}}) {
      if (w.messages > 0 && !runs[a].empty() && !runs[b].empty()) ratio(a, b);
    }
    std::printf("\n");
  }
  return complete ? 0 : 1;
}
