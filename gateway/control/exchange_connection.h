// The gateway's connections to the local mail server's SMTP service, shared
// by the keep-alive thread and the delivery of each message.
#pragma once

#include <string>

#include "platform/env.h"

// Readies a fresh socket: the silence limit, receive and send buffers of 2048
// bytes, then the connection to ExchangeServerAddress, port 25. Returns the
// message of the first failure, or an empty text when connected.
std::string ConnectToExchange(platform::Socket socket);
