// The audit log's line formats: W3C-style fields with control bytes escaped, and JSON lines.
#include "auditlog/audit_entry.h"

#include <cstdio>

namespace vell {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kCrLf[] = "\r\n";

void AppendHexByte(std::string& out, unsigned char byte) {
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// Appends text, each run of bytes that need no escaping in one piece (URLs are mostly such runs).
template <typename Plain, typename Escape>
void AppendEscaped(std::string& out, std::string_view text, Plain plain, Escape escape) {
  std::size_t run = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (plain(static_cast<unsigned char>(text[at]))) {
      ++at;
      continue;
    }
    out.append(text, run, at - run);
    at = escape(at);
    run = at;
  }
  out.append(text, run, text.size() - run);
}

void AppendW3CField(std::string& out, std::string_view text) {
  AppendEscaped(
      out, text, [](unsigned char byte) { return !IsControl(byte); },
      [&](std::size_t at) {
        out += '%';
        AppendHexByte(out, static_cast<unsigned char>(text[at]));
        return at + 1;
      });
}

// The length of the valid UTF-8 sequence that starts at text[at] (2 to 4), or 0 when the bytes
// there are not one: no overlong forms, no surrogates, nothing beyond U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

void AppendJsonMember(std::string& out, const char* name, std::string_view value) {
  out += ",\"";
  out += name;
  out += "\":";
  AppendJsonString(out, value);
}

}  // namespace

std::string AuditOutcome(const AuditEntry& entry) {
  if (entry.enforced || entry.action == "log") return std::string(entry.action);
  return "would-" + std::string(entry.action);
}

std::string FormatW3CEntry(const AuditEntry& entry, std::string_view timestamp, bool detectionOnly) {
  std::string line;
  line.reserve(timestamp.size() + entry.ruleName.size() + entry.clientAddress.size() +
               entry.url.size() + 32);
  AppendW3CField(line, timestamp);
  line += ", ";
  AppendW3CField(line, entry.ruleName);
  line += ", ";
  AppendW3CField(line, entry.clientAddress);
  line += ", ";
  AppendW3CField(line, entry.url);
  if (detectionOnly) {
    line += ", ";
    line += AuditOutcome(entry);
  }
  line += kCrLf;
  return line;
}

std::string FormatW3CHeader(std::string_view timestamp, bool detectionOnly) {
  std::string header;
  header += "#Software: Orvanta IIS Application Security Firewall";
  header += kCrLf;
  header += "#Version: 1.0. Please report issues to security@vell.invalid";
  header += kCrLf;
  header += "#Date: ";
  header += timestamp;
  header += kCrLf;
  header += "#Fields: time, filter-name, c-ip, cs-uri-query";
  if (detectionOnly) header += ", x-action";
  header += kCrLf;
  return header;
}

std::string FormatIsoTimestamp(const platform::UtcTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string FormatJsonEntry(const AuditEntry& entry, const platform::UtcTime& time) {
  const std::string_view matched = entry.matched.substr(0, kAuditMatchedLimit);
  std::string line;
  line.reserve(entry.url.size() + matched.size() + 256);
  line += "{\"time\":\"";
  line += FormatIsoTimestamp(time);
  line += '"';
  AppendJsonMember(line, "rule", entry.ruleName);
  AppendJsonMember(line, "kind", entry.ruleKind);
  AppendJsonMember(line, "client", entry.clientAddress);
  AppendJsonMember(line, "host", entry.host);
  AppendJsonMember(line, "method", entry.method);
  AppendJsonMember(line, "url", entry.url);
  AppendJsonMember(line, "matched", matched);
  AppendJsonMember(line, "form", entry.form);
  AppendJsonMember(line, "action", AuditOutcome(entry));
  line += entry.enforced ? ",\"enforced\":true}\n" : ",\"enforced\":false}\n";
  return line;
}

std::string FormatLostNote(uint64_t lost, std::string_view why, bool json,
                           const platform::UtcTime& time) {
  std::string note;
  if (json) {
    note += "{\"time\":\"" + FormatIsoTimestamp(time) + "\",\"lost\":" + std::to_string(lost);
    AppendJsonMember(note, "error", why);
    note += "}\n";
  } else {
    note += "#Remark: " + std::to_string(lost) + (lost == 1 ? " entry" : " entries") + " lost (";
    AppendW3CField(note, why);
    note += ")";
    note += kCrLf;
  }
  return note;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  AppendEscaped(
      out, text,
      [](unsigned char byte) { return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\'; },
      [&](std::size_t at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
          const std::size_t length = Utf8SequenceLength(text, at);
          if (length > 0) {
            out.append(text, at, length);
            return at + length;
          }
          out += "\\u00";
          AppendHexByte(out, byte);
        } else if (byte == '"' || byte == '\\') {
          out += '\\';
          out += static_cast<char>(byte);
        } else if (byte == '\n') {
          out += "\\n";
        } else if (byte == '\r') {
          out += "\\r";
        } else if (byte == '\t') {
          out += "\\t";
        } else {
          out += "\\u00";
          AppendHexByte(out, byte);
        }
        return at + 1;
      });
  out += '"';
}

}  // namespace vell
