// STUB: not built yet.
#include "platform/test_support.h"
