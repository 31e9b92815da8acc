// The Application event log on POSIX: one JSON line per entry appended to
// $TALLOWMERE_ROOT/eventlog/Application.jsonl with a single write, so that
// entries of several threads or processes never interleave; each entry also
// goes to syslog. Standard error is the last resort for what cannot be
// stored.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <system_error>

#include "platform/event_entry.h"
#include "platform/posix/machine_root.h"
#include "platform/posix/posix_env.h"

namespace platform {

namespace {

constexpr char kLogDirectory[] = "eventlog";
constexpr char kLogName[] = "eventlog/Application.jsonl";
constexpr char kSyslogIdent[] = "Tallowmere";
constexpr mode_t kFileMode = 0600;

// What an EventSource points to.
struct OpenSource {
  std::string name;
  int fd;
};

void WriteToStandardError(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

int SyslogPriority(std::uint16_t type) {
  switch (type) {
    case kEventlogErrorType: return LOG_ERR;
    case kEventlogWarningType: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

void ToSyslog(std::uint16_t type, const std::vector<std::string>& strings) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog(kSyslogIdent, LOG_PID, LOG_MAIL); });
  std::string message;
  for (const std::string& s : strings) message += s;
  syslog(SyslogPriority(type), "%s", message.c_str());
}

}  // namespace

EventSource SystemEnv::RegisterSource(const std::string& source) {
  const std::string path = MachinePath(kLogName);
  int error = MakeMachineDirectory(kLogDirectory);
  int fd = -1;
  if (error == 0) {
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
    if (fd < 0) error = errno;
    // A run by root leaves the log to the gateway's user all the same.
    if (fd >= 0) GiveFileToMachineRootOwner(fd, path);
  }
  if (fd < 0) {
    // The caller drops its entry silently; say once here why it is lost.
    WriteToStandardError(source + ": cannot open the event log " + path + ": " +
                         std::generic_category().message(error) + "\n");
    SetLastErrorFromErrno(error);
    return 0;
  }
  return reinterpret_cast<EventSource>(new OpenSource{source, fd});
}

bool SystemEnv::Report(EventSource source, std::uint16_t type, std::uint16_t category,
                      std::uint32_t event_id, const std::vector<std::string>& strings) {
  if (source == 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  const OpenSource& open_source = *reinterpret_cast<OpenSource*>(source);
  const std::string entry = FormatEventEntry(std::time(nullptr), open_source.name, type,
                                             event_id, category, strings, getpid());
  ToSyslog(type, strings);
  ssize_t n;
  do {
    n = write(open_source.fd, entry.data(), entry.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(entry.size())) return true;
  SetLastErrorFromErrno(n < 0 ? errno : ENOSPC);
  WriteToStandardError(entry);
  return false;
}

void SystemEnv::DeregisterSource(EventSource source) {
  if (source == 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return;
  }
  auto* open_source = reinterpret_cast<OpenSource*>(source);
  close(open_source->fd);
  delete open_source;
}

}  // namespace platform
