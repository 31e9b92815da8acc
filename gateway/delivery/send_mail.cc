// SendMail: one spool file of "out" over an SMTP connection of its own, or
// over the one that a delivery run keeps open.
#include <cstring>
#include <string_view>

#include "gateway/control/event_log.h"
#include "gateway/control/exchange_connection.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/delivery/delivery.h"
#include "gateway/delivery/envelope.h"
#include "platform/text_file.h"

namespace {

constexpr char kTag[] = " - SendMail - ";
constexpr int kReplyBytes = 2048;
constexpr std::size_t kBlockBytes = 2048;
constexpr char kClosed[] = "Socket closed by remote";

// True when the file's last line is "." and no line before it is one: the
// server ends the data at the first such line and would take every line
// after it for commands. A line of a dot and carriage returns counts as one
// too, since a server may strip those before it looks; a piece of a long
// line does not.
bool EndsDataOnce(platform::TextFile& file) {
  std::string line;
  bool ended = false;
  for (bool continued = false; file.ReadLine(&line, kBlockBytes);
       continued = file.LineContinues()) {
    if (ended) return false;
    if (!continued && !file.LineContinues() && line.starts_with('.') &&
        line.find_first_not_of('\r', 1) == std::string::npos) {
      if (line != ".") return false;
      ended = true;
    }
  }
  return ended;
}

// What becomes of the connection once a conversation is over.
enum class After {
  kKeep,   // in step: it may carry the next message (after RSET if this one failed)
  kClose,  // closed, reset, silent or mid-data: it is closed
  kRetry,  // kept from an earlier message and found closed: the message starts
           // again on a new connection
};
struct Outcome {
  std::string failure;  // the entry's message; empty when delivered
  After after;
};

// Adds a piece of the spool file to the data on its way out: as it is, or
// with each LF as CR LF and each CR, which the text read leaves only where
// no LF follows it, as a blank, so that no line end but CR LF goes out.
void AppendData(const SmtpDialect& dialect, std::string_view bytes, std::string* wire) {
  if (!dialect.crlf_data) {
    wire->append(bytes);
    return;
  }
  for (std::size_t at; (at = bytes.find_first_of("\r\n")) != std::string_view::npos;) {
    wire->append(bytes.substr(0, at));
    wire->append(bytes[at] == '\n' ? "\r\n" : " ");
    bytes.remove_prefix(at + 1);
  }
  wire->append(bytes);
}

// One message's conversation: connect, greeting and HELO on a new
// connection, or straight to MAIL FROM on one kept open; then the envelope
// and the data, and QUIT unless the dialect keeps the connection.
Outcome Converse(platform::Socket& connection, const DeliveryEnvelope& envelope,
                 platform::TextFile& file, const SmtpDialect& dialect) {
  platform::Env& env = platform::env();
  const bool kept = connection != platform::kInvalidSocket;
  if (!kept) {
    connection = env.CreateStreamSocket();
    if (connection == platform::kInvalidSocket) return {"Socket failed", After::kClose};
    if (std::string failure = ConnectToExchange(connection); !failure.empty()) {
      return {failure, After::kClose};
    }
  }

  char reply[kReplyBytes];
  std::string failure;
  int got = 0;
  const auto clear = [&] { std::memset(reply, 0, sizeof reply); };
  const auto send = [&](std::string_view bytes) {
    return env.Send(connection, bytes.data(), static_cast<int>(bytes.size()));
  };
  // One reply as the dialect reads it; false, with failure set, when the
  // receive reports an error or the server closed the connection.
  const auto receive = [&](std::string on_error, std::string on_close) {
    got = ReceiveReply(connection, dialect, reply, kReplyBytes);
    if (got == platform::kSocketError) failure = std::move(on_error);
    if (got == 0) failure = std::move(on_close);
    return got > 0;
  };
  // A reply is judged by the first three bytes in the buffer alone.
  const auto replied = [&](const char* code) { return std::memcmp(reply, code, 3) == 0; };
  const auto command = [&](std::string_view verb, const std::string& address) {
    return std::string(verb) + (dialect.angle_brackets ? ":<" + address + ">" : ": " + address) +
           std::string(dialect.command_end);
  };

  if (!kept) {
    clear();
    if (!receive("Recv failed - Initial", kClosed)) return {failure, After::kClose};
    if (dialect.whole_replies && !replied("220")) return {"Bad greeting", After::kClose};

    clear();
    send("HELO ZUL" + std::string(dialect.command_end));
    if (!receive("Recv failed - HELO", kClosed)) return {failure, After::kClose};
    if (!replied("250")) return {"Unable to HELO", After::kClose};
  }

  clear();
  bool received;
  if (envelope.sender.empty()) {
    send(command("MAIL FROM", dialect.angle_brackets ? "QUILLON" + GatewaySettings.DomainSuffix
                                                     : "QUILLON"));
    received = receive("Recv failed - MAIL FROM", kClosed);
  } else {
    const std::string mail = command("MAIL FROM", envelope.sender);
    send(mail);
    received = receive("Recv failed - " + mail, kClosed);
  }
  // A server may close a connection between two messages (an idle limit, a
  // restart); a reply that times out, though, fails the message.
  if (kept && ((!received && (got == 0 || env.LastError() != platform::kWsaEtimedout)) ||
               (received && replied("421")))) {
    return {failure, After::kRetry};
  }
  if (!received) return {failure, After::kClose};
  if (!replied("250")) return {"Bad From:", After::kKeep};

  // Not cleared between two RCPT commands: only the last reply is judged,
  // over whatever an earlier, longer one left behind it.
  clear();
  const bool fallback = envelope.source == RecipientSource::FallbackRecipient;
  for (const std::string& recipient : envelope.recipients) {
    const std::string rcpt = command("RCPT TO", recipient);
    send(rcpt);
    received = fallback ? receive("Recv failed - RCPT TO - maillist:", std::string(" ") + kClosed)
                        : receive("Recv failed - " + rcpt, kClosed);
    if (!received) return {failure, After::kClose};
  }
  if (!replied("250")) return {"Bad To:", After::kKeep};

  clear();
  send("DATA" + std::string(dialect.command_end));
  if (!receive("Recv failed - DATA", kClosed)) return {failure, After::kClose};
  if (!replied("354")) return {"Bad DATA", After::kKeep};

  // The file in blocks, gathered into sends of data_batch bytes; the short
  // last block ends the data and travels with whatever is left, so that no
  // lone small segment waits on a delayed acknowledgement. The file's last
  // line "." ends the data: the gateway's own dialect sends one more LF, the
  // standard one only completes a last line that lacks its LF.
  clear();
  char block[kBlockBytes];
  std::string wire;
  bool line_ended = true;
  for (;;) {
    const std::size_t read = file.Read(block, kBlockBytes);
    AppendData(dialect, std::string_view(block, read), &wire);
    if (read > 0) line_ended = block[read - 1] == '\n';
    if (read < kBlockBytes) {
      if (!dialect.crlf_data) {
        wire += '\n';
      } else if (!line_ended) {
        wire += "\r\n";
      }
      if (!wire.empty()) send(wire);
      break;
    }
    if (wire.size() >= dialect.data_batch) {
      if (send(wire) == platform::kSocketError) return {"Send failed - msgline", After::kClose};
      wire.clear();
    }
  }
  if (!receive("Recv failed - msg line", kClosed)) return {failure, After::kClose};
  if (!replied("250")) return {"Bad end of data", After::kKeep};
  if (dialect.keeps_connection) return {"", After::kKeep};

  const int sent = send("QUIT\r\n");
  if (sent == platform::kSocketError) return {"Send failed - QUIT", After::kClose};
  if (sent == 0) return {kClosed, After::kClose};
  return {"", After::kClose};
}

// Ends the transaction of a failed message on a connection kept open: true
// when the server answered RSET with "250".
bool Reset(platform::Socket connection, const SmtpDialect& dialect) {
  char reply[kReplyBytes] = {};
  const std::string rset = "RSET" + std::string(dialect.command_end);
  platform::env().Send(connection, rset.data(), static_cast<int>(rset.size()));
  return ReceiveReply(connection, dialect, reply, kReplyBytes) > 0 &&
         std::memcmp(reply, "250", 3) == 0;
}

}  // namespace

