// STUB: not built yet.
#include "platform/event_entry.h"
