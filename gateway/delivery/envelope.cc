#include "gateway/delivery/envelope.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "platform/text_file.h"

namespace {

constexpr std::size_t kMaxLineChars = 999;
constexpr std::size_t kMaxNameChars = 99;
// The sender's domain part ends before this position of FromText.
constexpr std::size_t kFromDomainEnd = 100;
constexpr std::string_view kForClause = "FOR <";

bool IsAddressDelimiter(char c) { return AddressDelimiters.find(c) != std::string_view::npos; }

// Bytes that a mailbox name on the envelope never holds besides blanks and
// control bytes: they route mail onwards (@ % !) or belong to quoting,
// comments, routes, lists and command parameters.
constexpr std::string_view kRoutingChars = "@%!\"(),:;<>[\\]";

// A byte of one SMTP command word: 0x21 to 0x7E.
bool IsWordByte(char c) { return c >= '\x21' && c <= '\x7e'; }

// A mailbox name the envelope may carry: one word of printable bytes without
// any routing character, so that the server can deliver it nowhere but in
// the site's own domain.
bool IsPlainMailboxName(std::string_view name) {
  return !name.empty() && std::ranges::all_of(name, [](char c) {
    return IsWordByte(c) && kRoutingChars.find(c) == std::string_view::npos;
  });
}

// A sender the envelope may carry: one word with exactly one "@" whose local
// part is a plain mailbox name. Anything else would add command parameters
// or a route of its own to MAIL FROM.
bool IsPlainSender(std::string_view sender) {
  const std::size_t at = sender.find('@');
  return at != std::string_view::npos && sender.find('@', at + 1) == std::string_view::npos &&
         std::ranges::all_of(sender, IsWordByte) &&
         (at == 0 || IsPlainMailboxName(sender.substr(0, at)));
}

// True when the byte at position after (if any) cannot go on a domain name:
// the domain found just before it ends there. Letters, digits, "." and "-"
// go on one, and so do bytes above 0x7E, the letters of a domain written in
// UTF-8.
bool DomainEndsAt(std::string_view text, std::size_t after) {
  if (after >= text.size()) return true;
  const char c = text[after];
  const bool letter_or_digit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                               (c >= '0' && c <= '9');
  return !letter_or_digit && c != '.' && c != '-' && static_cast<unsigned char>(c) < 0x80;
}

// The text from position skip on; empty when it is shorter.
std::string Tail(const std::string& text, std::size_t skip) {
  return skip < text.size() ? text.substr(skip) : std::string();
}

// One pass over the header: visit(line, file) gets each line, upper-cased,
// up to the end of the file or the first empty line; it returns false to end
// the pass early.
template <typename Visit>
void ScanPass(const std::string& path, Visit visit) {
  platform::TextFile file;
  if (!file.Open(path)) return;
  std::string line;
  while (file.ReadLine(&line, kMaxLineChars) && !line.empty()) {
    if (!visit(UpperCase(line), file)) return;
  }
}

// A field's text: its first line without the first skip characters, then
// each continuation line with a blank on either side. A line that begins with
// a blank or a TAB continues the field whatever it holds; another line
// continues it when it holds no colon. The field ends at a line that is
// empty, begins another field or cannot be read.
std::string ReadField(const std::string& first_line, std::size_t skip, platform::TextFile& file) {
  std::string text = Tail(first_line, skip);
  std::string line;
  while (file.ReadLine(&line, kMaxLineChars) && !line.empty()) {
    line = UpperCase(line);
    const bool folded = line.front() == ' ' || line.front() == '\t';
    if (!folded && line.find(':') != std::string::npos) break;
    text += ' ' + line + ' ';
  }
  return text;
}

// Finds the number-th field named by prefix, counted from the top, and
// stores its text; the pass ends after it, so no later field of the name
// counts.
void ScanField(const std::string& path, std::string_view prefix, std::size_t skip,
               std::string* text, int number = 1) {
  int seen = 0;
  ScanPass(path, [&](const std::string& line, platform::TextFile& file) {
    if (!line.starts_with(prefix) || ++seen < number) return true;
    *text = ReadField(line, skip, file);
    return false;
  });
}

// The mailbox name that ends at position end of text: at most 99 characters
// going left, up to the first address delimiter or the start.
std::string MailboxBefore(std::string_view text, std::size_t end) {
  std::size_t begin = end;
  while (begin > 0 && end - begin < kMaxNameChars && !IsAddressDelimiter(text[begin - 1])) {
    --begin;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string Sender(const std::string& from) {
  if (from.find('@') == std::string::npos) return std::string();
  const std::size_t open = from.find('<');
  if (open != std::string::npos) {
    const std::size_t close = from.find('>', open + 1);
    return from.substr(open + 1, close == std::string::npos ? close : close - open - 1);
  }
  const std::size_t at = from.rfind('@');
  std::size_t end = at + 1;
  while (end < from.size() && end < kFromDomainEnd && !IsAddressDelimiter(from[end])) ++end;
  return MailboxBefore(from, at) + '@' + from.substr(at + 1, end - at - 1);
}

void ReplaceFirst(std::string* text, char from, char to) {
  const std::size_t position = text->find(from);
  if (position != std::string::npos) (*text)[position] = to;
}

// Removes CR and NUL: a header must not end a command line early or put a
// command of its own on the wire.
std::string CommandSafe(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\0'; });
  return text;
}

// Every usable local address of the text, each once, in the order of its
// first occurrence (compared in upper case, so "postmaster" is POSTMASTER):
// each occurrence of the domain where an address ends, with the mailbox name
// before it. An occurrence whose name is no plain mailbox name is passed
// over.
std::vector<std::string> LocalAddresses(std::string_view rest, const std::string& suffix) {
  std::vector<std::string> addresses;
  const auto listed = [&](const std::string& address) {
    return std::ranges::any_of(addresses, [&](const std::string& known) {
      return UpperCase(known) == UpperCase(address);
    });
  };
  for (std::size_t p = rest.find(suffix); p != std::string_view::npos; p = rest.find(suffix)) {
    const std::size_t after = p + suffix.size();
    if (DomainEndsAt(rest, after)) {
      std::string mailbox = Trim(MailboxBefore(rest, p));
      if (mailbox.empty()) mailbox = "postmaster";
      mailbox = CommandSafe(std::move(mailbox));
      if (IsPlainMailboxName(mailbox) && !listed(mailbox + suffix)) {
        addresses.push_back(mailbox + suffix);
      }
    }
    rest.remove_prefix(after);
  }
  return addresses;
}

// The Received line's address when it is one plain local address.
bool IsLocalForAddress(const std::string& address, const std::string& suffix) {
  return address.size() > suffix.size() && address.ends_with(suffix) &&
         IsPlainMailboxName(std::string_view(address).substr(0, address.size() - suffix.size()));
}

// The recipients and their source; the first rule that applies decides.
void ResolveRecipients(const HeaderFields& fields, DeliveryEnvelope* envelope) {
  const std::string& suffix = GatewaySettings.DomainSuffix;
  if (!GatewaySettings.envelopeheader.empty()) {
    envelope->recipients = LocalAddresses(fields.EnvelopeText, suffix);
    if (!envelope->recipients.empty()) {
      envelope->source = RecipientSource::HeaderRecipients;
      return;
    }
    envelope->envelope_field_missed = true;
  }
  const std::string text = RecipientText(fields);
  envelope->recipients = LocalAddresses(text, suffix);
  if (!envelope->recipients.empty()) {
    envelope->source = RecipientSource::HeaderRecipients;
    return;
  }
  envelope->source = RecipientSource::FallbackRecipient;
  const std::string for_address = CommandSafe(fields.ForAddress);
  if (IsLocalForAddress(for_address, suffix)) {
    envelope->recipients.push_back(for_address);
    return;
  }
  for (int i = 0; i < GatewaySettings.MailListCount; ++i) {
    std::string entry = GatewaySettings.MailList[i];
    if (text.find(entry) == std::string::npos) continue;
    ReplaceFirst(&entry, '@', '_');
    ReplaceFirst(&entry, ' ', '_');
    envelope->recipients.push_back(entry + suffix);
    return;
  }
  envelope->recipients.push_back("UNDELIVERABLE" + suffix);
}

}  // namespace

HeaderFields ScanHeader(const std::string& path) {
  HeaderFields fields;
  const std::string& suffix = GatewaySettings.DomainSuffix;
  // Received lines and the first To field; the pass ends with that field.
  ScanPass(path, [&](const std::string& line, platform::TextFile& file) {
    const std::size_t clause = line.find(kForClause);
    if (clause != std::string::npos && line.find(suffix) != std::string::npos) {
      const std::size_t close = line.find('>');
      const std::size_t begin = clause + kForClause.size();
      fields.ForAddress = close == std::string::npos || close < clause
                              ? std::string()
                              : line.substr(begin, close - begin);
    }
    if (!line.starts_with("TO:")) return true;
    fields.ToText = ReadField(line, 4, file);
    return false;
  });
  ScanField(path, "APPARENTLY-TO:", 15, &fields.ApparentlyToText);
  ScanField(path, "CC:", 4, &fields.CcText);
  // The provider's envelope field: all of its text after the colon, with a
  // blank after the colon or without one.
  if (const std::string& name = GatewaySettings.envelopeheader; !name.empty()) {
    ScanField(path, name + ':', name.size() + 1, &fields.EnvelopeText,
              GatewaySettings.EnvelopeHeaderNumber);
  }
  // Every From line, so that the last one wins.
  ScanPass(path, [&](const std::string& line, platform::TextFile&) {
    if (line.starts_with("FROM:")) fields.FromText = Tail(line, 6);
    return true;
  });
  return fields;
}

std::string RecipientText(const HeaderFields& fields) {
  return fields.ToText + ' ' + fields.ApparentlyToText + ' ' + fields.CcText;
}

DeliveryEnvelope DeriveEnvelope(const HeaderFields& fields) {
  DeliveryEnvelope envelope;
  envelope.sender = CommandSafe(Sender(fields.FromText));
  if (!IsPlainSender(envelope.sender)) envelope.sender.clear();
  ResolveRecipients(fields, &envelope);
  for (std::string& recipient : envelope.recipients) recipient = CommandSafe(recipient);
  return envelope;
}

DeliveryEnvelope BuildEnvelope(const std::string& path) { return DeriveEnvelope(ScanHeader(path)); }
