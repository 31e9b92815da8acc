#include "gateway/control/settings.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "gateway/control/event_log.h"
#include "gateway/control/https_client.h"
#include "gateway/control/text.h"
#include "platform/text_file.h"

namespace {

constexpr char kTag[] = " - inituserinfo - ";
constexpr std::uint32_t kValueBufferSize = 256;
constexpr int kNetworkDownTries = 3;
constexpr std::uint32_t kNetworkDownPauseMs = 10000;

void Report(const char* message) {
  LogEvent(std::string(kTag) + message, platform::kEventlogErrorType);
}

// Reads one value as into a cleared 256-byte buffer, so that a missing value
// reads as empty and a longer one is cut to 255 characters. Returns the
// status of the read as asked (256 bytes allowed).
long ReadValue(platform::RegKey key, const char* name, std::string* text) {
  std::vector<unsigned char> buffer(kValueBufferSize, 0);
  std::uint32_t size = kValueBufferSize;
  platform::Env& env = platform::env();
  const long status = env.RegQuery(key, name, nullptr, buffer.data(), &size);
  if (status == platform::kErrorMoreData) {
    buffer.assign(size, 0);
    if (env.RegQuery(key, name, nullptr, buffer.data(), &size) != platform::kErrorSuccess) {
      buffer.assign(kValueBufferSize, 0);
    }
  } else if (status != platform::kErrorSuccess) {
    buffer.assign(kValueBufferSize, 0);
  }
  *text = CString(reinterpret_cast<const char*>(buffer.data()),
                  std::min<std::size_t>(buffer.size(), kValueBufferSize - 1));
  return status;
}

// The first address of the host by name, else its dotted-decimal form;
// false when it is neither. With network_down_tries above 1, a lookup that
// fails because the network is down is followed by a pause and tried again.
bool ResolveHost(const std::string& host, int network_down_tries, std::uint32_t* address) {
  platform::Env& env = platform::env();
  for (int i = 0; i < network_down_tries; ++i) {
    if (env.LookupHost(host, address)) return true;
    if (network_down_tries == 1 || env.LastError() != platform::kWsaEnetdown) break;
    env.SleepMs(kNetworkDownPauseMs);
  }
  *address = env.DottedToAddress(host);
  return *address != platform::kInaddrNone;
}

// "NAME" or "NAME:N": a field name of letters, digits and "-", at most 60 of
// them, and a number from 1 to 9. False for anything else.
bool ParseEnvelopeHeader(const std::string& value, std::string* name, int* number) {
  constexpr std::size_t kMaxNameChars = 60;
  const std::size_t colon = value.find(':');
  const std::string field = value.substr(0, colon);
  const bool name_ok =
      !field.empty() && field.size() <= kMaxNameChars &&
      std::ranges::all_of(field, [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-';
      });
  if (!name_ok) return false;
  *number = 1;
  if (colon != std::string::npos) {
    const std::string count = value.substr(colon + 1);
    if (count.size() != 1 || count[0] < '1' || count[0] > '9') return false;
    *number = count[0] - '0';
  }
  *name = UpperCase(field);
  return true;
}

bool SameWord(const std::string& text, const char* word) {
  return UpperCase(text) == UpperCase(word);
}

// "popauth" and, with xoauth2, the token endpoint. A login that sends the
// password or the token itself needs TLS under it.
std::string ReadLoginValues(platform::RegKey key, GatewaySettingsRecord* s) {
  std::string value;
  ReadValue(key, "popauth", &value);
  const std::string method = value;
  if (value.empty() || SameWord(value, "user")) {
    s->popauth = PopAuth::kUser;
  } else if (SameWord(value, "plain")) {
    s->popauth = PopAuth::kPlain;
  } else if (SameWord(value, "apop")) {
    s->popauth = PopAuth::kApop;
  } else if (SameWord(value, "xoauth2")) {
    s->popauth = PopAuth::kXoauth2;
  } else {
    return "Unknown popauth value \"" + value + "\"";
  }
  if (s->popauth == PopAuth::kXoauth2) {
    ReadValue(key, "oauthtokenurl", &s->oauthtokenurl);
    HttpsUrl url;
    if (!ParseHttpsUrl(s->oauthtokenurl, &url)) {
      return "Unknown oauthtokenurl value \"" + s->oauthtokenurl + "\"";
    }
    ReadValue(key, "oauthclientid", &s->oauthclientid);
    if (s->oauthclientid.empty()) return "Unknown oauthclientid value \"\"";
    ReadValue(key, "oauthscope", &s->oauthscope);
    if (s->oauthscope.empty()) s->oauthscope = kDefaultOauthScope;
  }
  if ((s->popauth == PopAuth::kPlain || s->popauth == PopAuth::kXoauth2) &&
      s->popsecurity == PopSecurity::kNone) {
    return "popauth \"" + method + "\" needs popsecurity \"tls\" or \"starttls\"";
  }
  return "";
}

// The optional values: each empty or one of the words it knows (in any
// case), the port a plain decimal number from 1 to 65535. Returns the text of
// the entry for the first value that is neither, or an empty text.
std::string ReadOptionalValues(platform::RegKey key, GatewaySettingsRecord* s) {
  std::string value;
  ReadValue(key, "popsecurity", &value);
  if (value.empty() || SameWord(value, "none")) {
    s->popsecurity = PopSecurity::kNone;
  } else if (SameWord(value, "starttls")) {
    s->popsecurity = PopSecurity::kStartTls;
  } else if (SameWord(value, "tls")) {
    s->popsecurity = PopSecurity::kTls;
  } else {
    return "Unknown popsecurity value \"" + value + "\"";
  }
  s->PopPort = s->popsecurity == PopSecurity::kTls ? 995 : 110;
  ReadValue(key, "popport", &value);
  if (!value.empty()) {
    const bool digits = value.size() <= 5 &&
        value.find_first_not_of("0123456789") == std::string::npos;
    const long port = digits ? std::stol(value) : 0;
    if (port < 1 || port > 65535) return "Unknown popport value \"" + value + "\"";
    s->PopPort = static_cast<std::uint16_t>(port);
  }
  ReadValue(key, "popcafile", &s->popcafile);
  ReadValue(key, "smtpmode", &value);
  if (value.empty()) {
    s->smtpmode = SmtpMode::kClassic;
  } else if (SameWord(value, "standard")) {
    s->smtpmode = SmtpMode::kStandard;
  } else {
    return "Unknown smtpmode value \"" + value + "\"";
  }
  ReadValue(key, "envelopeheader", &value);
  s->envelopeheader.clear();
  s->EnvelopeHeaderNumber = 1;
  if (!value.empty() && !ParseEnvelopeHeader(value, &s->envelopeheader, &s->EnvelopeHeaderNumber)) {
    return "Unknown envelopeheader value \"" + value + "\"";
  }
  return ReadLoginValues(key, s);
}

}  // namespace

