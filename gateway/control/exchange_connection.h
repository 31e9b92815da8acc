// The gateway's connections to the local mail server's SMTP service, shared
// by the keep-alive thread and the delivery of each message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/env.h"

// How a conversation with the local mail server is written: the "smtpmode"
// setting as data, read by the one delivery conversation and the one
// keep-alive conversation.
struct SmtpDialect {
  // Ends each delivery command but QUIT (which always ends in CR LF).
  std::string_view command_end;
  // "MAIL FROM:<address>" and "RCPT TO:<address>", the fixed sender as
  // QUILLON@ the local domain; otherwise "MAIL FROM: address", bare.
  bool angle_brackets;
  // A reply is read to its last line, over as many receives as it takes;
  // the greeting must be "220" and the reply to QUIT is awaited. Otherwise
  // a reply is what one receive brings.
  bool whole_replies;
  // The data goes out with CR LF line ends and ends with its "." line;
  // otherwise the file's bytes as they are and one more LF.
  bool crlf_data;
  // Bytes of message data gathered before they are sent.
  std::size_t data_batch;
  // One connection carries the messages of a whole delivery run...
  bool keeps_connection;
  // ... but at most this many: after the last of them it is ended with
  // QUIT, its reply awaited, and the next message opens a new one. Some
  // servers queue every message past their own limit of a connection
  // instead of delivering it at once.
  int messages_per_connection;
};

// The dialect of GatewaySettings.smtpmode.
const SmtpDialect& CurrentSmtpDialect();

// Readies a fresh socket: the silence limit, receive and send buffers of 2048
// bytes, then the connection to ExchangeServerAddress, port 25. Returns the
// message of the first failure, or an empty text when connected.
std::string ConnectToExchange(platform::Socket socket);

// Receives one reply into buffer (size bytes) as the dialect reads replies.
// Returns kSocketError, 0 when the server closed the connection, or a
// positive count. A whole reply may come in many receives and its lines may
// be longer than the buffer: afterwards the buffer begins with the first
// three bytes of its last line (zeros where that line is shorter), and
// bytes that came after that line are dropped, since nothing was asked.
int ReceiveReply(platform::Socket socket, const SmtpDialect& dialect, char* buffer, int size);
