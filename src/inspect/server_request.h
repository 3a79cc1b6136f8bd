// What the request path needs of the server for one request, and the reads built on it. The
// filter module answers these through the server's filter interface; tests and tools answer them
// from tables.
#ifndef VELL_INSPECT_SERVER_REQUEST_H_
#define VELL_INSPECT_SERVER_REQUEST_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vell {

// The server's status codes for a notification: the only verdicts the filter produces.
using Verdict = uint32_t;
inline constexpr Verdict kNextNotification = 0x8000002;     // nothing decided, the request goes on
inline constexpr Verdict kHandledNotification = 0x8000003;  // the request's URL was replaced
inline constexpr Verdict kRequestError = 0x8000004;         // denied: the server ends the request
// The thread's last-error code after a deny.
inline constexpr uint32_t kErrorInvalidParameter = 87;

// One request as the server offers it. Reads follow the server's rules: an unknown name fails;
// a buffer smaller than the value plus its NUL fails with *size set to the room needed; otherwise
// the value and its NUL are copied and *size is their length. Called on the request's own thread.
class ServerRequest {
 public:
  virtual ~ServerRequest() = default;
  virtual bool GetServerVariable(const char* name, char* buffer, uint32_t* size) = 0;
  virtual bool GetHeader(const char* name, char* buffer, uint32_t* size) = 0;
  virtual bool SetHeader(const char* name, const char* value) = 0;
};

// The first try of every read; a longer value is read again with the room the server asks for.
inline constexpr uint32_t kReadBufferSize = 2048;

// The whole value of a server variable or header, up to its first NUL. A read that the server
// refuses for want of room is repeated with a buffer of the size it asked for; any other refusal
// gives the empty text, never bytes of an earlier read. A value that cannot be read for its size
// (the server asks for more than kLargestRead, or still for more room after kReadAttempts tries)
// also gives the empty text, and sets *tooLong when tooLong is given.
inline constexpr int kReadAttempts = 4;
inline constexpr uint32_t kLargestRead = 64u * 1024 * 1024;
std::string ReadServerVariable(ServerRequest& server, const char* name, bool* tooLong = nullptr);
std::string ReadHeader(ServerRequest& server, const char* name, bool* tooLong = nullptr);
// The same into value, whose room is used again.
void ReadServerVariable(ServerRequest& server, const char* name, std::string& value, bool* tooLong);
void ReadHeader(ServerRequest& server, const char* name, std::string& value, bool* tooLong);

// The four request texts that the client rules test, by position, and which of them could not be
// read for their size.
struct RequestInfo {
  enum Position { kClientAddress = 0, kClientHost = 1, kRequestMethod = 2, kReferer = 3 };
  static constexpr std::size_t kValueCount = 4;
  std::array<std::string, kValueCount> values;
  std::array<bool, kValueCount> tooLong{};
};

// The value of the "HTTP_REFERER" entry of an "ALL_HTTP" text (lines of NAME:value and LF): the
// entry whose name is exactly those 12 letters, at the start of the text or right after a LF.
// Empty when there is none.
std::string ExtractReferer(std::string_view allHttp);

// ExtractReferer of the "ALL_HTTP" server variable, read whole; tooLong as for ReadServerVariable.
std::string ReadReferer(ServerRequest& server, bool* tooLong = nullptr);
void ReadReferer(ServerRequest& server, std::string& value, bool* tooLong);

}  // namespace vell

#endif  // VELL_INSPECT_SERVER_REQUEST_H_
