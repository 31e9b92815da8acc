#include "tests/support/real_servers.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/env.h"
#include "tests/support/machine_root.h"

namespace testing_support {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kPostfix = "/usr/sbin/postfix";
constexpr const char* kPostfixMaster = "/usr/lib/postfix/sbin/master";
constexpr const char* kExim = TALLOWMERE_EXIM_ROOT "/usr/sbin/exim4";
// The user that Debian's Exim is built to run as.
constexpr const char* kEximUser = "Debian-exim";
// The unprivileged user that owns the mailboxes of both servers ("nobody").
constexpr const char* kMailUser = "65534";
constexpr int kStartLimitMs = 30000;
constexpr int kStopLimitMs = 20000;
constexpr auto kPoll = std::chrono::milliseconds(20);
// Files that the servers' own users read.
constexpr fs::perms kReadable = fs::perms::owner_read | fs::perms::owner_write |
                                fs::perms::group_read | fs::perms::others_read;

// A fresh directory /tmp/<prefix>XXXXXX, open to the servers' own users.
// Short on purpose: Dovecot's UNIX sockets live in it.
fs::path ShortDirectory(const std::string& prefix) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<int> pick(0, sizeof(kLetters) - 2);
  for (;;) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name.push_back(kLetters[pick(random)]);
    fs::path dir = fs::path("/tmp") / name;
    if (fs::create_directory(dir)) {
      fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
      return dir;
    }
  }
}

// Whether done() holds, looked at until timeout_ms have passed.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
  return true;
}

// Creates new/, cur/ and tmp/ of a Maildir, writable by the mail user.
void MakeMaildir(const fs::path& maildir) {
  for (const char* sub : {"", "new", "cur", "tmp"}) {
    fs::create_directories(maildir / sub);
    fs::permissions(maildir / sub, fs::perms::all);
  }
}

// Writes a file of Postfix's configuration, dated a minute back: Postfix
// waits until a configuration file that has just changed is a second old.
void WriteConfigurationFile(const fs::path& file, const std::string& text) {
  WriteFileBytes(file, text);
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(1));
}

std::vector<fs::path> MaildirFiles(const fs::path& maildir) {
  std::vector<fs::path> files;
  for (const char* sub : {"new", "cur"}) {
    for (const std::string& name : DirectoryNames(maildir / sub)) {
      files.push_back(maildir / sub / name);
    }
  }
  return files;
}

// True once a connection to address:port gets a greeting that begins with
// prefix, tried until the time limit.
bool AwaitGreeting(const std::string& address, std::uint16_t port, const std::string& prefix,
                   int limit_ms) {
  platform::Env* env = platform::Env::Default();
  const std::uint32_t ip = env->DottedToAddress(address);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  env->SocketStartup();
  bool greeted = false;
  while (!greeted && Clock::now() < deadline) {
    platform::Socket socket = env->CreateStreamSocket();
    if (socket == platform::kInvalidSocket) break;
    env->SetSilenceLimit(socket, 2000);
    if (env->Connect(socket, ip, port) == 0) {
      std::string greeting;
      char buffer[512];
      int got;
      while (greeting.size() < prefix.size() &&
             (got = env->Receive(socket, buffer, sizeof buffer)) > 0) {
        greeting.append(buffer, static_cast<std::size_t>(got));
      }
      greeted = greeting.starts_with(prefix);
    }
    env->CloseSocket(socket);
    if (!greeted) std::this_thread::sleep_for(kPoll);
  }
  env->SocketCleanup();
  return greeted;
}

// Ends a server's master process: asks with stop_command, then waits for it
// (killing it when it does not end in time).
void EndMaster(std::unique_ptr<platform::testing::ChildProcess>& master,
               const std::vector<std::string>& stop_command) {
  if (!master) return;
  platform::testing::RunProcess(stop_command, {}, kStopLimitMs);
  master->Wait(kStopLimitMs);
  master.reset();
}

}  // namespace

