// SendSMTP: the delivery run over the files waiting in "out".
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
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

// Delivered files of this process that stayed in "out" under their names:
// the second delivery run of a run passes over them.
std::set<std::string> kept_delivered;

void LogDisposal(const std::string& message, std::uint32_t error) {
  platform::env().SetLastErrorCode(error);
  LogEvent(std::string(kTag) + message, platform::kEventlogErrorType);
}

// Takes a delivered file out of the delivery runs' way: into "Archive" at
// log level 2 and up (under its name, else with the suffix), otherwise, or
// when the archive cannot take it, deleted. One that cannot be deleted is
// renamed within "out" to its name after a ".", which no delivery run hands
// on. A delivered file is never sent twice while any of these works.
void Dispose(const std::string& out, const std::string& archive, const std::string& name,
             const std::string& suffix) {
  platform::Env& env = platform::env();
  const std::string path = out + name;
  if (GatewaySettings.loglevel >= 2) {
    if (env.MoveNoReplace(path, archive + name) ||
        env.MoveNoReplace(path, archive + name + suffix)) {
      return;
    }
    const std::uint32_t move_error = env.LastError();
    if (env.RemoveFile(path)) {
      LogDisposal("Unable to archive delivered file - deleted - " + name, move_error);
      return;
    }
  } else if (env.RemoveFile(path)) {
    return;
  }
  const std::uint32_t remove_error = env.LastError();
  if (env.MoveNoReplace(path, out + "." + name)) {
    LogDisposal("Unable to delete delivered file - " + name + " - renamed ." + name,
                remove_error);
    return;
  }
  kept_delivered.insert(path);
  LogDisposal("Unable to delete delivered file - " + name, remove_error);
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
  DeliveryConnection connection;
  for (const std::string& listed : names) {
    // ".", ".." and every dot-file stay where they are.
    if (listed.starts_with('.')) continue;
    const std::string name = Trim(listed);
    if (kept_delivered.count(out + name)) continue;
    if (SendMail(name, &connection) == -1) continue;
    Dispose(out, archive, name, suffix);
  }
  EndDeliveryConnection(connection);
  return 1;
}
