// Delivery throughput: 10,000 spool files of 4 KB delivered by SendSMTP to
// the scripted SMTP server on loopback, one connection per message; then a
// whole run of the gateway (download, split, delete, deliver) of 1,000
// messages. Prints figures; not a test.
//
//   delivery_bench [spool files] [messages of the whole run]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "platform/env.h"
#include "platform/test_support.h"
#include "tests/support/machine_root.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A spool file of exactly 4096 bytes: header, body lines, the closing ".".
std::string SpoolFile(int n) {
  std::string file = "From: Sender <sender@foreign.org>\nTo: ann@example.com\nSubject: message " +
                     std::to_string(n) + "\n\n";
  const std::string line(63, 'x');
  while (file.size() + line.size() + 1 <= 4093) file += line + "\n";
  file.resize(4093, 'y');
  return file + "\n.\n";
}

void DeliverSpoolFiles(int count) {
  testing_support::MachineRoot root;
  root.MakeSpool();
  platform::testing::SetEnvironmentVariable("TALLOWMERE_ROOT", root.path().string());
  const std::string address = platform::testing::FreshLoopbackAddress({25});
  testing_support::ScriptedSmtpServer server(address,
                                             testing_support::SmtpScript().DiscardTranscripts());
  GatewaySettings.exchangedir = root.exchangedir().string();
  GatewaySettings.DomainSuffix = "@EXAMPLE.COM";
  GatewaySettings.loglevel = 1;
  GatewaySettings.ExchangeServerAddress = server.NetworkAddress();
  for (int i = 0; i < count; ++i) {
    testing_support::WriteFileBytes(root.spool() / "out" / ("m" + std::to_string(i)), SpoolFile(i));
  }

  const Clock::time_point start = Clock::now();
  SendSMTP();
  const double seconds = Seconds(Clock::now() - start);
  const int accepted = server.AcceptedMessages();
  std::printf("SendSMTP: %d of %d spool files of 4096 bytes delivered in %.2f s: %.0f messages/s\n",
              accepted, count, seconds, accepted / seconds);
  std::printf("  peak resident set (gateway code and scripted server in one process): %.1f MiB\n",
              platform::testing::PeakResidentBytes() / (1024.0 * 1024.0));
}

void WholeRun(int count) {
  testing_support::MachineRoot root;
  root.MakeSpool();
  const std::string address = platform::testing::FreshLoopbackAddress({110, 25});
  testing_support::ScriptedPop3Server pop3(address, "site", "secret");
  testing_support::ScriptedSmtpServer smtp(address,
                                           testing_support::SmtpScript().DiscardTranscripts());
  const std::string line(62, 'x');
  for (int i = 0; i < count; ++i) {
    pop3.AddGeneratedMessage("uid" + std::to_string(i),
                             "From: sender@foreign.org\r\nTo: ann@example.com\r\nSubject: " +
                                 std::to_string(i) + "\r\n\r\n",
                             line + "\r\n", 63);
  }
  root.WriteDefaultSettings(address, address);
  std::vector<std::string> environment = testing_support::FastClockEnvironment();
  environment.push_back(root.EnvironmentEntry());

  const Clock::time_point start = Clock::now();
  auto child = platform::testing::ChildProcess::Start(
      {std::string(TALLOWMERE_BIN_DIR) + "/quillon"}, environment);
  if (!child) {
    std::printf("whole run: quillon cannot be started\n");
    return;
  }
  const bool all = smtp.WaitForAcceptedMessages(count, 600000);
  const Clock::time_point last_accepted = smtp.LastAcceptedAt();
  const platform::testing::ProcessResult result = child->Wait(600000);
  const Clock::time_point ended = Clock::now();
  std::printf("whole run of %d messages of about 4 KB (download, split, delete, deliver):\n", count);
  std::printf("  %d accepted%s; last one accepted after %.2f s (%.0f messages/s)\n",
              smtp.AcceptedMessages(), all ? "" : " (not all)", Seconds(last_accepted - start),
              smtp.AcceptedMessages() / Seconds(last_accepted - start));
  std::printf("  process ended after %.2f s with exit code %d; the end waits for the keep-alive\n"
              "  thread's pause (50 s, run here on a clock 100 times faster)\n",
              Seconds(ended - start), result.exited ? result.exit_code : -1);
}

}  // namespace

int main(int argc, char** argv) {
  const int spool_files = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int run_messages = argc > 2 ? std::atoi(argv[2]) : 1000;
  DeliverSpoolFiles(spool_files);
  WholeRun(run_messages);
  return 0;
}
