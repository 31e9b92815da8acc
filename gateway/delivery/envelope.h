// Recipient resolution: the SMTP envelope of one spool message file, derived
// from its header and the settings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The characters that end a mailbox name read outwards from an "@". TAB and
// parentheses are not among them.
inline constexpr std::string_view AddressDelimiters = "=',\";:>< ";

// What the header scan yields; all upper-case, empty when not found.
struct HeaderFields {
  std::string ForAddress;        // "for" clause of a Received line naming the local domain
  std::string ToText;            // first To field, continuation lines included
  std::string ApparentlyToText;  // first Apparently-To field, continuation lines included
  std::string CcText;            // first Cc field, continuation lines included
  std::string FromText;          // last From field, first line only
  // The provider's record of the envelope recipient: the field that
  // envelopeheader names, the EnvelopeHeaderNumber-th of that name from the
  // top, continuation lines included. Empty without the setting.
  std::string EnvelopeText;
};

enum class RecipientSource {
  HeaderRecipients,   // every local address of RecipientText
  FallbackRecipient,  // one address from the Received line, MailList or "UNDELIVERABLE"
};

struct DeliveryEnvelope {
  std::string sender;                   // empty: the fixed sender
  std::vector<std::string> recipients;  // one or more, in order
  RecipientSource source = RecipientSource::FallbackRecipient;
  // True when envelopeheader is set but its field is missing or names no
  // usable local address, so that the header's own fields decided.
  bool envelope_field_missed = false;
};

// Scans the header of the file (up to its first empty line) in four passes,
// and one more for the provider's envelope field when envelopeheader is set.
// A file that cannot be opened yields empty fields.
HeaderFields ScanHeader(const std::string& path);
// ToText, ApparentlyToText and CcText joined by single blanks.
std::string RecipientText(const HeaderFields& fields);
// Sender and recipients by the rules of the site's domain (DomainSuffix) and
// the local address list (MailList). Never fails. The provider's envelope
// field, where it names a local address, decides the recipients before all
// other rules. Each recipient is listed once, where it first occurs. Only
// plain addresses reach the envelope: a header address counts where the
// domain ends it and its mailbox name is one word of printable bytes without
// a routing character (@ % ! and the like); a sender that is not one such
// word is replaced by the fixed sender. So a header can neither route mail
// out of the domain nor add parameters to a command.
DeliveryEnvelope DeriveEnvelope(const HeaderFields& fields);
// DeriveEnvelope(ScanHeader(path)).
DeliveryEnvelope BuildEnvelope(const std::string& path);
