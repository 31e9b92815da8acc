// Spool and SMTP delivery: splitter, recipients, delivery of one message,
// delivery run.
#pragma once

#include <string>

// Splits "popout.txt" into one spool file per message in "in".
void ParseMsgs(int count);
// Delivers one spool file of "out" over its own SMTP connection: 1 or -1.
int SendMail(std::string name);
// Delivers every file in "out", then deletes or archives it. Always 1.
int SendSMTP();
