// Access log readers for vell replay: format detection, the three line grammars and a streaming,
// gzip-aware line source that never holds more than one buffer of the file.
#include "tools/access_log.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/arguments.h"

namespace vell::tools {

namespace {

constexpr std::size_t kReadSize = 1 << 20;
constexpr std::size_t kRawReadSize = 256 * 1024;
// A line longer than this is cut and reported; no access log line is legitimately this long.
constexpr std::size_t kMaxLine = 1 << 20;

bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

bool IsMethod(std::string_view word) {
  if (word.empty() || word.size() > 32) return false;
  for (unsigned char c : word) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if ((text[i] | 0x20) != (prefix[i] | 0x20)) return false;
  }
  return true;
}

// The host without a ":port" suffix, as the server names itself; "[v6]:port" keeps its brackets.
std::string_view StripPort(std::string_view host) {
  if (!host.empty() && host[0] == '[') {
    const std::size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  const std::size_t colon = host.find(':');
  if (colon == std::string_view::npos || host.find(':', colon + 1) != std::string_view::npos) {
    return host;
  }
  for (char c : host.substr(colon + 1)) {
    if (c < '0' || c > '9') return host;
  }
  return host.substr(0, colon);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// Reads a quoted field starting just after its opening quote at text[at]; the field ends at the
// first quote not escaped by a backslash. Appends the unescaped text to *out (or points *view into
// text when there is nothing to unescape). Returns the position after the closing quote, or npos.
std::size_t ReadQuoted(std::string_view text, std::size_t at, std::string_view* view,
                       std::string* out) {
  std::size_t i = at;
  bool escaped = false;
  while (i < text.size() && text[i] != '"') {
    if (text[i] == '\\') {
      escaped = true;
      i += 2;
    } else {
      ++i;
    }
  }
  if (i >= text.size()) return std::string_view::npos;
  if (!escaped) {
    *view = text.substr(at, i - at);
    return i + 1;
  }
  const std::size_t start = out->size();
  for (std::size_t j = at; j < i; ++j) {
    if (text[j] != '\\' || j + 1 >= i) {
      out->push_back(text[j]);
      continue;
    }
    const char next = text[++j];
    switch (next) {
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'b': out->push_back('\b'); break;
      case 'v': out->push_back('\v'); break;
      case 'f': out->push_back('\f'); break;
      case 'x':
        if (j + 2 < i && HexValue(text[j + 1]) >= 0 && HexValue(text[j + 2]) >= 0) {
          out->push_back(static_cast<char>(HexValue(text[j + 1]) * 16 + HexValue(text[j + 2])));
          j += 2;
        } else {
          out->push_back('\\');
          out->push_back('x');
        }
        break;
      default: out->push_back(next); break;  // \" and \\ and anything else stand for themselves
    }
  }
  *view = std::string_view(*out).substr(start);
  return i + 1;
}

// Splits "METHOD URL [PROTOCOL]" (the URL may hold spaces when a protocol ends the line).
bool SplitRequestLine(std::string_view text, LogRequest* request, std::string* why) {
  if (text.empty() || text == "-") {
    *why = "empty request line";
    return false;
  }
  const std::size_t first = text.find(' ');
  if (first == std::string_view::npos) {
    *why = "request line has no URL";
    return false;
  }
  const std::string_view method = text.substr(0, first);
  if (!IsMethod(method)) {
    *why = "request line does not start with a method";
    return false;
  }
  std::string_view rest = text.substr(first + 1);
  const std::size_t last = rest.rfind(' ');
  if (last != std::string_view::npos && StartsWith(rest.substr(last + 1), "HTTP/")) {
    rest = rest.substr(0, last);
  }
  if (rest.empty()) {
    *why = "request line has no URL";
    return false;
  }
  request->method = method;
  request->url = rest;
  return true;
}

// Moves the bytes [*begin, *end) of buffer to its front, to make room after them.
void MoveToFront(std::vector<char>& buffer, std::size_t* begin, std::size_t* end) {
  if (*begin == 0) return;
  std::memmove(buffer.data(), buffer.data() + *begin, *end - *begin);
  *end -= *begin;
  *begin = 0;
}

}  // namespace

const char* LogFormatName(LogFormat format) {
  switch (format) {
    case LogFormat::W3C: return "w3c";
    case LogFormat::Combined: return "combined";
    case LogFormat::Common: return "common";
    case LogFormat::UrlList: return "urls";
    case LogFormat::Unknown: break;
  }
  return "unknown";
}

LogFormat ParseLogFormatName(std::string_view name) {
  if (name == "w3c") return LogFormat::W3C;
  if (name == "combined") return LogFormat::Combined;
  if (name == "common") return LogFormat::Common;
  if (name == "urls" || name == "list") return LogFormat::UrlList;
  return LogFormat::Unknown;
}

// ---- W3C extended

bool W3CFields::Set(std::string_view fields, std::string* why) {
  count_ = 0;
  method_ = stem_ = uri_ = query_ = clientIp_ = host_ = serverIp_ = referer_ = userAgent_ = -1;
  std::size_t at = 0;
  while (at < fields.size()) {
    while (at < fields.size() && (fields[at] == ' ' || fields[at] == '\t')) ++at;
    if (at >= fields.size()) break;
    std::size_t end = at;
    while (end < fields.size() && fields[end] != ' ' && fields[end] != '\t') ++end;
    const std::string_view name = fields.substr(at, end - at);
    // Field names are case-insensitive in the format.
    auto is = [&](std::string_view want) {
      return name.size() == want.size() && StartsWithNoCase(name, want);
    };
    if (is("cs-method")) method_ = count_;
    else if (is("cs-uri-stem")) stem_ = count_;
    else if (is("cs-uri")) uri_ = count_;
    else if (is("cs-uri-query")) query_ = count_;
    else if (is("c-ip")) clientIp_ = count_;
    else if (is("cs-host")) host_ = count_;
    else if (is("s-ip")) serverIp_ = count_;
    else if (is("cs(Referer)")) referer_ = count_;
    else if (is("cs(User-Agent)")) userAgent_ = count_;
    ++count_;
    at = end;
  }
  ready_ = stem_ >= 0 || uri_ >= 0;
  if (!ready_) *why = "its #Fields directive names no cs-uri-stem column";
  return ready_;
}

bool W3CFields::Parse(std::string_view line, LogRequest* request, std::string* scratch,
                      std::string* why) {
  columns_.clear();
  // Fields are separated by spaces (IIS) or by tabs; a line with a tab is split at tabs only, so
  // that a value holding a space stays whole.
  const char separator = line.find('\t') != std::string_view::npos ? '\t' : ' ';
  std::size_t at = 0;
  while (true) {
    const std::size_t space = line.find(separator, at);
    columns_.push_back(line.substr(at, space == std::string_view::npos ? space : space - at));
    if (space == std::string_view::npos) break;
    at = space + 1;
  }
  if (static_cast<int>(columns_.size()) != count_) {
    *why = "has " + std::to_string(columns_.size()) + " fields where #Fields names " +
           std::to_string(count_);
    return false;
  }
  auto column = [&](int index, bool* has) -> std::string_view {
    if (index < 0 || columns_[index] == "-") {
      if (has) *has = false;
      return {};
    }
    if (has) *has = true;
    return columns_[index];
  };
  *request = LogRequest{};
  std::string_view stem = stem_ >= 0 ? column(stem_, nullptr) : column(uri_, nullptr);
  if (stem.empty()) {
    *why = "has no URL";
    return false;
  }
  const std::string_view query = column(query_, nullptr);
  if (stem_ >= 0 && !query.empty()) {
    scratch->assign(stem);
    scratch->push_back('?');
    scratch->append(query);
    request->url = *scratch;
  } else {
    request->url = stem;
  }
  bool hasMethod = false;
  request->method = column(method_, &hasMethod);
  if (!hasMethod) request->method = "GET";
  request->clientIp = column(clientIp_, &request->hasClientIp);
  request->host = StripPort(column(host_, &request->hasHost));
  if (!request->hasHost && host_ >= 0) {
    // A request without a Host header: the server names itself by the address it was reached
    // on. (Without a cs-host column at all the log says nothing about the Host.)
    request->host = column(serverIp_, &request->hasHost);
  }
  request->referer = column(referer_, &request->hasReferer);
  request->userAgent = column(userAgent_, &request->hasUserAgent);
  return true;
}

// ---- combined and common

bool ParseCombinedLine(std::string_view line, LogRequest* request, std::string* scratch,
                       std::string* why) {
  *request = LogRequest{};
  scratch->clear();
  const std::size_t firstSpace = line.find(' ');
  if (firstSpace == 0 || firstSpace == std::string_view::npos) {
    *why = "not an access log line";
    return false;
  }
  const std::size_t open = line.find(" [", firstSpace);
  if (open == std::string_view::npos) {
    *why = "no [time] field";
    return false;
  }
  const std::size_t close = line.find("] \"", open);
  if (close == std::string_view::npos) {
    *why = "no quoted request line after the [time] field";
    return false;
  }
  // Room for every unescaped field, so the views into scratch never move.
  scratch->reserve(line.size());
  std::string_view requestLine;
  std::size_t at = ReadQuoted(line, close + 3, &requestLine, scratch);
  if (at == std::string_view::npos) {
    *why = "request line has no closing quote";
    return false;
  }
  if (!SplitRequestLine(requestLine, request, why)) return false;
  request->clientIp = line.substr(0, firstSpace);
  request->hasClientIp = request->clientIp != "-";
  if (!request->hasClientIp) request->clientIp = {};
  // Status and size, then the referer and the user agent of the combined format.
  const std::size_t quote = line.find(" \"", at);
  if (quote != std::string_view::npos) {
    std::string_view referer;
    at = ReadQuoted(line, quote + 2, &referer, scratch);
    if (at != std::string_view::npos) {
      request->hasReferer = referer != "-";
      if (request->hasReferer) request->referer = referer;
      if (at + 1 < line.size() && line[at] == ' ' && line[at + 1] == '"') {
        std::string_view agent;
        if (ReadQuoted(line, at + 2, &agent, scratch) != std::string_view::npos) {
          request->hasUserAgent = agent != "-";
          if (request->hasUserAgent) request->userAgent = agent;
        }
      }
    }
  }
  return true;
}

// ---- URL lists

bool ParseUrlListLine(std::string_view line, LogRequest* request) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return false;
  *request = LogRequest{};
  request->method = "GET";
  request->url = line;
  const std::size_t space = line.find(' ');
  if (space != std::string_view::npos && IsMethod(line.substr(0, space))) {
    std::string why;
    LogRequest split;
    if (SplitRequestLine(line, &split, &why)) {
      request->method = split.method;
      request->url = split.url;
    }
  }
  for (std::string_view scheme : {"http://", "https://"}) {
    if (!StartsWithNoCase(request->url, scheme)) continue;
    const std::string_view rest = request->url.substr(scheme.size());
    const std::size_t slash = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, slash);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority = authority.substr(at + 1);
    request->host = StripPort(authority);
    request->hasHost = true;
    request->url = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    break;
  }
  return true;
}

