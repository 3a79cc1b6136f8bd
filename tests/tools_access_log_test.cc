#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/access_log.h"

namespace vell::tools {
namespace {

const std::string kCases = std::string(VELL_TEST_DATA) + "/replay/";

struct LineCase {
  const char* line;
  bool ok;
  const char* method;
  const char* url;
  const char* client;
  const char* referer;
  const char* agent;
};

std::string Show(const LogRequest& r) {
  return std::string(r.method) + "|" + std::string(r.url) + "|" + std::string(r.clientIp) + "|" +
         std::string(r.referer) + "|" + std::string(r.userAgent);
}

std::string Expected(const LineCase& c) {
  return std::string(c.method) + "|" + c.url + "|" + c.client + "|" + c.referer + "|" + c.agent;
}

const LineCase kCombined[] = {
    // Combined and common lines.
    {R"L(203.0.113.5 - - [07/Mar/2005:09:05:03 +0000] "GET /index.html HTTP/1.1" 200 5120 "http://a/" "Mozilla/5.0 (X11)")L",
     true, "GET", "/index.html", "203.0.113.5", "http://a/", "Mozilla/5.0 (X11)"},
    {R"L(10.1.2.3 - bob [10/Oct/2000:13:55:37 -0700] "POST /form?a=1 HTTP/1.0" 200 0)L", true, "POST",
     "/form?a=1", "10.1.2.3", "", ""},
    {R"L(10.1.2.3 - - [10/Oct/2000:13:55:37 -0700] "GET /x HTTP/1.0" 200 0 "-" "-")L", true, "GET", "/x",
     "10.1.2.3", "", ""},
    // Escapes in the request line and the quoted fields.
    {R"L(1.2.3.4 - - [t] "GET /q?a=\"b\"&c=\\d HTTP/1.1" 200 1 "-" "say \"hi\"")L", true, "GET",
     "/q?a=\"b\"&c=\\d", "1.2.3.4", "", "say \"hi\""},
    {R"L(1.2.3.4 - - [t] "GET /..\x5cwinnt\x2fcmd HTTP/1.1" 404 0)L", true, "GET", "/..\\winnt/cmd",
     "1.2.3.4", "", ""},
    {R"L(1.2.3.4 - - [t] "GET /a\xZZ HTTP/1.1" 404 0)L", true, "GET", "/a\\xZZ", "1.2.3.4", "", ""},
    // HTTP/0.9 requests and URLs with spaces.
    {R"L(1.2.3.4 - - [t] "GET /old" 200 1)L", true, "GET", "/old", "1.2.3.4", "", ""},
    {R"L(1.2.3.4 - - [t] "GET /a b/c.htm HTTP/1.1" 404 0)L", true, "GET", "/a b/c.htm", "1.2.3.4", "", ""},
    // Not requests: TLS bytes on the HTTP port, empty request lines, other text.
    {R"L(1.2.3.4 - - [t] "\x16\x03\x01\x02\x00\x01" 400 157 "-" "-")L", false, "", "", "", "", ""},
    {R"L(1.2.3.4 - - [t] "-" 400 0 "-" "-")L", false, "", "", "", "", ""},
    {R"L(1.2.3.4 - - [t] "GET" 400 0)L", false, "", "", "", "", ""},
    {R"L(1.2.3.4 - - [t] "GET /unterminated HTTP/1.1 200 0)L", false, "", "", "", "", ""},
    {"just some words", false, "", "", "", "", ""},
    {"", false, "", "", "", "", ""},
};

TEST(CombinedLog, Table) {
  for (const LineCase& c : kCombined) {
    SCOPED_TRACE(c.line);
    LogRequest request;
    std::string scratch, why;
    ASSERT_EQ(ParseCombinedLine(c.line, &request, &scratch, &why), c.ok) << why;
    if (c.ok) {
      EXPECT_EQ(Show(request), Expected(c));
    } else {
      EXPECT_FALSE(why.empty());
    }
  }
}

TEST(W3CLog, ColumnsFollowTheFieldsDirective) {
  struct Case {
    const char* fields;
    const char* line;
    bool ok;
    const char* expected;  // method|url|client|referer|agent
    const char* host;
  };
  const Case kCases[] = {
      // The usual IIS layout; query joined with "?", "-" means absent.
      {"date time s-ip cs-method cs-uri-stem cs-uri-query s-port c-ip cs(User-Agent)",
       "2005-03-07 09:05:03 192.168.0.10 GET /a.asp id=1 80 1.2.3.4 Mozilla/5.0+(X11)", true,
       "GET|/a.asp?id=1|1.2.3.4||Mozilla/5.0+(X11)", ""},
      {"date time s-ip cs-method cs-uri-stem cs-uri-query s-port c-ip cs(User-Agent)",
       "2005-03-07 09:05:03 192.168.0.10 GET /a.asp - 80 - -", true, "GET|/a.asp|||", ""},
      // Any order, any subset; names in any letter case; no method column means GET.
      {"cs(Referer) c-ip cs-uri-stem", "http://r/ 5.6.7.8 /x", true, "GET|/x|5.6.7.8|http://r/|", ""},
      {"CS-URI-STEM CS-HOST", "/x www.example.com:8080", true, "GET|/x|||", "www.example.com"},
      {"cs-uri-stem cs-host", "/x [::1]:80", true, "GET|/x|||", "[::1]"},
      // Without a Host header the server is named by its own address.
      {"s-ip cs-uri-stem cs-host", "10.0.0.9 /x -", true, "GET|/x|||", "10.0.0.9"},
      // A full cs-uri column serves as well.
      {"cs-method cs-uri", "HEAD /y?z=1", true, "HEAD|/y?z=1|||", ""},
      // Tab-separated data lines; a tab-separated line keeps the spaces inside its values.
      {"date time cs-method cs-uri-stem c-ip cs(User-Agent)",
       "2005-03-07\t09:05:03\tGET\t/a b.htm\t1.2.3.4\tMozilla/5.0 (X11)", true,
       "GET|/a b.htm|1.2.3.4||Mozilla/5.0 (X11)", ""},
      {"cs-method\tcs-uri-stem", "POST\t/t", true, "POST|/t|||", ""},
      // Wrong column counts and missing URLs.
      {"cs-method cs-uri-stem", "GET /a extra", false, "", ""},
      {"cs-method cs-uri-stem", "GET", false, "", ""},
      {"cs-method cs-uri-stem", "GET -", false, "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.fields) + " / " + c.line);
    W3CFields fields;
    std::string why;
    ASSERT_TRUE(fields.Set(c.fields, &why)) << why;
    LogRequest request;
    std::string scratch;
    ASSERT_EQ(fields.Parse(c.line, &request, &scratch, &why), c.ok) << why;
    if (!c.ok) continue;
    EXPECT_EQ(Show(request), c.expected);
    EXPECT_EQ(std::string(request.host), c.host);
  }
  W3CFields noUrl;
  std::string why;
  EXPECT_FALSE(noUrl.Set("date time c-ip", &why));
  EXPECT_NE(why.find("cs-uri-stem"), std::string::npos);
}

TEST(UrlList, Lines) {
  struct Case {
    const char* line;
    bool request;
    const char* method;
    const char* url;
    const char* host;
  };
  const Case kCases[] = {
      {"/index.htm", true, "GET", "/index.htm", ""},
      {"  /padded.htm\t", true, "GET", "/padded.htm", ""},
      {"POST /form HTTP/1.1", true, "POST", "/form", ""},
      {"http://10.0.0.1/home.htm", true, "GET", "/home.htm", "10.0.0.1"},
      {"https://user@www.example.com:443/a?b=1", true, "GET", "/a?b=1", "www.example.com"},
      {"http://www.example.com", true, "GET", "/", "www.example.com"},
      {"# a comment", false, "", "", ""},
      {"   ", false, "", "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    LogRequest request;
    ASSERT_EQ(ParseUrlListLine(c.line, &request), c.request);
    if (!c.request) continue;
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.url, c.url);
    EXPECT_EQ(request.host, c.host);
  }
}

TEST(LogFormat, DetectedFromTheFirstLines) {
  struct Case {
    const char* head;
    LogFormat format;
  };
  const Case kCases[] = {
      {"#Software: IIS\r\n#Version: 1.0\r\n#Fields: cs-uri-stem\r\n/a\r\n", LogFormat::W3C},
      {"#Software: IIS\n#Version: 1.0\n", LogFormat::W3C},
      {"1.2.3.4 - - [t] \"GET / HTTP/1.1\" 200 1 \"-\" \"ua\"\n", LogFormat::Combined},
      {"1.2.3.4 - - [t] \"GET / HTTP/1.1\" 200 1\n1.2.3.4 - - [t] \"GET /b HTTP/1.1\" 200 1\n",
       LogFormat::Common},
      // A junk first line does not decide.
      {"garbage\n1.2.3.4 - - [t] \"GET / HTTP/1.1\" 200 1 \"-\" \"ua\"\n", LogFormat::Combined},
      {"/a\n/b?c=d\nhttp://x/y\n", LogFormat::UrlList},
      {"GET /a HTTP/1.1\n", LogFormat::UrlList},
      {"hello world\nnothing here\n", LogFormat::Unknown},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(DetectLogFormat(c.head), c.format);
  }
}

// Reads every request of a fixture; returns the number read.
std::uint64_t ReadAll(AccessLogReader& reader) {
  LogRequest request;
  std::uint64_t count = 0;
  while (reader.Next(&request)) ++count;
  return count;
}

TEST(AccessLogReader, FieldsChangeMidwayAndMalformedLinesAreCounted) {
  AccessLogReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(kCases + "w3c-fields-change.log", LogFormat::Unknown, &error)) << error;
  EXPECT_EQ(reader.format(), LogFormat::W3C);
  LogRequest request;
  std::uint64_t count = 0;
  while (reader.Next(&request)) {
    ++count;
    if (request.line == 16) {
      EXPECT_EQ(request.method, "PROPFIND");
      EXPECT_EQ(request.host, "www.example.com");
    }
    if (request.line == 17) {
      EXPECT_EQ(request.referer, "http://evil.example/x");
    }
  }
  EXPECT_EQ(count, 9u);
  EXPECT_EQ(reader.malformed(), 1u);
  ASSERT_EQ(reader.firstMalformed().size(), 1u);
  EXPECT_EQ(reader.firstMalformed()[0].line, 9u);
  EXPECT_TRUE(reader.error().empty());
}

TEST(AccessLogReader, GzipGivesTheSameRequests) {
  AccessLogReader plain, packed;
  std::string error;
  ASSERT_TRUE(plain.Open(kCases + "combined.log", LogFormat::Unknown, &error)) << error;
  ASSERT_TRUE(packed.Open(kCases + "combined.log.gz", LogFormat::Unknown, &error)) << error;
  EXPECT_TRUE(packed.compressed());
  EXPECT_EQ(packed.format(), LogFormat::Combined);
  EXPECT_EQ(ReadAll(plain), ReadAll(packed));
  EXPECT_EQ(plain.malformed(), 3u);
  EXPECT_EQ(packed.malformed(), 3u);
  EXPECT_TRUE(packed.error().empty());
}

TEST(AccessLogReader, TruncatedGzipYieldsTheLinesBeforeTheCutAndAnError) {
  AccessLogReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(kCases + "truncated.log.gz", LogFormat::Unknown, &error)) << error;
  LogRequest request;
  std::uint64_t count = 0, lastLine = 0;
  while (reader.Next(&request)) {
    ++count;
    lastLine = request.line;
    EXPECT_EQ(request.url.substr(0, 1), "/");
  }
  EXPECT_GT(count, 100u);
  EXPECT_LT(count, 400u);
  // As zcat gives it: the piece of a line at the cut too.
  EXPECT_EQ(reader.lines(), 192u);
  EXPECT_EQ(lastLine, reader.lines());
  EXPECT_NE(reader.error().find("truncated"), std::string::npos) << reader.error();
  EXPECT_EQ(reader.malformed(), 0u);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(AccessLogReader, GzipIsReadAsZcatReadsIt) {
  const std::string packed = ReadBytes(kCases + "combined.log.gz");
  std::string badCheck = packed;
  badCheck[badCheck.size() - 8] ^= 0x55;  // the trailer's CRC-32
  const struct {
    const char* name;
    std::string bytes;
    std::uint64_t requests;
    const char* error;  // "" for none
  } kGzip[] = {
      // Members one after the other are one stream; zero bytes after the last are padding.
      {"TwoMembers", packed + packed, 14, ""},
      {"ZeroPadding", packed + std::string(512, '\0'), 7, ""},
      // Everything before the fault is read, and the fault is reported.
      {"TrailingJunk", packed + "junk", 7, "not gzip"},
      {"BadCheck", badCheck, 7, "the gzip data is corrupt: incorrect data check"},
      {"CutInTheHeader", packed.substr(0, 5), 0, "truncated"},
  };
  for (const auto& c : kGzip) {
    SCOPED_TRACE(c.name);
    const std::string path = testing::TempDir() + "vell_gzip_" + c.name + ".log.gz";
    std::ofstream(path, std::ios::binary) << c.bytes;
    AccessLogReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, LogFormat::Combined, &error)) << error;
    EXPECT_TRUE(reader.compressed());
    EXPECT_EQ(ReadAll(reader), c.requests);
    if (*c.error) {
      EXPECT_NE(reader.error().find(c.error), std::string::npos) << reader.error();
    } else {
      EXPECT_EQ(reader.error(), "");
    }
    std::remove(path.c_str());
  }
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    path_ = testing::TempDir() + "vell_access_log_" + std::to_string(++counter_) + ".log";
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

