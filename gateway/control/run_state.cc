#include "gateway/control/run_state.h"

#include "gateway/control/settings.h"

std::string CurrentPhase = "INIT";
std::atomic<unsigned char> KeepAliveActive{0};
platform::Event KeepAliveStop = 0;
unsigned char RecoveryLoginDone = 0;
platform::Handle InstanceLock = 0;
platform::Socket PopSocket = platform::kInvalidSocket;
GatewaySettingsRecord GatewaySettings;
