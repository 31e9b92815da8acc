// The single-instance lock of the gateway and the end of a run.
#pragma once

// Creates the named semaphore "POP3LOCK"; false when it existed already.
bool TakeInstanceLock();
void ReleaseInstanceLock();
// ReleaseInstanceLock, then stops the socket library.
void EndRun();