// ---- detection

LogFormat DetectLogFormat(std::string_view head) {
  int w3c = 0, combined = 0, common = 0, urls = 0, seen = 0;
  std::string scratch, why;
  std::size_t at = 0;
  while (at < head.size() && seen < 50) {
    std::size_t end = head.find('\n', at);
    if (end == std::string_view::npos) {
      // A cut last line in the sample is left out, unless it is all the sample holds.
      if (seen > 0) break;
      end = head.size();
    }
    std::string_view line = head.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    ++seen;
    if (StartsWith(line, "#Fields:") || StartsWith(line, "#Software:") ||
        StartsWith(line, "#Version:") || StartsWith(line, "#Date:")) {
      if (StartsWith(line, "#Fields:")) return LogFormat::W3C;
      ++w3c;
      continue;
    }
    LogRequest request;
    if (ParseCombinedLine(line, &request, &scratch, &why)) {
      ++(request.hasReferer || request.hasUserAgent || line.back() == '"' ? combined : common);
      continue;
    }
    if (line.front() == '/' || StartsWithNoCase(line, "http://") ||
        StartsWithNoCase(line, "https://")) {
      ++urls;
      continue;
    }
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos && IsMethod(line.substr(0, space)) &&
        space + 1 < line.size() && line[space + 1] == '/') {
      ++urls;
    }
  }
  if (w3c > 0) return LogFormat::W3C;
  if (combined + common == 0 && urls == 0) return LogFormat::Unknown;
  if (combined + common >= urls) return combined > 0 ? LogFormat::Combined : LogFormat::Common;
  return LogFormat::UrlList;
}

