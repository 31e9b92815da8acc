// The header scan and the envelope derivation over an arbitrary spool file:
// whatever the header holds, the envelope names only plain addresses of the
// local domain and a plain sender, each one SMTP command word.
// Input: one byte for the read size, then the file.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_machine.h"
#include "gateway/control/settings.h"
#include "gateway/delivery/envelope.h"

namespace {
FuzzMachine& Machine() {
  static FuzzMachine machine;
  return machine;
}

bool SameFields(const HeaderFields& a, const HeaderFields& b) {
  return a.ForAddress == b.ForAddress && a.ToText == b.ToText &&
         a.ApparentlyToText == b.ApparentlyToText && a.CcText == b.CcText &&
         a.FromText == b.FromText;
}

bool HasLowerCase(const std::string& text) {
  return text.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos;
}

// One SMTP command word: every byte from 0x21 to 0x7E.
bool OneWord(std::string_view text) {
  for (const char c : text) {
    if (c < '\x21' || c > '\x7e') return false;
  }
  return true;
}

// A mailbox name that no server routes anywhere else: no "@", "%" or "!",
// nothing that quotes, comments, routes or lists.
bool PlainName(std::string_view name) {
  return !name.empty() && OneWord(name) && name.find_first_of("@%!\"(),:;<>[\\]") == std::string_view::npos;
}

// Occurrences of the domain after which no letter, digit, ".", "-" or
// eight-bit byte goes on: where an address ends.
std::size_t EndingOccurrences(std::string_view text, std::string_view domain) {
  std::size_t count = 0;
  for (std::size_t p = text.find(domain); p != std::string_view::npos;
       p = text.find(domain, p + domain.size())) {
    const std::size_t after = p + domain.size();
    const unsigned char next = after < text.size() ? static_cast<unsigned char>(text[after]) : ' ';
    if (next < 0x80 && !std::isalnum(next) && next != '.' && next != '-') ++count;
  }
  return count;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  FuzzMachine& machine = Machine();
  GatewaySettings.DomainSuffix = "@EXAMPLE.COM";
  GatewaySettings.MailList[0] = "SALES";
  GatewaySettings.MailList[1] = "INFO@OTHER.NET";
  GatewaySettings.MailList[2] = "JOHN DOE";
  GatewaySettings.MailListCount = 3;
  machine.WriteFile("spool", std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  const std::string path = (machine.dir() / "spool").string();

  machine.SetReadLimit(0);
  const HeaderFields whole = ScanHeader(path);
  machine.SetReadLimit(data[0] % 16 + 1);
  const HeaderFields fields = ScanHeader(path);
  // The fields do not depend on how the file arrives from the disk.
  FUZZ_CHECK(SameFields(whole, fields));
  for (const std::string* text : {&fields.ForAddress, &fields.ToText, &fields.ApparentlyToText,
                                  &fields.CcText, &fields.FromText}) {
    FUZZ_CHECK(!HasLowerCase(*text));
  }

  const DeliveryEnvelope envelope = DeriveEnvelope(fields);
  const std::string& suffix = GatewaySettings.DomainSuffix;
  // The sender is the fixed one or one word with one "@" after a plain name.
  if (!envelope.sender.empty()) {
    const std::size_t at = envelope.sender.find('@');
    FUZZ_CHECK(OneWord(envelope.sender));
    FUZZ_CHECK(at != std::string::npos && envelope.sender.find('@', at + 1) == std::string::npos);
    FUZZ_CHECK(at == 0 || PlainName(std::string_view(envelope.sender).substr(0, at)));
  }
  // No recipient outside the local domain: each is a plain name and the
  // domain (the address list's entries here are plain once mapped).
  FUZZ_CHECK(!envelope.recipients.empty());
  for (const std::string& recipient : envelope.recipients) {
    FUZZ_CHECK(OneWord(recipient));
    FUZZ_CHECK(recipient.size() > suffix.size() && recipient.ends_with(suffix));
    FUZZ_CHECK(PlainName(std::string_view(recipient).substr(0, recipient.size() - suffix.size())));
  }
  if (envelope.source == RecipientSource::HeaderRecipients) {
    // At most one recipient for each address that ends with the domain.
    FUZZ_CHECK(envelope.recipients.size() <= EndingOccurrences(RecipientText(fields), suffix));
  } else {
    FUZZ_CHECK(envelope.recipients.size() == 1);
  }
  return 0;
}
