// Full-length reads of server variables and headers, and the referer cut out of "ALL_HTTP".
#include "inspect/server_request.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace vell {

namespace {

// Reads a value whole and hands it to take while it is still in the read buffer, so that a caller
// that keeps only part of it copies only that part; take is not called when there is no value.
// A server that keeps asking for more room (the value grew between tries) gets a few more tries;
// a request for more than kLargestRead is refused outright. Either way the value is too long to
// read.
template <typename ReadFn, typename TakeFn>
void ReadFully(ReadFn read, TakeFn take, bool* tooLong) {
  if (tooLong != nullptr) *tooLong = false;
  // The first read goes to a buffer on the stack; only a longer value needs one on the heap.
  char first[kReadBufferSize + 1];
  std::vector<char> larger;
  char* buffer = first;
  uint32_t room = kReadBufferSize;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    // One byte past the room the server is told about stays NUL, so the text always ends.
    buffer[0] = '\0';
    buffer[room] = '\0';
    uint32_t size = room;
    if (read(buffer, &size)) {
      take(std::string_view(buffer, std::strlen(buffer)));
      return;
    }
    if (size <= room) return;  // refused, not for want of room: no such value
    if (size > kLargestRead) break;
    room = size;
    larger.assign(static_cast<std::size_t>(room) + 1, '\0');
    buffer = larger.data();
  }
  if (tooLong != nullptr) *tooLong = true;
}

// The value of the "HTTP_REFERER" entry of allHttp, within it.
std::string_view RefererIn(std::string_view allHttp) {
  static constexpr std::string_view kEntry = "HTTP_REFERER:";
  std::size_t at = 0;
  while (at < allHttp.size()) {
    if (allHttp.substr(at, kEntry.size()) == kEntry) {
      const std::size_t begin = at + kEntry.size();
      const std::size_t end = allHttp.find('\n', begin);
      return allHttp.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
    }
    const std::size_t lineFeed = allHttp.find('\n', at);
    if (lineFeed == std::string_view::npos) break;
    at = lineFeed + 1;
  }
  return {};
}

}  // namespace

void ReadServerVariable(ServerRequest& server, const char* name, std::string& value, bool* tooLong) {
  value.clear();
  ReadFully([&](char* buffer, uint32_t* size) { return server.GetServerVariable(name, buffer, size); },
            [&](std::string_view read) { value.assign(read); }, tooLong);
}

void ReadHeader(ServerRequest& server, const char* name, std::string& value, bool* tooLong) {
  value.clear();
  ReadFully([&](char* buffer, uint32_t* size) { return server.GetHeader(name, buffer, size); },
            [&](std::string_view read) { value.assign(read); }, tooLong);
}

void ReadReferer(ServerRequest& server, std::string& value, bool* tooLong) {
  value.clear();
  ReadFully(
      [&](char* buffer, uint32_t* size) { return server.GetServerVariable("ALL_HTTP", buffer, size); },
      [&](std::string_view read) { value.assign(RefererIn(read)); }, tooLong);
}

std::string ReadServerVariable(ServerRequest& server, const char* name, bool* tooLong) {
  std::string value;
  ReadServerVariable(server, name, value, tooLong);
  return value;
}

std::string ReadHeader(ServerRequest& server, const char* name, bool* tooLong) {
  std::string value;
  ReadHeader(server, name, value, tooLong);
  return value;
}

std::string ReadReferer(ServerRequest& server, bool* tooLong) {
  std::string value;
  ReadReferer(server, value, tooLong);
  return value;
}

std::string ExtractReferer(std::string_view allHttp) { return std::string(RefererIn(allHttp)); }

}  // namespace vell
