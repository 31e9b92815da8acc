// The keep-alive connection to the local mail server during the download.
#pragma once

// Thread procedure: HELO, a NOOP every 50 seconds while KeepAliveActive is 1,
// then QUIT. Returns parameter after QUIT, -1 after a failure.
int KeepAlive(int parameter);

// For the main thread: clears KeepAliveActive, then signals KeepAliveStop,
// so that a pause under way ends at once and QUIT follows without another
// NOOP.
void StopKeepAlive();