// ---- line source

LineSource::LineSource() = default;

LineSource::~LineSource() {
  if (inflater_) {
    inflateEnd(static_cast<z_stream*>(inflater_));
    delete static_cast<z_stream*>(inflater_);
  }
  CloseInput(file_);
}

bool LineSource::Open(const std::string& path, std::string* error) {
  file_ = OpenInput(path, error);
  if (!file_) return false;
  std::error_code ec;
  if (path != "-" && std::filesystem::is_regular_file(path, ec)) {
    fileSize_ = std::filesystem::file_size(path, ec);
    if (ec) fileSize_ = 0;
  }
  raw_.resize(kRawReadSize);
  buffer_.resize(kReadSize);
  // The magic bytes are looked at in what was read, never by reading again: a pipe cannot rewind.
  ReadRaw();
  compressed_ = rawEnd_ - rawBegin_ >= 2 && static_cast<unsigned char>(raw_[rawBegin_]) == 0x1f &&
                static_cast<unsigned char>(raw_[rawBegin_ + 1]) == 0x8b;
  if (compressed_) {
    auto* stream = new z_stream{};
    // 16 + MAX_WBITS: gzip framing only, as zcat reads it.
    if (inflateInit2(stream, 16 + MAX_WBITS) != Z_OK) {
      delete stream;
      *error = "inflateInit2() failed";
      return false;
    }
    inflater_ = stream;
  }
  return true;
}

