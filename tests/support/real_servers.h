// Dovecot and Postfix from Debian's packages, run as plain processes rooted
// in a temporary directory, for the end-to-end tests and benchmarks of the
// real gateway: Dovecot as the provider's POP3 server, Postfix as the local
// SMTP server. Both listen on one loopback address of the caller's own
// (FreshLoopbackAddress({110, 25})) and touch nothing outside their
// directory. They need root, as Debian installs them.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/test_support.h"

namespace testing_support {

// Why the real servers cannot run here ("" when they can): a missing
// program, or a user other than root.
std::string RealServersUnavailable();

// Dovecot's TLS: with a certificate, TLS is required (STLS on port 110,
// POP3 over TLS on port 995); without, there is none.
struct DovecotTls {
  std::string certificate;  // PEM files
  std::string key;
};

// The SASL mechanisms and APOP beside USER/PASS: PLAIN always; APOP (its
// timestamp in the greeting) when asked; XOAUTH2 when an introspection URL
// is given, the tokens validated there (Dovecot's oauth2 passdb).
struct DovecotLogins {
  bool apop = false;
  std::string introspection_url;
};

// Dovecot serving POP3 on address:110 for one account (user, password) whose
// mailbox is a Maildir.
class DovecotProvider {
 public:
  DovecotProvider(const std::string& address, const std::string& user,
                  const std::string& password, const DovecotTls& tls = {},
                  const DovecotLogins& logins = {});
  ~DovecotProvider();  // stops the server and removes its directory
  DovecotProvider(const DovecotProvider&) = delete;
  DovecotProvider& operator=(const DovecotProvider&) = delete;

  // Starts the server and waits (bounded) for its greeting; false when it
  // does not come (see Log()).
  bool Start();
  void Stop();
  bool running() const { return master_ != nullptr; }
  // How long the last Start() took until the greeting came.
  std::chrono::milliseconds startup_time() const { return startup_time_; }

  // Puts a message with exactly these bytes into the mailbox (a file in the
  // Maildir's new/); the POP3 listing keeps the order of the calls.
  void AddMessage(const std::string& bytes);
  // Messages in the mailbox, read or not.
  int MessageCount() const;
  // Dovecot carries out QUIT's deletions after its reply, so after a
  // gateway run that deleted mail: waits (bounded) until the mailbox holds
  // count messages; false when it still holds another number.
  bool WaitForMessageCount(int count, int timeout_ms = 10000) const;
  std::string Log() const;
  const std::filesystem::path& directory() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string address_;
  std::unique_ptr<platform::testing::ChildProcess> master_;
  std::chrono::milliseconds startup_time_{0};
  int added_ = 0;
};

// One message in a Maildir of the SMTP server.
struct DeliveredMessage {
  std::string file;   // name in new/ or cur/
  std::string bytes;  // as stored, LF line ends
  // The bytes without the lines Postfix puts on top of a delivered message
  // (Return-Path, X-Original-To, Delivered-To and its own Received header):
  // what the client sent, its CR LF line ends turned into LF.
  std::string content() const;
};

// Postfix accepting mail on address:25 for the domain and putting it into
// one Maildir per mailbox: "<name>@<domain>" into the Maildir <name>, every
// other address of the domain into kCatchAll. Mail for other domains is
// refused; nothing is relayed, no DNS is asked.
class PostfixServer {
 public:
  static constexpr const char* kCatchAll = "catchall";

  // settings: main.cf values that replace or add to the defaults, for a
  // test that needs a stricter server, or one that relays (master.cf has an
  // "smtp" client service for a transport or relayhost that names it).
  PostfixServer(const std::string& address, const std::string& domain,
                const std::vector<std::string>& mailboxes,
                const std::map<std::string, std::string>& settings = {});
  ~PostfixServer();  // stops the server and removes its directory
  PostfixServer(const PostfixServer&) = delete;
  PostfixServer& operator=(const PostfixServer&) = delete;

  // Starts the server (again, on the same queue and Maildirs after Stop())
  // and waits (bounded) for its greeting; false when it does not come.
  bool Start();
  void Stop();
  bool running() const { return master_ != nullptr; }
  std::chrono::milliseconds startup_time() const { return startup_time_; }

  // The messages of one mailbox (new/ and cur/), sorted by file name.
  std::vector<DeliveredMessage> Delivered(const std::string& mailbox) const;
  // Messages delivered into all mailboxes together.
  int DeliveredCount() const;
  // Waits at most timeout_ms until at least count messages are delivered.
  bool WaitForDeliveries(int count, int timeout_ms) const;
  // The mail log (maillog_file).
  std::string Log() const;
  const std::filesystem::path& directory() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string address_;
  std::unique_ptr<platform::testing::ChildProcess> master_;
  std::chrono::milliseconds startup_time_{0};
};

// Debian's Exim, unpacked by tools/unpack_exim.sh (its package conflicts
// with the installed Postfix), accepting mail on address:25 for the domain
// into one Maildir, with its own defaults otherwise: a message after the
// tenth of one connection is queued, not delivered. The daemon runs no
// queue, so a queued message stays queued.
class EximServer {
 public:
  EximServer(const std::string& address, const std::string& domain);
  ~EximServer();  // stops the server and removes its directory
  EximServer(const EximServer&) = delete;
  EximServer& operator=(const EximServer&) = delete;

  // Why Exim cannot run here ("" when it can).
  static std::string Unavailable();

  // Starts the daemon and waits (bounded) for its greeting.
  bool Start();
  void Stop();
  // Messages delivered into the Maildir.
  int DeliveredCount() const;
  bool WaitForDeliveries(int count, int timeout_ms) const;
  // Messages in the queue (delivered ones leave it).
  int QueuedCount() const;
  // The main log.
  std::string Log() const;

 private:
  std::filesystem::path dir_;
  std::string address_;
  std::unique_ptr<platform::testing::ChildProcess> daemon_;
};

}  // namespace testing_support
