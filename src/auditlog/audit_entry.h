// One audit log entry and its two line formats: the W3C-style line of four (five) fields joined by
// ", ", and a JSON object a line. Formatting is pure: it reads no clock and touches no file.
#ifndef VELL_AUDITLOG_AUDIT_ENTRY_H_
#define VELL_AUDITLOG_AUDIT_ENTRY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vell {

// What the request path knows of one logged hit. The texts are the caller's and need to live only
// for the call that writes the entry; any bytes of any length.
struct AuditEntry {
  std::string_view ruleName;       // "" for rules without a name
  std::string_view ruleKind;       // "BFilter", "CFilter", "SFilter", "DFilter", ...
  std::string_view clientAddress;  // REMOTE_ADDR
  std::string_view host;           // SERVER_NAME
  std::string_view method;         // REQUEST_METHOD
  std::string_view url;            // the "url" header as it arrived
  std::string_view matched;        // the text that matched (cut to kAuditMatchedLimit)
  std::string_view form;           // deep rules: which decoded form or argument
  std::string_view action;         // "deny", "redirect", "log"
  bool enforced = true;            // false: detection-only mode held the verdict back
};

// The longest matched text an entry carries; the rest is cut off.
inline constexpr std::size_t kAuditMatchedLimit = 1024;

// The outcome the W3C field x-action and JSON readers see: the action when it was enforced or is
// "log", otherwise "would-" and the action ("would-deny", "would-redirect").
std::string AuditOutcome(const AuditEntry& entry);

// The W3C line: time, rule name, client address and URL joined by ", ", and with detectionOnly the
// outcome as a fifth field; ended by CR LF. Bytes below 0x20 and 0x7F are written as %XX (upper
// case hex), so an entry is always one line; every other byte, "%" and "," included, as it is.
std::string FormatW3CEntry(const AuditEntry& entry, std::string_view timestamp, bool detectionOnly);

// The four header lines, each ended by CR LF: software, version, "#Date: " with timestamp, and the
// fields ("..., cs-uri-query, x-action" with detectionOnly).
std::string FormatW3CHeader(std::string_view timestamp, bool detectionOnly);

// The JSON line: one object with the members time (ISO 8601 UTC, milliseconds), rule, kind,
// client, host, method, url, matched, form, action (the outcome above) and enforced, in this
// order, ended by LF.
std::string FormatJsonEntry(const AuditEntry& entry, const platform::UtcTime& time);

// The note that takes the place of entries that could not be written: "#Remark: N entries lost
// (why)" with CR LF, or a JSON object with time, lost and error and LF.
std::string FormatLostNote(uint64_t lost, std::string_view why, bool json,
                           const platform::UtcTime& time);

// "2005-03-07T09:05:03.042Z".
std::string FormatIsoTimestamp(const platform::UtcTime& time);

// Appends text to out as a JSON string with its quotes. Quotes, backslashes and bytes below 0x20
// and 0x7F are escaped; valid UTF-8 is copied as it is; every byte that is not part of a valid
// UTF-8 sequence is written as \u00XX, the character with the byte's value, so that no byte is
// lost (a reader that needs the bytes maps those characters back).
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace vell

#endif  // VELL_AUDITLOG_AUDIT_ENTRY_H_