// Reads more of the input after what is left of raw_. False at its end or on a read error.
bool LineSource::ReadRaw() {
  if (rawEof_) return false;
  MoveToFront(raw_, &rawBegin_, &rawEnd_);
  errno = 0;
  const std::size_t got = std::fread(raw_.data() + rawEnd_, 1, raw_.size() - rawEnd_, file_);
  rawEnd_ += got;
  rawBytes_ += got;
  if (got == 0) {
    rawEof_ = true;
    if (std::ferror(file_)) error_ = std::string("read failed: ") + std::strerror(errno != 0 ? errno : EIO);
  }
  return got > 0;
}

// Decompresses into up to room bytes at the end of buffer_. False when the data ended or broke
// off; what it gave before that is in *produced either way.
bool LineSource::Inflate(std::size_t room, std::size_t* produced) {
  z_stream* stream = static_cast<z_stream*>(inflater_);
  *produced = 0;
  while (*produced == 0) {
    if (rawBegin_ == rawEnd_ && !ReadRaw()) {
      if (error_.empty() && !memberEnded_) {
        error_ = "the gzip data ends before its compressed stream does (truncated?)";
      }
      return false;
    }
    if (memberEnded_) {
      // After a member: another member, or the end. Zero bytes (padding) are let pass, as gzip
      // lets them; anything else is data that is not read.
      while (rawEnd_ - rawBegin_ < 2 && ReadRaw()) {
      }
      const unsigned char* next = reinterpret_cast<const unsigned char*>(raw_.data() + rawBegin_);
      const std::size_t left = rawEnd_ - rawBegin_;
      if (left >= 2 && next[0] == 0x1f && next[1] == 0x8b) {
        inflateReset(stream);
        memberEnded_ = false;
      } else if (std::all_of(next, next + left, [](unsigned char c) { return c == 0; })) {
        rawBegin_ = rawEnd_;
        continue;
      } else {
        error_ = "data after the end of the gzip stream is not gzip; it is not read";
        return false;
      }
    }
    stream->next_in = reinterpret_cast<Bytef*>(raw_.data() + rawBegin_);
    stream->avail_in = static_cast<uInt>(rawEnd_ - rawBegin_);
    stream->next_out = reinterpret_cast<Bytef*>(buffer_.data() + end_);
    stream->avail_out = static_cast<uInt>(room);
    const int status = inflate(stream, Z_NO_FLUSH);
    rawBegin_ = rawEnd_ - stream->avail_in;
    *produced = room - stream->avail_out;
    if (status == Z_STREAM_END) {
      memberEnded_ = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      error_ = std::string("the gzip data is corrupt: ") + (stream->msg ? stream->msg : "inflate() failed");
      return false;
    }
  }
  return true;
}

// Moves the unread rest to the front and reads more after it. False when nothing more came.
bool LineSource::Fill() {
  if (eof_) return false;
  MoveToFront(buffer_, &begin_, &end_);
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  const std::size_t room = buffer_.size() - end_;
  std::size_t got = 0;
  if (compressed_) {
    if (!Inflate(room, &got)) eof_ = true;
  } else {
    // What Open read to look for the magic bytes comes first.
    if (rawBegin_ == rawEnd_) ReadRaw();
    got = std::min(room, rawEnd_ - rawBegin_);
    std::memcpy(buffer_.data() + end_, raw_.data() + rawBegin_, got);
    rawBegin_ += got;
    if (got == 0) eof_ = true;
  }
  end_ += got;
  return got > 0;
}

