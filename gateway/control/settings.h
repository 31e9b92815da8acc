// The gateway's settings, read once per run from the registry.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct GatewaySettingsRecord {
  std::string DomainSuffix;  // "@" + localdomain, upper-cased
  std::string localserver;
  std::string popserver;
  std::string UserCommand;   // "USER " + popname + CR LF
  std::string PassCommand;   // "PASS " + poppass + CR LF
  std::string installdir;
  std::string exchangedir;
  int loglevel = 1;
  std::uint32_t PopServerAddress = 0;       // network byte order
  std::uint32_t ExchangeServerAddress = 0;  // network byte order
  std::array<std::string, 100> MailList;    // upper-cased and trimmed
  int MailListCount = 0;
};

extern GatewaySettingsRecord GatewaySettings;

inline constexpr const char kSettingsKey[] = "SOFTWARE\\Brackwater\\Tallowmere\\1.0";

// Fills GatewaySettings; ends the process with exit code 1 when a host
// cannot be resolved.
void inituserinfo();
// Loads installdir + "\maillist.txt" into MailList.
void LoadMailList();

// exchangedir + "\quillon": the raw download, the statistics file and the
// spool directories "in", "out" and "Archive".
std::string SpoolRoot();
