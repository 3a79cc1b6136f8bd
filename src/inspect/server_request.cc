// Full-length reads of server variables and headers, and the referer cut out of "ALL_HTTP".
#include "inspect/server_request.h"

#include <algorithm>
#include <vector>

namespace vell {

namespace {

// A server that keeps asking for more room (the value grew between tries) gets a few more tries;
// a request for more than this much room is refused outright.
constexpr int kReadAttempts = 4;
constexpr uint32_t kLargestRead = 64u * 1024 * 1024;

template <typename ReadFn>
std::string ReadFully(ReadFn read) {
  uint32_t room = kReadBufferSize;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    // One byte past the room the server is told about stays NUL, so the text always ends.
    std::vector<char> buffer(static_cast<std::size_t>(room) + 1, '\0');
    uint32_t size = room;
    if (read(buffer.data(), &size)) {
      return std::string(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
    }
    if (size <= room || size > kLargestRead) return {};
    room = size;
  }
  return {};
}

}  // namespace

std::string ReadServerVariable(ServerRequest& server, const char* name) {
  return ReadFully([&](char* buffer, uint32_t* size) {
    return server.GetServerVariable(name, buffer, size);
  });
}

std::string ReadHeader(ServerRequest& server, const char* name) {
  return ReadFully([&](char* buffer, uint32_t* size) { return server.GetHeader(name, buffer, size); });
}

std::string ExtractReferer(const std::string& allHttp) {
  static constexpr char kEntry[] = "HTTP_REFERER:";
  static constexpr std::size_t kEntryLength = sizeof kEntry - 1;
  std::size_t at = 0;
  while (at < allHttp.size()) {
    if (allHttp.compare(at, kEntryLength, kEntry) == 0) {
      const std::size_t begin = at + kEntryLength;
      const std::size_t end = allHttp.find('\n', begin);
      return allHttp.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    const std::size_t lineFeed = allHttp.find('\n', at);
    if (lineFeed == std::string::npos) break;
    at = lineFeed + 1;
  }
  return {};
}

}  // namespace vell