std::string SpoolRoot() { return GatewaySettings.exchangedir + "\\quillon"; }

void inituserinfo() {
  platform::Env& env = platform::env();
  GatewaySettingsRecord& s = GatewaySettings;
  platform::RegKey key = 0;
  std::string optional_error;
  if (env.RegOpen(platform::RegRoot::kLocalMachine, kSettingsKey,
                  platform::RegAccess::kQueryValue, &key) != platform::kErrorSuccess) {
    Report("Unable to open Tallowmere Registry");
  } else {
    s.UserCommand = "USER ";
    s.PassCommand = "PASS ";
    s.DomainSuffix = "@";
    std::string value;
    ReadValue(key, "localdomain", &value);
    s.DomainSuffix = UpperCase(s.DomainSuffix + value);
    ReadValue(key, "localserver", &s.localserver);
    ReadValue(key, "popserver", &s.popserver);
    ReadValue(key, "popname", &s.popname);
    s.UserCommand += s.popname + "\r\n";
    ReadValue(key, "poppass", &s.poppass);
    s.PassCommand += s.poppass + "\r\n";
    ReadValue(key, "installdir", &s.installdir);
    ReadValue(key, "exchangedir", &s.exchangedir);
    long status = ReadValue(key, "loglevel", &value);
    s.loglevel = DecimalValue(value);
    optional_error = ReadOptionalValues(key, &s);
    env.RegClose(key);
    if (status != platform::kErrorSuccess) Report("Unable to get Registry value");
  }
  if (!optional_error.empty()) {
    Report(optional_error.c_str());
    env.ExitProcess(1);
  }

  if (!ResolveHost(s.popserver, kNetworkDownTries, &s.PopServerAddress)) {
    Report("Unknown remote host");
    env.ExitProcess(1);
  }
  if (!ResolveHost(s.localserver, 1, &s.ExchangeServerAddress)) {
    Report("Unknown Local Host");
    env.ExitProcess(1);
  }
  LoadMailList();
}

void LoadMailList() {
  constexpr std::size_t kLineChars = 9999;  // a 10,000-byte line buffer
  platform::TextFile file;
  if (!file.Open(GatewaySettings.installdir + "\\maillist.txt")) return;
  std::string line;
  int count = 0;
  while (count < static_cast<int>(GatewaySettings.MailList.size()) &&
         file.ReadLine(&line, kLineChars)) {
    std::string entry = Trim(UpperCase(line));
    // A comment: no address begins with "#", and the installed example
    // explains itself in such lines.
    if (entry.starts_with('#')) continue;
    GatewaySettings.MailList[count++] = std::move(entry);
  }
  GatewaySettings.MailListCount = count;
}
