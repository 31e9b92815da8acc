// Names of spool message files, derived from the messages' unique
// identifiers; shared by the splitter (delivery/) and the remote deletion
// (pop3/).
#pragma once

#include <string>
#include <string_view>

// The twelve characters that a unique identifier cannot carry into a file
// name; each is replaced by "_".
inline constexpr std::string_view UidCharacterSet = "<>,\":;&/\\=^|";

// text with every character of UidCharacterSet replaced by "_".
std::string ReplaceUidCharacters(std::string text);
// "+OK " + listing line, characters replaced, trimmed at its end and then at
// its start: the UIDL reply line that follows the message in "popout.txt".
std::string TerminatorKey(const std::string& listing_line);
// The key's part after its last blank, trimmed (the whole key without one).
std::string SpoolFileName(const std::string& terminator_key);
