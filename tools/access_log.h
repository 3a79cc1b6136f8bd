// Readers for web server access logs: IIS W3C extended, Apache/nginx combined and common, and plain
// lists of URLs, plain or gzip-compressed, streamed line by line in constant memory.
#ifndef VELL_TOOLS_ACCESS_LOG_H_
#define VELL_TOOLS_ACCESS_LOG_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vell::tools {

enum class LogFormat { Unknown, W3C, Combined, Common, UrlList };

// "w3c", "combined", "common", "urls", "unknown".
const char* LogFormatName(LogFormat format);
// The format named by one of the words above ("urls" also as "list"); Unknown for any other word.
LogFormat ParseLogFormatName(std::string_view name);

// One request as the log records it. The views point into the reader's buffers and stay valid
// until the next call that reads or parses a line. Fields the log does not carry are empty and
// their has* flag is false.
struct LogRequest {
  std::uint64_t line = 0;      // 1-based line number in the (decompressed) file
  std::string_view method;     // "GET" when the log does not record the method
  std::string_view url;        // path and, when present, "?" and the query
  std::string_view clientIp;
  std::string_view host;       // the Host the client named, port removed
  std::string_view referer;
  std::string_view userAgent;
  bool hasClientIp = false;
  bool hasHost = false;
  bool hasReferer = false;
  bool hasUserAgent = false;
};

// Guesses the format from the first lines of a file (its decompressed start): a W3C directive
// decides at once; otherwise the format that most of the first lines parse as. Unknown when no line
// parses as any format.
LogFormat DetectLogFormat(std::string_view head);

// The column layout of a W3C extended log, set by each "#Fields:" directive.
class W3CFields {
 public:
  // Reads the directive's text after "#Fields:". Returns false, with the reason in *why, when the
  // list names no URL column (cs-uri-stem or cs-uri); lines under it are then malformed.
  bool Set(std::string_view fields, std::string* why);
  bool ready() const { return ready_; }
  // Parses one data line; false, with the reason in *why, when it does not fit the columns.
  bool Parse(std::string_view line, LogRequest* request, std::string* scratch, std::string* why);

 private:
  int count_ = 0;
  int method_ = -1, stem_ = -1, uri_ = -1, query_ = -1, clientIp_ = -1, host_ = -1,
      serverIp_ = -1, referer_ = -1, userAgent_ = -1;
  bool ready_ = false;
  std::vector<std::string_view> columns_;
};

// Parses one combined or common log line. The request line may carry the escapes that Apache and
// nginx write (\" \\ \xHH \n \t ...). False, with the reason in *why, for a line that is not one
// or whose request line is not "METHOD URL [PROTOCOL]".
bool ParseCombinedLine(std::string_view line, LogRequest* request, std::string* scratch,
                       std::string* why);

// Parses one line of a URL list: "URL", "METHOD URL [PROTOCOL]" or an absolute "http://host/path".
// False for a blank line or a "#" comment (not a request, not malformed either).
bool ParseUrlListLine(std::string_view line, LogRequest* request);

// Streams the lines of a plain or gzip-compressed input through a fixed buffer. The input is read
// once, front to back, from the descriptor opened for it, so a pipe, a FIFO, /dev/stdin or "-"
// (standard input) give the same lines as a file with the same bytes.
class LineSource {
 public:
  LineSource();
  ~LineSource();
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  // Opens path ("-": standard input). False, with the reason in *error ("No such file or
  // directory", "Is a directory"), when it cannot be opened.
  bool Open(const std::string& path, std::string* error);
  // The next line without its line end (LF or CR LF). False at the end of the data and after a read
  // error; error() then says what went wrong. Gzip data is decompressed as zcat does it: members
  // one after the other, and when the data is corrupt or cut short, everything before the fault,
  // the piece of a line at the fault included. A line longer than the buffer limit is returned
  // cut to the limit with overlong() true.
  bool Next(std::string_view* line);
  // Up to max bytes of the decompressed start of the input, without consuming it.
  std::string_view Peek(std::size_t max);

  bool isOpen() const { return file_ != nullptr; }
  bool compressed() const { return compressed_; }
  bool overlong() const { return overlong_; }
  std::uint64_t lineNumber() const { return lineNumber_; }
  // Bytes of the input (compressed bytes for gzip) read so far, and the file's size (0 when it
  // has none: a pipe, standard input).
  std::uint64_t bytesDone() const { return rawBytes_; }
  std::uint64_t fileSize() const { return fileSize_; }
  const std::string& error() const { return error_; }

 private:
  bool Fill();
  bool Inflate(std::size_t room, std::size_t* produced);
  bool ReadRaw();

  std::FILE* file_ = nullptr;
  bool compressed_ = false;
  void* inflater_ = nullptr;  // z_stream
  bool memberEnded_ = false;
  std::vector<char> raw_;  // compressed bytes read but not yet inflated
  std::size_t rawBegin_ = 0, rawEnd_ = 0;
  bool rawEof_ = false;
  std::vector<char> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  bool overlong_ = false;
  bool skipping_ = false;  // inside the rest of an overlong line
  std::uint64_t lineNumber_ = 0;
  std::uint64_t rawBytes_ = 0;
  std::uint64_t fileSize_ = 0;
  std::string error_;
};

struct MalformedLine {
  std::uint64_t line;
  std::string reason;
};

// Reads the requests of one access log of any supported format.
class AccessLogReader {
 public:
  static constexpr std::size_t kMalformedKept = 5;

  // forced: the format to use, or Unknown to detect it from the content. False, with the reason in
  // *error, when the input cannot be opened (opened() false) or its format cannot be told.
  bool Open(const std::string& path, LogFormat forced, std::string* error);
  bool opened() const { return source_.isOpen(); }
  // The next request; false at the end of the input or after a read error (see error()). A line
  // that is not a request of the format, or that holds a NUL byte (raw, or as an escape in the
  // request line), is counted as malformed, never cut at the NUL.
  bool Next(LogRequest* request);

  LogFormat format() const { return format_; }
  std::uint64_t lines() const { return source_.lineNumber(); }
  std::uint64_t malformed() const { return malformed_; }
  // The first kMalformedKept malformed lines.
  const std::vector<MalformedLine>& firstMalformed() const { return firstMalformed_; }
  const std::string& error() const { return source_.error(); }
  std::uint64_t bytesDone() const { return source_.bytesDone(); }
  std::uint64_t fileSize() const { return source_.fileSize(); }
  bool compressed() const { return source_.compressed(); }

 private:
  void CountMalformed(std::uint64_t line, std::string reason);

  LineSource source_;
  LogFormat format_ = LogFormat::Unknown;
  W3CFields fields_;
  std::uint64_t fieldsLine_ = 0;
  std::string fieldsProblem_;
  std::string scratch_;
  std::string why_;
  std::uint64_t malformed_ = 0;
  std::vector<MalformedLine> firstMalformed_;
};

}  // namespace vell::tools

#endif  // VELL_TOOLS_ACCESS_LOG_H_
