// POP3 retrieval: login, mailbox download, remote deletion.
#pragma once

#include <cstddef>
#include <string>

// Opens PopSocket and logs in; 0 when the password was accepted, -1 after a
// reported failure.
int PopLogin();
// Downloads the mailbox into "popout.txt"; -1, 0, or the message count.
int GetPop();
int ParseStatCount(const std::string& reply);
// Deletes at the provider what has a spool file in "in" and moves the files
// to "out"; recovery mode while CurrentPhase is "RECOVERY".
int DeleteFromPop();
std::string LineBeforePosition(const std::string& text, std::size_t position);
