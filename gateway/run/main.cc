// Quillon: one unattended run of the mail gateway.
#include "gateway/control/event_log.h"
#include "gateway/control/instance_lock.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/run/cycle.h"
#include "platform/env.h"

namespace {
constexpr char kTag[] = " - main - ";
}

int main() {
  platform::Env& env = platform::env();
  env.KeepNewFilesPrivate();  // the mailbox, the spool and the statistics are the site's
  GatewaySettings.loglevel = 1;
  RecoveryLoginDone = 0;
  CurrentPhase = "INIT";

  if (env.SocketStartup() != 0) {
    LogEvent(std::string(kTag) + "WSAStartup() failed", platform::kEventlogErrorType);
    EndRun();
    return 1;
  }

  inituserinfo();

  if (!TakeInstanceLock()) {
    LogEvent(std::string(kTag) + "Another instance of Tallowmere is running - Exiting..",
             platform::kEventlogInformationType);
    EndRun();
    return 1;
  }

  const int exit_code = RunCycle();
  EndRun();
  return exit_code;
}
