// STUB: not built yet.
#include "platform/regedit_file.h"
