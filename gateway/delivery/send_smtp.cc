// SendSMTP: the delivery run over the files waiting in "out".
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "gateway/control/event_log.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "gateway/delivery/delivery.h"

namespace {

constexpr char kTag[] = " - SendSMTP - ";
// The generator's range on the platform the gateway was made for; the same
// suffixes, 5 to 7 characters, wherever RAND_MAX is larger.
constexpr int kRandomRange = 32768;

// Appended to an archive name that is taken already: two blanks and a
// number of at least three columns, one per delivery run.
std::string ArchiveSuffix() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "  %3d", std::rand() % kRandomRange);
  return suffix;
}

}  // namespace

int SendSMTP() {
  platform::Env& env = platform::env();
  const std::string suffix = ArchiveSuffix();
  const std::string out = SpoolRoot() + "\\out\\";
  const std::string archive = SpoolRoot() + "\\Archive\\";
  std::vector<std::string> names;
  if (!env.ListDirectory(out + "*", &names)) {
    LogEvent(std::string(kTag) + "Unable to get File Handle", platform::kEventlogErrorType);
    return 1;
  }
  // The connection that carries one message to the next, where the
  // "smtpmode" keeps one: this run's own, ended before it returns.
  platform::Socket connection = platform::kInvalidSocket;
  for (const std::string& listed : names) {
    // ".", ".." and every dot-file stay where they are.
    if (listed.starts_with('.')) continue;
    const std::string name = Trim(listed);
    if (SendMail(name, &connection) == -1) continue;
    if (GatewaySettings.loglevel < 2) {
      env.RemoveFile(out + name);
    } else if (!env.MoveNoReplace(out + name, archive + name)) {
      env.MoveNoReplace(out + name, archive + name + suffix);
    }
  }
  EndDeliveryConnection(connection);
  return 1;
}
