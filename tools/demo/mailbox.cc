#include "tools/demo/mailbox.h"

namespace demo {

namespace {

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

std::vector<MailboxMessage> Mailbox() {
  return {
      {"00000a1f4c2e7b31", "To: one local user, who becomes the one recipient.",
       Lines({"Date: Tue, 08 Dec 2026 06:58:12 +0100",
              "From: Grete Holm <grete.holm@example.org>",
              "To: Anna Berg <anna.berg@example.com>",
              "Subject: Minutes of Monday's meeting",
              "Message-ID: <20261208065812.4411@mail.example.org>",
              "",
              "Hello Anna,",
              "",
              "the minutes are on the shared drive; please add the budget figures.",
              "",
              "Grete"})},
      {"00000a1f4c2e7b32", "To: and a Cc: folded over two lines name three local users and a foreign "
       "one: three recipients, in the order of the header.",
       Lines({"Date: Tue, 08 Dec 2026 07:20:45 +0100",
              "From: \"Lind, Tomas\" <tomas.lind@supplier.example.net>",
              "To: orders@example.com",
              "Cc: Anna Berg <anna.berg@example.com>,",
              "\tMartin Sjo <martin.sjo@supplier.example.net>, jonas.ek@example.com",
              "Subject: Order 4711: delivery moved to Thursday",
              "Message-ID: <a8f3c2e1-77d0-4b1e@supplier.example.net>",
              "",
              "Hello,",
              "",
              "order 4711 leaves our warehouse on Wednesday and reaches you on Thursday.",
              "",
              "Tomas Lind"})},
      {"1765178102.M4411P903.mx1:2,S",
       "Only a foreign address, a list that maillist.txt names: the recipient is "
       "that entry with '@' turned into '_', in the local domain. The UID's ':' and ',' "
       "become '_' in the spool file's name.",
       Lines({"Date: Tue, 08 Dec 2026 07:31:02 +0000",
              "From: Release Announcements <announce@lists.example.org>",
              "To: announce@lists.example.org",
              "Subject: [announce] Version 3.2 released",
              "Message-ID: <release-3.2@lists.example.org>",
              "List-Id: <announce.lists.example.org>",
              "",
              "Version 3.2 is out; the release notes say what changed."})},
      {"00000a1f4c2e7b34",
       "Sent as Bcc: no local address in To: or Cc:, so the Received line's \"for\" "
       "names the recipient. A body line beginning with '.' travels with a second dot "
       "(\"..\"), so that it cannot end the data.",
       Lines({"Received: from mail.example.org (mail.example.org [198.51.100.7])",
              "\tby mx1.provider.example.net with ESMTPS id 4Q7ZKd1XyTz9",
              "\tfor <jonas.ek@example.com>; Tue, 08 Dec 2026 07:40:11 +0000",
              "Date: Tue, 08 Dec 2026 08:40:09 +0100",
              "From: backup@example.org",
              "To: undisclosed-recipients:;",
              "Subject: Restore test tonight",
              "Message-ID: <restore-test-20261208@example.org>",
              "",
              "Please run this in /srv/backup before you leave:",
              "./restore.sh --dry-run",
              "Thanks."})},
      {"00000a1f4c2e7b35", "Asks for a receipt with Return-Receipt-To:, a line the gateway leaves out.",
       Lines({"Date: Tue, 08 Dec 2026 08:02:37 +0100",
              "From: Grete Holm <grete.holm@example.org>",
              "To: Martin <martin@example.com>",
              "Subject: Signed contract",
              "Message-ID: <20261208080237.4502@mail.example.org>",
              "Return-Receipt-To: Grete Holm <grete.holm@example.org>",
              "",
              "Martin, the signed contract is in the post; please confirm its arrival."})},
      {"00000a1f4c2e7b36",
       "Only a foreign address, not in maillist.txt: the recipient is the fallback "
       "UNDELIVERABLE, which the local server refuses. The file stays in out/.",
       Lines({"Date: Tue, 08 Dec 2026 08:15:00 +0000",
              "From: Shop News <news@shop.example.net>",
              "To: customer-4471@shop.example.net",
              "Subject: This week's offers",
              "Message-ID: <offers-4471@shop.example.net>",
              "",
              "Our offers of the week: everything for the garden."})},
  };
}

}  // namespace demo
