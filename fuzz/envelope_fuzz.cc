// The header scan and the envelope derivation over an arbitrary spool file.
// Input: one byte for the read size, then the file.
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

bool CommandSafe(const std::string& text) { return text.find_first_of(std::string("\r\0", 2)) == std::string::npos; }

std::size_t Occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t p = text.find(part); p != std::string_view::npos; p = text.find(part, p + part.size())) {
    ++count;
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
  FUZZ_CHECK(CommandSafe(envelope.sender));
  FUZZ_CHECK(!envelope.recipients.empty());
  for (const std::string& recipient : envelope.recipients) {
    FUZZ_CHECK(CommandSafe(recipient));
    FUZZ_CHECK(recipient.find(suffix) != std::string::npos);
  }
  if (envelope.source == RecipientSource::HeaderRecipients) {
    // One recipient for each mention of the domain.
    FUZZ_CHECK(envelope.recipients.size() == Occurrences(RecipientText(fields), suffix));
    for (const std::string& recipient : envelope.recipients) {
      FUZZ_CHECK(recipient.ends_with(suffix));
    }
  } else {
    FUZZ_CHECK(envelope.recipients.size() == 1);
  }
  return 0;
}
