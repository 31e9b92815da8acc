// The demo's provider mailbox: a handful of messages for the site's domain,
// each chosen to show one rule of the gateway, and the site's address list.
#pragma once

#include <string>
#include <vector>

namespace demo {

struct MailboxMessage {
  std::string uid;      // the provider's unique identifier (UIDL)
  std::string shows;    // what the message shows, in a few words
  std::string content;  // header and body, lines ended by CR LF, not dot-stuffed
};

std::vector<MailboxMessage> Mailbox();

// The site's domain, as the default settings of the machine root hold it.
inline constexpr char kDomain[] = "example.com";
// The administrator's list of addresses (maillist.txt).
inline constexpr char kMailList[] = "announce@lists.example.org\n";
// The one mailbox the demo's local mail server does not know.
inline constexpr char kUnknownRecipient[] = "UNDELIVERABLE@EXAMPLE.COM";

}  // namespace demo
