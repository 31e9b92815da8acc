// The gateway's settings, read once per run from the registry.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// How the POP3 connection is secured ("popsecurity").
enum class PopSecurity {
  kNone,      // empty or "none": clear text on port 110
  kStartTls,  // "starttls": STLS on port 110, then TLS
  kTls,       // "tls": TLS from the start on port 995
};

// How the conversation with the local mail server is written ("smtpmode").
enum class SmtpMode {
  kClassic,   // empty: the gateway's own conversation
  kStandard,  // "standard": RFC 5321 bytes, whole replies, one connection
};

// How the gateway logs in at the provider ("popauth").
enum class PopAuth {
  kUser,     // empty or "user": USER and PASS
  kPlain,    // "plain": SASL PLAIN
  kApop,     // "apop": APOP with the greeting's timestamp
  kXoauth2,  // "xoauth2": SASL XOAUTH2 with a token of the client-credentials grant
};

inline constexpr const char kDefaultOauthScope[] = "https://outlook.office365.com/.default";

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
  // Optional values; missing or empty keeps the behaviour without them.
  PopSecurity popsecurity = PopSecurity::kNone;
  std::uint16_t PopPort = 110;  // "popport", else 110 or 995 by popsecurity
  std::string popcafile;        // PEM file trusted instead of the system's store
  SmtpMode smtpmode = SmtpMode::kClassic;
  // "envelopeheader": the field in which the provider's server records the
  // envelope recipient when it stores a copy, upper-cased (empty: none), and
  // which field of that name, counted from the top of the header, is that
  // record (1 to 9).
  std::string envelopeheader;
  int EnvelopeHeaderNumber = 1;
  PopAuth popauth = PopAuth::kUser;
  std::string popname;        // as read, for the logins other than USER/PASS
  std::string poppass;        // the password, or with xoauth2 the client secret
  std::string oauthtokenurl;  // https URL of the token endpoint (xoauth2)
  std::string oauthclientid;
  std::string oauthscope = kDefaultOauthScope;
};

extern GatewaySettingsRecord GatewaySettings;

inline constexpr const char kSettingsKey[] = "SOFTWARE\\Brackwater\\Tallowmere\\1.0";

// Fills GatewaySettings; ends the process with exit code 1 when an optional
// value is not one it knows or a host cannot be resolved.
void inituserinfo();
// Loads installdir + "\maillist.txt" into MailList; lines that begin with
// "#" are comments.
void LoadMailList();

// exchangedir + "\quillon": the raw download, the statistics file and the
// spool directories "in", "out" and "Archive".
std::string SpoolRoot();
