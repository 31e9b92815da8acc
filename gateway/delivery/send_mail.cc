// SendMail: one spool file of "out" over one SMTP connection of its own.
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

// The conversation on a fresh socket, from connect to QUIT. Returns the
// message of the first failure, or an empty text once QUIT went out.
std::string Converse(platform::Socket socket, const DeliveryEnvelope& envelope,
                     platform::TextFile& file) {
  platform::Env& env = platform::env();
  if (std::string failure = ConnectToExchange(socket); !failure.empty()) return failure;

  char reply[kReplyBytes];
  std::string failure;
  const auto clear = [&] { std::memset(reply, 0, sizeof reply); };
  const auto send = [&](std::string_view bytes) {
    return env.Send(socket, bytes.data(), static_cast<int>(bytes.size()));
  };
  // One receive call into the reply buffer; false, with failure set, when
  // it reports an error or the server closed the connection.
  const auto receive = [&](std::string on_error, std::string on_close) {
    const int got = env.Receive(socket, reply, kReplyBytes);
    if (got == platform::kSocketError) failure = std::move(on_error);
    if (got == 0) failure = std::move(on_close);
    return got > 0;
  };
  // A reply is judged by the first three bytes in the buffer alone.
  const auto replied = [&](const char* code) { return std::memcmp(reply, code, 3) == 0; };

  clear();
  if (!receive("Recv failed - Initial", kClosed)) return failure;

  clear();
  send("HELO ZUL\n");
  if (!receive("Recv failed - HELO", kClosed)) return failure;
  if (!replied("250")) return "Unable to HELO";

  clear();
  if (envelope.sender.empty()) {
    send("MAIL FROM: QUILLON\n");
    if (!receive("Recv failed - MAIL FROM", kClosed)) return failure;
  } else {
    const std::string command = "MAIL FROM: " + envelope.sender + "\n";
    send(command);
    if (!receive("Recv failed - " + command, kClosed)) return failure;
  }
  if (!replied("250")) return "Bad From:";

  // Not cleared between two RCPT commands: only the last reply is judged,
  // over whatever an earlier, longer one left behind it.
  clear();
  const bool fallback = envelope.source == RecipientSource::FallbackRecipient;
  for (const std::string& recipient : envelope.recipients) {
    const std::string command = "RCPT TO: " + recipient + "\n";
    send(command);
    const bool received =
        fallback ? receive("Recv failed - RCPT TO - maillist:", std::string(" ") + kClosed)
                 : receive("Recv failed - " + command, kClosed);
    if (!received) return failure;
  }
  if (!replied("250")) return "Bad To:";

  clear();
  send("DATA\n");
  if (!receive("Recv failed - DATA", kClosed)) return failure;
  if (!replied("354")) return "Bad DATA";

  // The file as it is, in full blocks, then the short last block and one LF
  // in a single send, so that no lone small segment waits on a delayed
  // acknowledgement. The file's last line "." ends the data.
  clear();
  char block[kBlockBytes];
  for (;;) {
    const std::size_t got = file.Read(block, kBlockBytes);
    if (got < kBlockBytes) {
      block[got] = '\n';
      send(std::string_view(block, got + 1));
      break;
    }
    if (send(std::string_view(block, kBlockBytes)) == platform::kSocketError) {
      return "Send failed - msgline";
    }
  }
  if (!receive("Recv failed - msg line", kClosed)) return failure;
  if (!replied("250")) return "Bad end of data";

  const int sent = send("QUIT\r\n");
  if (sent == platform::kSocketError) return "Send failed - QUIT";
  if (sent == 0) return kClosed;
  return std::string();
}

}  // namespace

int SendMail(std::string name) {
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

  const platform::Socket socket = env.CreateStreamSocket();
  if (socket == platform::kInvalidSocket) return LogFailure(kTag, "Socket failed", -1);
  const std::string failure = Converse(socket, envelope, file);
  if (!failure.empty()) LogFailure(kTag, failure, -1);
  env.CloseSocket(socket);
  return failure.empty() ? 1 : -1;
}
