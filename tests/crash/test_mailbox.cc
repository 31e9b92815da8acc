#include "tests/crash/test_mailbox.h"

#include <sstream>

namespace crash_testing {

namespace {

constexpr int kSmallLines = 63;
constexpr int kLargeLines = 3000;
// Body lines are all this long, CR LF not counted.
constexpr std::size_t kLineLength = 62;
constexpr char kMarkerStart[] = "Message-ID: <";
constexpr char kMarkerEnd[] = ".crash@example.org>";

// The message number that a Message-ID line names, or 0.
int MarkedNumber(const std::string& line) {
  if (!line.starts_with(kMarkerStart) || !line.ends_with(kMarkerEnd)) return 0;
  const std::size_t begin = sizeof kMarkerStart - 1;
  const std::string digits = line.substr(begin, line.size() - begin - (sizeof kMarkerEnd - 1));
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return std::stoi(digits);
}

}  // namespace

std::vector<TestMessage> MakeMailbox(int count) { return MakeMailbox(count, 0); }

std::vector<TestMessage> MakeMailbox(int count, int body_lines) {
  std::vector<TestMessage> mailbox;
  for (int n = 1; n <= count; ++n) {
    const std::string id = std::to_string(n);
    std::vector<std::string> lines = {
        "From: sender" + id + "@example.org",
        "To: u@example.com",
        "Subject: crash test message " + id,
        kMarkerStart + id + kMarkerEnd,
        "",
    };
    const int body = body_lines > 0 ? body_lines : n % 10 == 0 ? kLargeLines : kSmallLines;
    for (int i = 1; i <= body; ++i) {
      std::string line = "message " + id + " line " + std::to_string(i) + " ";
      line.resize(kLineLength, 'x');
      lines.push_back(line);
    }
    TestMessage message;
    message.number = n;
    // The ":" shows in the spool file's name as "_".
    message.uid = "crash:" + id;
    message.spool_name = "crash_" + id;
    for (const std::string& line : lines) {
      message.content += line + "\r\n";
      message.spool_bytes += line + "\n";
    }
    message.spool_bytes += ".\n";
    mailbox.push_back(std::move(message));
  }
  return mailbox;
}

int Deliveries::total() const {
  int sum = 0;
  for (const auto& [number, n] : count) sum += n;
  return sum;
}

int Deliveries::duplicates() const {
  int sum = 0;
  for (const auto& [number, n] : count) sum += n - 1;
  return sum;
}

::testing::AssertionResult EachDeliveredOnce(const Deliveries& deliveries, int messages) {
  if (!deliveries.altered.empty()) {
    return ::testing::AssertionFailure() << deliveries.altered.size() << " delivered altered";
  }
  if (deliveries.duplicates() != 0) {
    return ::testing::AssertionFailure() << deliveries.duplicates() << " delivered twice";
  }
  if (deliveries.total() != messages) {
    return ::testing::AssertionFailure()
           << deliveries.total() << " of " << messages << " messages delivered";
  }
  return ::testing::AssertionSuccess();
}

Deliveries FindDeliveries(const std::vector<TestMessage>& mailbox,
                          const std::vector<std::string>& transcripts) {
  Deliveries found;
  for (const std::string& transcript : transcripts) {
    std::istringstream lines(transcript);
    std::string line;
    bool in_data = false;
    std::string data;
    int number = 0;
    while (std::getline(lines, line)) {
      if (line.ends_with('\r')) line.pop_back();
      if (!in_data) {
        in_data = line == "DATA";
        data.clear();
        number = 0;
        continue;
      }
      if (line != ".") {
        data += line + "\n";
        if (number == 0) number = MarkedNumber(line);
        continue;
      }
      in_data = false;
      data += ".\n";
      if (number >= 1 && number <= static_cast<int>(mailbox.size()) &&
          data == mailbox[static_cast<std::size_t>(number - 1)].spool_bytes) {
        ++found.count[number];
      } else {
        found.altered.push_back(data.substr(0, 200));
      }
    }
  }
  return found;
}

}  // namespace crash_testing
