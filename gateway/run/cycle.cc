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
  KeepAliveStop = env.NewEvent();
  platform::Thread keep_alive = env.StartThread([] { KeepAlive(1); });

  CurrentPhase = "RETREIVE";
  int exit_code = GetPop();
  if (exit_code < 1) {
    StopKeepAlive();
  } else {
    ParseMsgs(exit_code);
    CurrentPhase = "DELETE";
    DeleteFromPop();
    StopKeepAlive();
    CurrentPhase = "DELIVER";
    SendSMTP();
    exit_code = 0;
  }

  env.JoinThread(keep_alive);
  env.CloseEvent(KeepAliveStop);
  KeepAliveStop = 0;
  return exit_code;
}
