#include "gateway/control/instance_lock.h"

#include "gateway/control/run_state.h"

bool TakeInstanceLock() {
  platform::Env& env = platform::env();
  InstanceLock = env.CreateNamedSemaphore("POP3LOCK", 1, 1);
  return !(InstanceLock != 0 && env.LastError() == platform::kErrorAlreadyExists);
}

void ReleaseInstanceLock() {
  if (InstanceLock == 0) return;
  platform::env().CloseHandleValue(InstanceLock);
  InstanceLock = 0;
}

void EndRun() {
  ReleaseInstanceLock();
  platform::env().SocketCleanup();
}
