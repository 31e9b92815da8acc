// Download, split and deletion throughput: the gateway's GetPop, ParseMsgs
// and DeleteFromPop against the scripted POP3 server on loopback. Each
// mailbox runs in a process of its own, so that its peak resident size is
// its own.
//
//   pop3_bench                 the three mailboxes
//   pop3_bench small           10,000 messages of 4 KB
//   pop3_bench large           3 messages of 100 MB
//   pop3_bench many [count]    count (default 100,000) messages of 1 KB
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/support/scripted_pop3_server.h"

namespace {

constexpr int kRunLimitMs = 30 * 60 * 1000;
// 78 characters and CR LF.
const std::string kLine =
    "The quick brown fox jumps over the lazy dog, again and again and again.   ...\r\n";

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Mailbox {
  int count;
  std::size_t bytes;  // of each message
};

// The mailbox of a name and an optional count; nothing when unknown.
std::optional<Mailbox> MailboxNamed(const std::string& which, const char* count) {
  Mailbox box;
  if (which == "small") {
    box = {10000, 4096};
  } else if (which == "large") {
    box = {3, 100u * 1024 * 1024};
  } else if (which == "many") {
    box = {100000, 1024};
  } else {
    return std::nullopt;
  }
  if (count) box.count = std::atoi(count);
  if (box.count < 1) return std::nullopt;
  return box;
}

std::size_t FilesIn(const std::filesystem::path& dir) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++files;
  }
  return files;
}

int RunMailbox(const std::string& which, const Mailbox& box) {
  const int count = box.count;
  const std::size_t bytes = box.bytes;

  std::random_device random;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("tallowmere-pop3-bench-" + std::to_string(random()));
  for (const char* sub : {"in", "out", "Archive"}) {
    std::filesystem::create_directories(dir / "exchange" / "quillon" / sub);
  }
  platform::testing::SetEnvironmentVariable("TALLOWMERE_ROOT", (dir / "machine").string());

  const std::string address = platform::testing::FreshLoopbackAddress({110});
  testing_support::ScriptedPop3Server server(address);
  if (!server.listening()) {
    std::fprintf(stderr, "cannot listen on %s:110\n", address.c_str());
    return 1;
  }
  std::size_t mailbox_bytes = 0;
  for (int i = 0; i < count; ++i) {
    const std::string header = "From: sender@example.org\r\nTo: user@example.com\r\nSubject: " +
                               std::to_string(i) + "\r\n\r\n";
    const std::size_t repeat = (bytes - header.size()) / kLine.size();
    server.AddGeneratedMessage("uid-" + std::to_string(i), header, kLine, repeat);
    mailbox_bytes += header.size() + repeat * kLine.size();
  }

  GatewaySettings.exchangedir = (dir / "exchange").string();
  GatewaySettings.PopServerAddress = platform::env().DottedToAddress(address);
  GatewaySettings.UserCommand = "USER postmaster\r\n";
  GatewaySettings.PassCommand = "PASS secret\r\n";
  CurrentPhase = "RETREIVE";

  const auto start = std::chrono::steady_clock::now();
  const std::uint64_t peak_before = platform::testing::PeakResidentBytes();
  const int fetched = GetPop();
  const auto downloaded = std::chrono::steady_clock::now();
  const std::uint64_t peak_download = platform::testing::PeakResidentBytes();
  if (fetched > 0) ParseMsgs(fetched);
  const auto split = std::chrono::steady_clock::now();
  const std::uint64_t peak_split = platform::testing::PeakResidentBytes();
  const std::size_t spooled = FilesIn(dir / "exchange" / "quillon" / "in");
  CurrentPhase = "DELETE";
  const auto deleting = std::chrono::steady_clock::now();
  const int deletion = fetched > 0 ? DeleteFromPop() : -1;
  const auto deleted = std::chrono::steady_clock::now();
  const bool idle = server.WaitUntilIdle(kRunLimitMs);
  const std::size_t moved = FilesIn(dir / "exchange" / "quillon" / "out");
  const std::size_t left = server.Uids().size();

  const double mb = static_cast<double>(mailbox_bytes) / (1024.0 * 1024.0);
  const double d = Seconds(downloaded - start), s = Seconds(split - downloaded),
               x = Seconds(deleted - deleting);
  std::printf("%s: %d messages, %.1f MB, %zu spool files, %zu moved to out, %zu left at the server\n",
              which.c_str(), fetched, mb, spooled, moved, left);
  std::printf("  download  %8.2f s  %10.1f messages/s  %8.1f MB/s\n", d, fetched / d, mb / d);
  std::printf("  split     %8.2f s  %10.1f messages/s  %8.1f MB/s\n", s, fetched / s, mb / s);
  std::printf("  deletion  %8.2f s  %10.1f messages/s\n", x, fetched / x);
  std::printf("  total     %8.2f s  %10.1f messages/s  %8.1f MB/s\n", d + s + x,
              fetched / (d + s + x), mb / (d + s + x));
  auto megabytes = [](std::uint64_t b) { return static_cast<double>(b) / (1024.0 * 1024.0); };
  std::printf("  peak RSS  %.1f MB (%.1f before the download, %.1f after it, %.1f after the split)\n",
              megabytes(platform::testing::PeakResidentBytes()), megabytes(peak_before),
              megabytes(peak_download), megabytes(peak_split));
  std::fflush(stdout);

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  const std::size_t all = static_cast<std::size_t>(count);
  return fetched == count && spooled == all && deletion == 1 && idle && moved == all && left == 0
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::optional<Mailbox> box = MailboxNamed(argv[1], argc > 2 ? argv[2] : nullptr);
    if (!box) {
      std::fprintf(stderr, "usage: pop3_bench [small | large | many [count]]\n");
      return 2;
    }
    return RunMailbox(argv[1], *box);
  }
  int status = 0;
  for (const char* which : {"small", "large", "many"}) {
    const platform::testing::ProcessResult result =
        platform::testing::RunProcess({argv[0], which}, {}, kRunLimitMs);
    if (!result.exited || result.exit_code != 0) status = 1;
  }
  return status;
}