std::string_view LineSource::Peek(std::size_t max) {
  while (end_ - begin_ < max && Fill()) {
    if (buffer_.size() >= kMaxLine && end_ == buffer_.size()) break;
  }
  return std::string_view(buffer_.data() + begin_, std::min(max, end_ - begin_));
}

bool LineSource::Next(std::string_view* line) {
  overlong_ = false;
  while (true) {
    const char* start = buffer_.data() + begin_;
    const void* newline = std::memchr(start, '\n', end_ - begin_);
    if (newline) {
      const std::size_t length = static_cast<const char*>(newline) - start;
      begin_ += length + 1;
      if (skipping_) {
        // The tail of a line already returned cut.
        skipping_ = false;
        continue;
      }
      *line = std::string_view(start, length);
      if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
      ++lineNumber_;
      return true;
    }
    if (end_ - begin_ >= kMaxLine) {
      if (skipping_) {
        begin_ = end_;
        continue;
      }
      *line = std::string_view(start, kMaxLine);
      begin_ = end_;
      skipping_ = true;
      overlong_ = true;
      ++lineNumber_;
      return true;
    }
    if (Fill()) continue;
    if (begin_ == end_ || skipping_) {
      begin_ = end_;
      return false;
    }
    // A last line without its line end, or the piece of one where the data broke off (which
    // error() reports), as zcat gives it.
    *line = std::string_view(buffer_.data() + begin_, end_ - begin_);
    begin_ = end_;
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    ++lineNumber_;
    return true;
  }
}

// ---- the reader

bool AccessLogReader::Open(const std::string& path, LogFormat forced, std::string* error) {
  if (!source_.Open(path, error)) return false;
  format_ = forced;
  if (format_ == LogFormat::Unknown) {
    const std::string_view head = source_.Peek(64 * 1024);
    if (head.empty()) {
      // An empty file holds no requests in any format; a file that cannot be read says why.
      format_ = LogFormat::UrlList;
      if (!source_.error().empty()) {
        *error = source_.error();
        return false;
      }
      return true;
    }
    format_ = DetectLogFormat(head);
    if (format_ == LogFormat::Unknown) {
      *error = "cannot tell the log format from the first lines (use --log-format)";
      return false;
    }
  }
  return true;
}

void AccessLogReader::CountMalformed(std::uint64_t line, std::string reason) {
  ++malformed_;
  if (firstMalformed_.size() < kMalformedKept) firstMalformed_.push_back({line, std::move(reason)});
}

bool AccessLogReader::Next(LogRequest* request) {
  std::string_view line;
  while (source_.Next(&line)) {
    const std::uint64_t number = source_.lineNumber();
    if (source_.overlong()) {
      CountMalformed(number, "line longer than " + std::to_string(kMaxLine) + " bytes");
      continue;
    }
    if (line.find('\0') != std::string_view::npos) {
      CountMalformed(number, "line holds a NUL byte");
      continue;
    }
    bool parsed = false;
    switch (format_) {
      case LogFormat::W3C:
        if (!line.empty() && line.front() == '#') {
          if (StartsWith(line, "#Fields:")) {
            fieldsLine_ = number;
            fieldsProblem_.clear();
            fields_.Set(line.substr(8), &fieldsProblem_);
          }
          continue;
        }
        if (line.empty()) continue;
        if (!fields_.ready()) {
          CountMalformed(number, fieldsLine_ == 0
                                     ? std::string("data line before any #Fields directive")
                                     : "line " + std::to_string(fieldsLine_) + ": " + fieldsProblem_);
          continue;
        }
        parsed = fields_.Parse(line, request, &scratch_, &why_);
        break;
      case LogFormat::Combined:
      case LogFormat::Common:
        if (line.empty()) continue;
        parsed = ParseCombinedLine(line, request, &scratch_, &why_);
        break;
      case LogFormat::UrlList:
      case LogFormat::Unknown:
        if (!ParseUrlListLine(line, request)) continue;
        parsed = true;
        break;
    }
    if (!parsed) {
      CountMalformed(number, why_);
      continue;
    }
    // An escape in the request line can stand for a NUL, which no server takes in a request.
    if (request->url.find('\0') != std::string_view::npos ||
        request->method.find('\0') != std::string_view::npos) {
      CountMalformed(number, "request line holds a NUL byte");
      continue;
    }
    request->line = number;
    return true;
  }
  return false;
}

}  // namespace vell::tools