TEST(LineSource, LineEndsLastLineAndOverlongLines) {
  const std::string longLine(3 << 20, 'a');
  TempFile file("/one\r\n/two\n\n" + longLine + "\n/after\n/last-without-newline");
  LineSource source;
  std::string error;
  ASSERT_TRUE(source.Open(file.path(), &error)) << error;
  std::vector<std::string> lines;
  std::vector<bool> overlong;
  std::string_view line;
  while (source.Next(&line)) {
    lines.emplace_back(line.size() > 100 ? "<long>" : std::string(line));
    overlong.push_back(source.overlong());
  }
  const std::vector<std::string> expected = {"/one", "/two", "", "<long>", "/after",
                                             "/last-without-newline"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(overlong, (std::vector<bool>{false, false, false, true, false, false}));
  EXPECT_EQ(source.lineNumber(), 6u);
  EXPECT_TRUE(source.error().empty());
}

TEST(AccessLogReader, UnknownFormatAndMissingFileAreErrors) {
  TempFile junk("hello world\nnothing to see\n");
  AccessLogReader reader;
  std::string error;
  EXPECT_FALSE(reader.Open(junk.path(), LogFormat::Unknown, &error));
  EXPECT_NE(error.find("--log-format"), std::string::npos);
  AccessLogReader missing;
  EXPECT_FALSE(missing.Open(kCases + "no-such.log", LogFormat::Unknown, &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_FALSE(missing.opened());
  AccessLogReader folder;
  EXPECT_FALSE(folder.Open(kCases, LogFormat::Unknown, &error));
  EXPECT_EQ(error, "Is a directory");
  // A forced format reads the same junk as malformed lines, never fatally.
  AccessLogReader forced;
  ASSERT_TRUE(forced.Open(junk.path(), LogFormat::Combined, &error));
  EXPECT_EQ(ReadAll(forced), 0u);
  EXPECT_EQ(forced.malformed(), 2u);
}

TEST(AccessLogReader, NulBytesMakeALineMalformedNeverCutIt) {
  TempFile log(std::string("1.2.3.4 - - [t] \"GET /a HTTP/1.1\" 200 1\n") +
               "1.2.3.4 - - [t] \"GET /b" + '\0' + "/../etc HTTP/1.1\" 200 1\n" +
               "1.2.3.4 - - [t] \"GET /c\\x00/../etc HTTP/1.1\" 200 1\n" +
               "1.2.3.4 - - [t] \"GET /d HTTP/1.1\" 200 1\n");
  AccessLogReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(log.path(), LogFormat::Common, &error)) << error;
  LogRequest request;
  std::vector<std::string> urls;
  while (reader.Next(&request)) urls.emplace_back(request.url);
  EXPECT_EQ(urls, (std::vector<std::string>{"/a", "/d"}));
  ASSERT_EQ(reader.malformed(), 2u);
  EXPECT_EQ(reader.firstMalformed()[0].reason, "line holds a NUL byte");
  EXPECT_EQ(reader.firstMalformed()[1].reason, "request line holds a NUL byte");
}

}  // namespace
}  // namespace vell::tools
