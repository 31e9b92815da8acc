#include "gateway/run/cycle.h"

#include "gateway/control/keep_alive.h"
#include "gateway/control/run_state.h"
#include "gateway/delivery/delivery.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"

int RunCycle() {
  platform::Env& env = platform::env();
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
  return exit_code;
}