int SendMail(std::string name, DeliveryConnection* kept) {
  platform::Env& env = platform::env();
  const std::string path = SpoolRoot() + "\\out\\" + name;
  const DeliveryEnvelope envelope = BuildEnvelope(path);
  // Without the file there is no data; without its last line "." the server
  // would wait for the end of the data for ever, and with a line "." before
  // it the server would end the data early and take the rest for commands:
  // fail before connecting.
  platform::TextFile file;
  if (!file.Open(path)) return LogFailure(kTag, "Unable to open message file", -1);
  if (!EndsDataOnce(file)) return LogFailure(kTag, "Damaged message file - " + name, -1);
  if (!file.Open(path)) return LogFailure(kTag, "Unable to open message file", -1);
  // The header's own fields decided: the administrator learns that the
  // setting does not name what the provider writes.
  if (envelope.envelope_field_missed) {
    LogEvent(kTag + std::string("No envelope header - ") + name, platform::kEventlogErrorType);
  }

  const SmtpDialect& dialect = CurrentSmtpDialect();
  DeliveryConnection own;
  DeliveryConnection& connection = kept != nullptr ? *kept : own;
  const auto close = [&] {
    env.CloseSocket(connection.socket);
    connection = DeliveryConnection();
  };
  if (connection.socket == platform::kInvalidSocket) connection.messages = 0;
  Outcome outcome = Converse(connection.socket, envelope, file, dialect);
  if (outcome.after == After::kRetry) {
    close();
    outcome = Converse(connection.socket, envelope, file, dialect);
  }
  if (!outcome.failure.empty()) LogFailure(kTag, outcome.failure, -1);
  bool keep = dialect.keeps_connection && outcome.after == After::kKeep;
  if (keep && !outcome.failure.empty()) keep = Reset(connection.socket, dialect);
  if (!keep && connection.socket != platform::kInvalidSocket) close();
  // A failed message counts as well: it took its turn on the connection.
  if (keep && ++connection.messages >= dialect.messages_per_connection) {
    EndDeliveryConnection(connection);
  }
  if (kept == nullptr) EndDeliveryConnection(own);
  return outcome.failure.empty() ? 1 : -1;
}

void EndDeliveryConnection(DeliveryConnection& connection) {
  if (connection.socket == platform::kInvalidSocket) return;
  platform::Env& env = platform::env();
  const SmtpDialect& dialect = CurrentSmtpDialect();
  env.Send(connection.socket, "QUIT\r\n", 6);
  // The server's farewell changes nothing, but a polite client waits for it.
  char reply[kReplyBytes];
  if (dialect.whole_replies) ReceiveReply(connection.socket, dialect, reply, kReplyBytes);
  env.CloseSocket(connection.socket);
  connection = DeliveryConnection();
}
