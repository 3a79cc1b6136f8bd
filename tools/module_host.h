// A stand-in for the web server: loads the filter module through its exports only and serves one
// request's variables and headers from tables, with the server's read rules. Used by `vell run`
// and by the end-to-end tests; nothing here links the filter's own code.
#ifndef VELL_TOOLS_MODULE_HOST_H_
#define VELL_TOOLS_MODULE_HOST_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vell/isapi.h"
#include "vell/vell.h"

namespace vell::tools {

// One loaded copy of the filter module; loading another file (another copy) gives a fresh filter.
// On POSIX the image, and so its static filter object, stays until the process ends.
class FilterModule {
 public:
  // Loads the module file at path (on Windows UTF-8, or ANSI text that is not valid UTF-8) and
  // looks up its exports. Throws std::runtime_error naming the failed call (dlopen, dlsym,
  // LoadLibraryW, GetProcAddress).
  explicit FilterModule(const std::string& path);
  ~FilterModule();
  FilterModule(const FilterModule&) = delete;
  FilterModule& operator=(const FilterModule&) = delete;

  BOOL GetFilterVersion(HTTP_FILTER_VERSION* version) const;
  DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notificationType,
                       void* notification) const;
  // The calling thread's last-error code as the module left it.
  uint32_t LastError() const;
  // The module's export of that name (one of vell/vell.h), or null when it lacks it.
  void* FindExport(const char* name) const;

  // vell's own exports (vell/vell.h); each is null when the module is an older build without it.
  void(WINAPI* setStartOptions)(DWORD) = nullptr;
  BOOL(WINAPI* getLoadReport)(VELL_LOAD_REPORT*) = nullptr;
  BOOL(WINAPI* reopenAuditLog)() = nullptr;
  const char*(WINAPI* getVersion)() = nullptr;
  const char*(WINAPI* getDecidingRule)() = nullptr;
  DWORD(WINAPI* traceRequest)(HTTP_FILTER_CONTEXT*, HTTP_FILTER_PREPROC_HEADERS*,
                              VELL_TRACE_CALLBACK, void*) = nullptr;
  DWORD(WINAPI* getQuietNotifications)() = nullptr;
  // The loader's handle of the image (HMODULE on Windows).
  void* handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
  BOOL(WINAPI* getFilterVersion_)(HTTP_FILTER_VERSION*) = nullptr;
  DWORD(WINAPI* httpFilterProc_)(HTTP_FILTER_CONTEXT*, DWORD, LPVOID) = nullptr;
  uint32_t (*getLastError_)() = nullptr;
};

// The server's side of one request: server variables and request headers by name. A read of an
// unknown name fails; a buffer too small fails with *size = length + 1; otherwise the value and its
// NUL are copied and *size = length + 1. SetHeader replaces the header's value and is recorded.
class SimulatedRequest {
 public:
  SimulatedRequest(std::map<std::string, std::string> variables,
                   std::map<std::string, std::string> headers);
  SimulatedRequest(const SimulatedRequest&) = delete;
  SimulatedRequest& operator=(const SimulatedRequest&) = delete;

  // Every later read of the variable or header `name` fails asking for more room than it was
  // given, as a server does whose value keeps growing.
  void KeepAskingForRoom(const std::string& name) { growing_.push_back(name); }

  HTTP_FILTER_CONTEXT* context() { return &context_; }
  HTTP_FILTER_PREPROC_HEADERS* headersRecord() { return &headersRecord_; }
  HTTP_FILTER_SEND_RESPONSE* responseRecord() { return &responseRecord_; }

  struct HeaderChange {
    std::string name;
    std::string value;
    bool operator==(const HeaderChange&) const = default;
  };
  // Every SetHeader call, in order: on the request's headers, then on the response's.
  const std::vector<HeaderChange>& requestHeaderChanges() const { return requestChanges_; }
  const std::vector<HeaderChange>& responseHeaderChanges() const { return responseChanges_; }
  // Every read, in order: the variable's name, or "header:" and the header's name.
  const std::vector<std::string>& reads() const { return reads_; }
  // Calls of any server operation.
  int calls() const { return calls_; }

 private:
  static SimulatedRequest& From(HTTP_FILTER_CONTEXT* context);
  BOOL Read(const std::map<std::string, std::string>& table, const char* name, void* buffer,
            DWORD* size) const;
  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size);
  static BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI SetRequestHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI SetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);

  std::map<std::string, std::string> variables_;
  std::map<std::string, std::string> headers_;
  HTTP_FILTER_CONTEXT context_{};
  HTTP_FILTER_PREPROC_HEADERS headersRecord_{};
  HTTP_FILTER_SEND_RESPONSE responseRecord_{};
  std::vector<HeaderChange> requestChanges_;
  std::vector<HeaderChange> responseChanges_;
  std::vector<std::string> reads_;
  std::vector<std::string> growing_;
  int calls_ = 0;
};

// The "ALL_HTTP" text of a list of request headers: HTTP_NAME:value and LF per header, the name in
// capitals with "-" turned into "_".
std::string BuildAllHttp(const std::vector<std::pair<std::string, std::string>>& headers);

}  // namespace vell::tools

#endif  // VELL_TOOLS_MODULE_HOST_H_
