// One run of the gateway once its settings are read and its lock is held:
// what an interrupted run left in the spool is finished first, then the
// mailbox is downloaded, split, deleted at the provider and delivered.
#pragma once

// The run's exit code: 0 once the download's messages went through the
// split, the deletion and the delivery; the download's result (0 or -1)
// when it brought none.
int RunCycle();