std::string RealServersUnavailable() {
  for (const char* program : {kDovecot, kPostfix, kPostfixMaster}) {
    if (!fs::exists(program)) return std::string(program) + " is not installed";
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Uid:")) {
      std::istringstream fields(line.substr(4));
      std::string real, effective;
      fields >> real >> effective;
      if (effective != "0") return "Dovecot and Postfix as installed need root";
      return "";
    }
  }
  return "cannot tell the user from /proc/self/status";
}

// --- Dovecot ---

DovecotProvider::DovecotProvider(const std::string& address, const std::string& user,
                                 const std::string& password, const DovecotTls& tls,
                                 const DovecotLogins& logins)
    : dir_(ShortDirectory("dv")), address_(address) {
  MakeMaildir(dir_ / "Maildir");
  WriteFileBytes(dir_ / "passwd", user + ":{PLAIN}" + password + "\n");
  fs::permissions(dir_ / "passwd", kReadable);
  const std::string d = dir_.string();
  const bool oauth2 = !logins.introspection_url.empty();
  if (oauth2) {
    WriteFileBytes(dir_ / "oauth2.conf",
                   "introspection_url = " + logins.introspection_url + "\n"
                   "introspection_mode = auth\n"
                   "username_attribute = username\n"
                   "active_attribute = active\n"
                   "active_value = true\n"
                   "timeout_msecs = 10000\n");
    fs::permissions(dir_ / "oauth2.conf", kReadable);
  }
  WriteFileBytes(dir_ / "dovecot.conf",
                 "protocols = pop3\n"
                 "listen = " + address + "\n"
                 "base_dir = " + d + "/run\n"
                 "state_dir = " + d + "/state\n"
                 "log_path = " + d + "/dovecot.log\n"
                 + (tls.certificate.empty()
                        ? std::string("ssl = no\n")
                        : "ssl = required\n"
                          "ssl_cert = <" + tls.certificate + "\n"
                          "ssl_key = <" + tls.key + "\n") +
                 "disable_plaintext_auth = no\n"
                 "auth_mechanisms = plain" + std::string(logins.apop ? " apop" : "") +
                     (oauth2 ? " xoauth2" : "") + "\n"
                 "mail_location = maildir:" + d + "/Maildir\n"
                 "passdb {\n"
                 "  driver = passwd-file\n"
                 "  args = scheme=PLAIN " + d + "/passwd\n"
                 + (oauth2 ? "  mechanisms = plain apop\n" : "") +
                 "}\n"
                 + (oauth2 ? "passdb {\n"
                             "  driver = oauth2\n"
                             "  mechanisms = xoauth2\n"
                             "  args = " + d + "/oauth2.conf\n"
                             "}\n"
                           : "") +
                 "userdb {\n"
                 "  driver = static\n"
                 "  args = uid=" + kMailUser + " gid=" + kMailUser + " home=" + d + "/Maildir\n"
                 "}\n"
                 "service pop3-login {\n"
                 "  inet_listener pop3 {\n"
                 "    port = 110\n"
                 "  }\n"
                 + (tls.certificate.empty() ? "" : "  inet_listener pop3s {\n"
                                                   "    port = 995\n"
                                                   "    ssl = yes\n"
                                                   "  }\n") +
                 "}\n");
}

