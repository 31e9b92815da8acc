// The mailbox that the crash tests move through the gateway: messages that
// each carry a marker of their own (Message-ID and Subject), and the
// deliveries found in what the SMTP server received.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace crash_testing {

struct TestMessage {
  int number = 0;          // from 1
  std::string uid;         // as the POP3 server lists it
  std::string spool_name;  // the spool file's name in "in" and "out"
  std::string content;     // as the POP3 server holds it, lines ended by CR LF
  std::string spool_bytes; // the whole spool file: lines ended by LF, then "."
};

// count messages; every tenth is large (about 200 KB), so that download,
// split and delivery each take a while.
std::vector<TestMessage> MakeMailbox(int count);
// count messages of body_lines lines of 62 characters each.
std::vector<TestMessage> MakeMailbox(int count, int body_lines);

// The messages delivered in a set of SMTP transcripts: one entry per
// message whose data was ended by its "." line, by message number. A
// delivery whose data is not exactly a message's is listed in `altered`.
struct Deliveries {
  std::map<int, int> count;
  std::vector<std::string> altered;
  int total() const;
  int duplicates() const;  // deliveries beyond the first of each message
};
// Whether the messages were delivered whole, each of them once: none
// altered, none twice, `messages` in all.
::testing::AssertionResult EachDeliveredOnce(const Deliveries& deliveries, int messages);
Deliveries FindDeliveries(const std::vector<TestMessage>& mailbox,
                          const std::vector<std::string>& transcripts);

}  // namespace crash_testing
