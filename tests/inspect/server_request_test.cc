#include "inspect/server_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace vell {
namespace {

struct RefererCase {
  const char* allHttp;
  const char* referer;
};
const RefererCase kReferers[] = {
    // The entry named exactly HTTP_REFERER, wherever it stands among the lines.
    {"HTTP_HOST:h\nHTTP_REFERER:http://a/\nHTTP_ACCEPT:*/*\n", "http://a/"},
    {"HTTP_REFERER:http://a/\nHTTP_HOST:h\n", "http://a/"},
    {"HTTP_HOST:h\nHTTP_REFERER:http://a/", "http://a/"},
    {"HTTP_REFERER:\n", ""},
    {"HTTP_REFERER:a:b:c\n", "a:b:c"},
    // No such entry.
    {"", ""},
    {"HTTP_HOST:h\n", ""},
    {"http_referer:http://a/\n", ""},
    {"HTTP_REFERER", ""},
    {"HTTP_REFERERX:http://a/\n", ""},
    // Found by review: the 12 letters inside another entry's name or value are not the entry.
    {"HTTP_X_HTTP_REFERER:x\nHTTP_REFERER:http://a/\n", "http://a/"},
    {"HTTP_X_HTTP_REFERER:x\n", ""},
    {"HTTP_NOTE:HTTP_REFERER:x\n", ""},
    {"HTTP_NOTE:y HTTP_REFERER\nHTTP_HOST:h\n", ""},
};

TEST(ExtractReferer, Table) {
  for (const RefererCase& c : kReferers) {
    SCOPED_TRACE(c.allHttp);
    EXPECT_EQ(ExtractReferer(c.allHttp), c.referer);
  }
}

// Serves values from a table with the server's read rules, or misbehaves as told.
class TableServer : public ServerRequest {
 public:
  std::map<std::string, std::string> values;
  // When set, a refused read asks for this much room instead of the value's size.
  uint32_t claimedSize = 0;
  // When set, every read is refused leaving these bytes in the buffer.
  const char* garbage = nullptr;
  int reads = 0;

  bool GetServerVariable(const char* name, char* buffer, uint32_t* size) override {
    ++reads;
    if (garbage != nullptr) {
      std::strncpy(buffer, garbage, *size);
      return false;
    }
    const auto it = values.find(name);
    if (it == values.end()) return false;
    const uint32_t needed = static_cast<uint32_t>(it->second.size() + 1);
    if (*size < needed) {
      *size = claimedSize != 0 ? claimedSize : needed;
      return false;
    }
    std::memcpy(buffer, it->second.c_str(), needed);
    *size = needed;
    return true;
  }
  bool GetHeader(const char* name, char* buffer, uint32_t* size) override {
    return GetServerVariable(name, buffer, size);
  }
  bool SetHeader(const char*, const char*) override { return true; }
};

TEST(ReadServerVariable, ShortValueInOneRead) {
  TableServer server;
  server.values["A"] = "value";
  EXPECT_EQ(ReadServerVariable(server, "A"), "value");
  EXPECT_EQ(server.reads, 1);
}

TEST(ReadServerVariable, ValuesAroundTheFirstBufferSizeAreReadWhole) {
  for (std::size_t length : {2046u, 2047u, 2048u, 2049u, 100000u}) {
    SCOPED_TRACE(length);
    TableServer server;
    server.values["A"] = std::string(length, 'v');
    EXPECT_EQ(ReadHeader(server, "A"), server.values["A"]);
    EXPECT_EQ(server.reads, length < kReadBufferSize ? 1 : 2);
  }
}

TEST(ReadServerVariable, RefusedReadsGiveEmptyText) {
  TableServer unknown;
  EXPECT_EQ(ReadServerVariable(unknown, "A"), "");

  // Refused without asking for more room: the buffer's leftovers are not taken.
  TableServer garbage;
  garbage.garbage = "stale";
  EXPECT_EQ(ReadServerVariable(garbage, "A"), "");

  // A server that keeps asking for more room than it then fills is given up on.
  TableServer growing;
  growing.values["A"] = std::string(5000, 'v');
  growing.claimedSize = 3000;
  EXPECT_EQ(ReadServerVariable(growing, "A"), "");

  // An absurd size is not allocated.
  TableServer huge;
  huge.values["A"] = std::string(5000, 'v');
  huge.claimedSize = 0xffffffffu;
  EXPECT_EQ(ReadServerVariable(huge, "A"), "");
}

TEST(ReadServerVariable, TextEndsAtTheFirstNul) {
  TableServer server;
  server.values["A"] = std::string("ab\0cd", 5);
  EXPECT_EQ(ReadServerVariable(server, "A"), "ab");
}

}  // namespace
}  // namespace vell
