// Stand-ins for the phases that are not built yet. Each does nothing and
// returns its "nothing to do" result; each goes when its real one lands.
#include "gateway/delivery/delivery.h"
#include "gateway/pop3/pop3.h"