DovecotProvider::~DovecotProvider() {
  Stop();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

bool DovecotProvider::Start() {
  if (master_) return true;
  const Clock::time_point begin = Clock::now();
  master_ = platform::testing::ChildProcess::Start(
      {kDovecot, "-F", "-c", (dir_ / "dovecot.conf").string()}, {});
  if (!master_) return false;
  if (!AwaitGreeting(address_, 110, "+OK", kStartLimitMs)) {
    Stop();
    return false;
  }
  startup_time_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  return true;
}

void DovecotProvider::Stop() {
  if (!master_) return;
  EndMaster(master_, {"kill", "-TERM", std::to_string(master_->Pid())});
}

void DovecotProvider::AddMessage(const std::string& bytes) {
  // Dovecot numbers new messages in the order of their file names.
  std::string number = std::to_string(++added_);
  number.insert(0, 10 - number.size(), '0');
  const fs::path temporary = dir_ / "Maildir" / "tmp" / (number + ".tallowmere");
  WriteFileBytes(temporary, bytes);
  fs::permissions(temporary, kReadable);
  fs::rename(temporary, dir_ / "Maildir" / "new" / temporary.filename());
}

int DovecotProvider::MessageCount() const {
  return static_cast<int>(MaildirFiles(dir_ / "Maildir").size());
}

bool DovecotProvider::WaitForMessageCount(int count, int timeout_ms) const {
  return WaitUntil([&] { return MessageCount() == count; }, timeout_ms);
}

std::string DovecotProvider::Log() const { return ReadFileBytes(dir_ / "dovecot.log"); }

// --- Postfix ---

std::string DeliveredMessage::content() const {
  std::size_t pos = 0;
  auto skip_line = [&](const char* name) {
    if (bytes.compare(pos, std::char_traits<char>::length(name), name) == 0) {
      std::size_t end = bytes.find('\n', pos);
      pos = end == std::string::npos ? bytes.size() : end + 1;
      return true;
    }
    return false;
  };
  skip_line("Return-Path: ");
  skip_line("X-Original-To: ");
  skip_line("Delivered-To: ");
  if (skip_line("Received: ")) {
    while (pos < bytes.size() && (bytes[pos] == '\t' || bytes[pos] == ' ')) skip_line("");
  }
  return bytes.substr(pos);
}

PostfixServer::PostfixServer(const std::string& address, const std::string& domain,
                             const std::vector<std::string>& mailboxes,
                             const std::map<std::string, std::string>& settings)
    : dir_(ShortDirectory("pf")), address_(address) {
  const std::string d = dir_.string();
  fs::create_directories(dir_ / "etc");
  fs::create_directories(dir_ / "queue");
  // Postfix's virtual delivery makes each Maildir as the mail user.
  fs::create_directories(dir_ / "mailboxes");
  fs::permissions(dir_ / "mailboxes", fs::perms::all);
  std::vector<std::pair<std::string, std::string>> main_cf = {
      {"compatibility_level", "3.6"},
      {"queue_directory", d + "/queue"},
      {"data_directory", d + "/data"},
      // Without a log file of its own Postfix logs only to syslog, and a
      // failed start goes unseen.
      {"maillog_file", d + "/maillog"},
      {"maillog_file_prefixes", d},
      {"mail_owner", "postfix"},
      {"setgid_group", "postdrop"},
      {"myhostname", "mail." + domain},
      {"mydomain", domain},
      {"mydestination", ""},
      // A bare address here is refused; the listener of master.cf names it.
      {"inet_interfaces", "loopback-only"},
      {"proxy_interfaces", address},
      {"inet_protocols", "ipv4"},
      {"mynetworks", "127.0.0.0/8"},
      {"relayhost", ""},
      {"smtpd_relay_restrictions", "reject_unauth_destination"},
      {"default_transport", "error:relaying disabled"},
      {"relay_transport", "error:relaying disabled"},
      {"smtp_dns_support_level", "disabled"},
      {"alias_maps", ""},
      {"alias_database", ""},
      {"biff", "no"},
      // The client's header goes into the Maildir as sent: no rewriting of
      // addresses, no added Message-Id, Date or To.
      {"local_header_rewrite_clients", ""},
      {"always_add_missing_headers", "no"},
      {"undisclosed_recipients_header", ""},
      {"virtual_mailbox_domains", domain},
      {"virtual_mailbox_base", d + "/mailboxes"},
      {"virtual_mailbox_maps", "texthash:" + d + "/etc/mailboxes"},
      {"virtual_uid_maps", std::string("static:") + kMailUser},
      {"virtual_gid_maps", std::string("static:") + kMailUser},
      // Pinned against newer defaults. The gateway ends lines with LF and
      // its data with "." LF, and sends "MAIL FROM: QUILLON" without angle
      // brackets; pipelining without ESMTP stays allowed as in 3.7 (the
      // gateway waits for each reply, a hand-driven session may not).
      {"smtpd_forbid_bare_newline", "no"},
      {"strict_rfc821_envelopes", "no"},
      {"smtpd_forbid_unauth_pipelining", "no"},
  };
  for (const auto& [name, value] : settings) {
    auto same = std::find_if(main_cf.begin(), main_cf.end(),
                             [&](const auto& entry) { return entry.first == name; });
    if (same != main_cf.end()) {
      same->second = value;
    } else {
      main_cf.emplace_back(name, value);
    }
  }
  std::string text;
  for (const auto& [name, value] : main_cf) text += name + " = " + value + "\n";
  WriteConfigurationFile(dir_ / "etc" / "main.cf", text);

  std::string map;
  for (const std::string& mailbox : mailboxes) map += mailbox + "@" + domain + " " + mailbox + "/\n";
  map += "@" + domain + " " + kCatchAll + "/\n";
  WriteConfigurationFile(dir_ / "etc" / "mailboxes", map);

  // Every service runs without chroot: the queue is not laid out for it.
  WriteConfigurationFile(dir_ / "etc" / "master.cf",
                 address + ":25 inet n - n - - smtpd\n"
                 "cleanup unix n - n - 0 cleanup\n"
                 "qmgr unix n - n 300 1 qmgr\n"
                 "rewrite unix - - n - - trivial-rewrite\n"
                 "bounce unix - - n - 0 bounce\n"
                 "defer unix - - n - 0 bounce\n"
                 "trace unix - - n - 0 bounce\n"
                 "verify unix - - n - 1 verify\n"
                 "flush unix n - n 1000? 0 flush\n"
                 "proxymap unix - - n - - proxymap\n"
                 "showq unix n - n - - showq\n"
                 "error unix - - n - - error\n"
                 // Used only where a test's settings choose it as a transport.
                 "smtp unix - - n - - smtp\n"
                 "retry unix - - n - - error\n"
                 "discard unix - - n - - discard\n"
                 "virtual unix - n n - - virtual\n"
                 "anvil unix - - n - 1 anvil\n"
                 "scache unix - - n - 1 scache\n"
                 "postlog unix-dgram n - n - 1 postlogd\n");
}

PostfixServer::~PostfixServer() {
  Stop();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

bool PostfixServer::Start() {
  if (master_) return true;
  const Clock::time_point begin = Clock::now();
  master_ = platform::testing::ChildProcess::Start(
      {kPostfix, "-c", (dir_ / "etc").string(), "start-fg"}, {});
  if (!master_) return false;
  if (!AwaitGreeting(address_, 25, "220", kStartLimitMs)) {
    Stop();
    return false;
  }
  startup_time_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  return true;
}

void PostfixServer::Stop() {
  EndMaster(master_, {kPostfix, "-c", (dir_ / "etc").string(), "stop"});
}

std::vector<DeliveredMessage> PostfixServer::Delivered(const std::string& mailbox) const {
  std::vector<DeliveredMessage> messages;
  for (const fs::path& file : MaildirFiles(dir_ / "mailboxes" / mailbox)) {
    messages.push_back({file.filename().string(), ReadFileBytes(file)});
  }
  std::sort(messages.begin(), messages.end(),
            [](const DeliveredMessage& a, const DeliveredMessage& b) { return a.file < b.file; });
  return messages;
}

int PostfixServer::DeliveredCount() const {
  int count = 0;
  for (const std::string& mailbox : DirectoryNames(dir_ / "mailboxes")) {
    count += static_cast<int>(MaildirFiles(dir_ / "mailboxes" / mailbox).size());
  }
  return count;
}

bool PostfixServer::WaitForDeliveries(int count, int timeout_ms) const {
  return WaitUntil([&] { return DeliveredCount() >= count; }, timeout_ms);
}

std::string PostfixServer::Log() const { return ReadFileBytes(dir_ / "maillog"); }

EximServer::EximServer(const std::string& address, const std::string& domain)
    : dir_(ShortDirectory("ex")), address_(address) {
  const std::string d = dir_.string();
  for (const char* sub : {"spool", "log", "mail"}) fs::create_directories(dir_ / sub);
  MakeMaildir(dir_ / "mail");
  WriteFileBytes(dir_ / "exim.conf",
                 // Exim starts itself again for each delivery: this copy.
                 std::string("exim_path = ") + kExim + "\n"
                 "primary_hostname = exchange." + domain + "\n"
                 "domainlist local_domains = " + domain + "\n"
                 "spool_directory = " + d + "/spool\n"
                 "log_file_path = " + d + "/log/%slog\n"
                 "log_selector = +smtp_connection\n"
                 "pid_file_path = " + d + "/exim.pid\n"
                 "local_interfaces = " + address + "\n"
                 "daemon_smtp_ports = 25\n"
                 "host_lookup =\n"
                 "rfc1413_hosts =\n"
                 "tls_advertise_hosts =\n"
                 "acl_smtp_rcpt = check_rcpt\n"
                 "begin acl\n"
                 "check_rcpt:\n"
                 "  accept domains = +local_domains\n"
                 "  deny\n"
                 "begin routers\n"
                 "local:\n"
                 "  driver = accept\n"
                 "  domains = +local_domains\n"
                 "  transport = maildir\n"
                 "begin transports\n"
                 "maildir:\n"
                 "  driver = appendfile\n"
                 "  directory = " + d + "/mail\n"
                 "  maildir_format\n"
                 "  user = " + kEximUser + "\n"
                 "begin retry\n"
                 "* * F,1h,15m\n");
  fs::permissions(dir_ / "exim.conf", kReadable);
  platform::testing::RunProcess({"chown", "-R", std::string(kEximUser) + ":", d + "/spool",
                                 d + "/log", d + "/mail"},
                                {}, kStopLimitMs);
}

EximServer::~EximServer() {
  Stop();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::string EximServer::Unavailable() {
  if (!fs::exists(kExim)) return std::string(kExim) + " is missing: run tools/unpack_exim.sh";
  const platform::testing::ProcessResult user =
      platform::testing::RunProcess({"id", "-u", kEximUser}, {}, kStopLimitMs);
  if (!user.exited || user.exit_code != 0) {
    return std::string("no user ") + kEximUser + ": run tools/unpack_exim.sh";
  }
  return RealServersUnavailable();
}

bool EximServer::Start() {
  if (daemon_) return true;
  // -bdf: the daemon in the foreground, and no -q: it runs no queue.
  daemon_ = platform::testing::ChildProcess::Start(
      {kExim, "-C", (dir_ / "exim.conf").string(), "-bdf"}, {});
  if (!daemon_) return false;
  if (!AwaitGreeting(address_, 25, "220", kStartLimitMs)) {
    Stop();
    return false;
  }
  return true;
}

void EximServer::Stop() {
  if (!daemon_) return;
  daemon_->Kill();
  daemon_->Wait(kStopLimitMs);
  daemon_.reset();
}

int EximServer::DeliveredCount() const {
  return static_cast<int>(MaildirFiles(dir_ / "mail").size());
}

bool EximServer::WaitForDeliveries(int count, int timeout_ms) const {
  return WaitUntil([&] { return DeliveredCount() >= count; }, timeout_ms);
}

int EximServer::QueuedCount() const {
  int count = 0;
  for (const std::string& name : DirectoryNames(dir_ / "spool" / "input")) {
    if (name.ends_with("-H")) ++count;
  }
  return count;
}

std::string EximServer::Log() const { return ReadFileBytes(dir_ / "log" / "mainlog"); }

}  // namespace testing_support
