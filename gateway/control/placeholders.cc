// Stand-ins for the phases that are not built yet. Each does nothing and
// returns its "nothing to do" result; each goes when its real one lands.
#include "gateway/control/keep_alive.h"
#include "gateway/delivery/delivery.h"
#include "gateway/pop3/pop3.h"

int GetPop() { return 0; }                     // an empty mailbox
int DeleteFromPop() { return 1; }              // nothing in "in"
void ParseMsgs(int) {}
int SendSMTP() { return 1; }                   // nothing in "out"
int KeepAlive(int parameter) { return parameter; }
