// The run state that the gateway's functions share, one of each per process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/env.h"

// "INIT", "RECOVERY", "RETREIVE", "DELETE" or "DELIVER".
extern std::string CurrentPhase;
// Written by the main thread, read by the keep-alive thread.
extern std::atomic<unsigned char> KeepAliveActive;
// Signalled by the main thread when it clears KeepAliveActive, so that the
// keep-alive thread's pause ends then; 0 when there is none (the pause then
// lasts its whole time).
extern platform::Event KeepAliveStop;
extern unsigned char RecoveryLoginDone;
extern platform::Handle InstanceLock;
extern platform::Socket PopSocket;

// The longest silence any connect, send or receive of the gateway waits for:
// ten minutes, the longest wait RFC 5321 asks of a client. Without it a peer
// that goes quiet would hold the run, and the instance lock, for ever.
inline constexpr std::uint32_t kSilenceLimitMs = 10 * 60 * 1000;
