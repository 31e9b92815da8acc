// Spool and SMTP delivery: splitter, recipients, delivery of one message,
// delivery run.
#pragma once

#include <string>

#include "platform/env.h"

// Splits "popout.txt" into one spool file per message in "in".
void ParseMsgs(int count);
// A delivery connection kept open from one message to the next, and the
// messages it has carried so far.
struct DeliveryConnection {
  platform::Socket socket = platform::kInvalidSocket;
  int messages = 0;
};
// Delivers one spool file of "out": 1 or -1. Without kept, over an SMTP
// connection of its own. With kept, where the "smtpmode" keeps connections,
// over *kept when it is open, else over a new one that it leaves in *kept for
// the next message; *kept is ended when it is of no further use or has
// carried as many messages as the "smtpmode" lets one connection carry.
int SendMail(std::string name, DeliveryConnection* kept = nullptr);
// Says QUIT on a connection that SendMail left open, and closes it.
void EndDeliveryConnection(DeliveryConnection& connection);
// Delivers every file in "out", then deletes or archives it. Always 1.
int SendSMTP();
