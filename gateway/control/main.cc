// Quillon: one unattended run of the mail gateway.
#include "gateway/control/event_log.h"
#include "gateway/control/instance_lock.h"
#include "gateway/control/keep_alive.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "gateway/pop3/pop3.h"

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

  CurrentPhase = "RECOVERY";
  DeleteFromPop();
  SendSMTP();

  KeepAliveActive = 1;
  platform::Thread keep_alive = env.StartThread([] { KeepAlive(1); });

  CurrentPhase = "RETREIVE";
  int exit_code = GetPop();
  if (exit_code < 1) {
    KeepAliveActive = 0;
  } else {
    ParseMsgs(exit_code);
    CurrentPhase = "DELETE";
    DeleteFromPop();
    KeepAliveActive = 0;
    CurrentPhase = "DELIVER";
    SendSMTP();
    exit_code = 0;
  }

  env.JoinThread(keep_alive);
  EndRun();
  return exit_code;
}
