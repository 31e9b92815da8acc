#include "gateway/control/spool_names.h"

#include "gateway/control/text.h"

std::string ReplaceUidCharacters(std::string text) {
  for (char& c : text) {
    if (UidCharacterSet.find(c) != std::string_view::npos) c = '_';
  }
  return text;
}

std::string TerminatorKey(const std::string& listing_line) {
  return Trim(ReplaceUidCharacters("+OK " + listing_line));
}

std::string SpoolFileName(const std::string& terminator_key) {
  const std::size_t blank = terminator_key.rfind(' ');
  return Trim(blank == std::string::npos ? terminator_key : terminator_key.substr(blank + 1));
}
