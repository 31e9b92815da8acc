// Download and split throughput: the gateway's GetPop and ParseMsgs against
// the scripted POP3 server on loopback. Each mailbox runs in a process of
// its own, so that its peak resident size is its own.
//
//   pop3_bench            both mailboxes
//   pop3_bench small      10,000 messages of 4 KB
//   pop3_bench large      3 messages of 100 MB
#include <chrono>
#include <cstdio>
#include <filesystem>
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

int RunMailbox(const std::string& which) {
  const bool small = which == "small";
  const int count = small ? 10000 : 3;
  const std::size_t bytes = small ? 4096 : 100u * 1024 * 1024;

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
  const int fetched = GetPop();
  const auto downloaded = std::chrono::steady_clock::now();
  if (fetched > 0) ParseMsgs(fetched);
  const auto split = std::chrono::steady_clock::now();
  platform::env().CloseSocket(PopSocket);

  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "exchange" / "quillon" / "in")) {
    (void)entry;
    ++files;
  }
  const double mb = static_cast<double>(mailbox_bytes) / (1024.0 * 1024.0);
  const double d = Seconds(downloaded - start), s = Seconds(split - downloaded);
  std::printf("%s: %d messages, %.1f MB, %zu spool files\n", which.c_str(), fetched, mb, files);
  std::printf("  download  %8.2f s  %10.1f messages/s  %8.1f MB/s\n", d, fetched / d, mb / d);
  std::printf("  split     %8.2f s  %10.1f messages/s  %8.1f MB/s\n", s, fetched / s, mb / s);
  std::printf("  total     %8.2f s  %10.1f messages/s  %8.1f MB/s\n", d + s, fetched / (d + s),
              mb / (d + s));
  std::printf("  peak RSS  %.1f MB\n",
              static_cast<double>(platform::testing::PeakResidentBytes()) / (1024.0 * 1024.0));
  std::fflush(stdout);

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return fetched == count && files == static_cast<std::size_t>(count) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) return RunMailbox(argv[1]);
  int status = 0;
  for (const char* which : {"small", "large"}) {
    const platform::testing::ProcessResult result =
        platform::testing::RunProcess({argv[0], which}, {}, kRunLimitMs);
    if (!result.exited || result.exit_code != 0) status = 1;
  }
  return status;
}
