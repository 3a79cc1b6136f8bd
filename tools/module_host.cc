// Loads the filter module through its exports and plays the server's side of a request.
#include "tools/module_host.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace vell::tools {

#ifdef _WIN32
namespace {

// path as UTF-16: read as UTF-8 when it is valid UTF-8, otherwise in the ANSI code page.
std::wstring WidePath(const std::string& path) {
  for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int size = MultiByteToWideChar(codePage, flags, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (size <= 0) continue;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(codePage, flags, path.data(), static_cast<int>(path.size()), wide.data(), size);
    return wide;
  }
  return {};
}

}  // namespace
#endif

FilterModule::FilterModule(const std::string& path) {
#ifdef _WIN32
  HMODULE module = LoadLibraryW(WidePath(path).c_str());
  if (module == nullptr) {
    throw std::runtime_error("LoadLibraryW(\"" + path + "\") failed: error " +
                             std::to_string(::GetLastError()));
  }
  handle_ = module;
  getFilterVersion_ = reinterpret_cast<decltype(getFilterVersion_)>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetFilterVersion")));
  httpFilterProc_ = reinterpret_cast<decltype(httpFilterProc_)>(
      reinterpret_cast<void*>(GetProcAddress(module, "HttpFilterProc")));
  if (getFilterVersion_ == nullptr || httpFilterProc_ == nullptr) {
    FreeLibrary(module);
    throw std::runtime_error("GetProcAddress() failed: \"" + path + "\" lacks the filter exports");
  }
#else
  // The image stays mapped until the process ends: the RE2 inside the module keeps a few objects
  // for the life of its image, which an unload would leave behind with nothing pointing at them.
  // A host that loads many copies (the tests, one per case) then shows no such remains.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    throw std::runtime_error("dlopen(\"" + path + "\") failed: " + (why ? why : "unknown error"));
  }
  getFilterVersion_ = reinterpret_cast<decltype(getFilterVersion_)>(dlsym(handle_, "GetFilterVersion"));
  httpFilterProc_ = reinterpret_cast<decltype(httpFilterProc_)>(dlsym(handle_, "HttpFilterProc"));
  getLastError_ = reinterpret_cast<decltype(getLastError_)>(dlsym(handle_, "GetLastError"));
  if (getFilterVersion_ == nullptr || httpFilterProc_ == nullptr || getLastError_ == nullptr) {
    dlclose(handle_);
    throw std::runtime_error("dlsym() failed: \"" + path + "\" lacks the filter exports");
  }
#endif
  setStartOptions = reinterpret_cast<decltype(setStartOptions)>(FindExport("VellSetStartOptions"));
  getLoadReport = reinterpret_cast<decltype(getLoadReport)>(FindExport("VellGetLoadReport"));
  reopenAuditLog = reinterpret_cast<decltype(reopenAuditLog)>(FindExport("VellReopenAuditLog"));
  getVersion = reinterpret_cast<decltype(getVersion)>(FindExport("VellGetVersion"));
  getDecidingRule = reinterpret_cast<decltype(getDecidingRule)>(FindExport("VellGetDecidingRule"));
  traceRequest = reinterpret_cast<decltype(traceRequest)>(FindExport("VellTraceRequest"));
  getQuietNotifications =
      reinterpret_cast<decltype(getQuietNotifications)>(FindExport("VellGetQuietNotifications"));
}

FilterModule::~FilterModule() {
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

void* FilterModule::FindExport(const char* name) const {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
}

BOOL FilterModule::GetFilterVersion(HTTP_FILTER_VERSION* version) const {
  return getFilterVersion_(version);
}

DWORD FilterModule::HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notificationType,
                                   void* notification) const {
  return httpFilterProc_(context, notificationType, notification);
}

uint32_t FilterModule::LastError() const {
#ifdef _WIN32
  return ::GetLastError();
#else
  return getLastError_();
#endif
}

SimulatedRequest::SimulatedRequest(std::map<std::string, std::string> variables,
                                   std::map<std::string, std::string> headers)
    : variables_(std::move(variables)), headers_(std::move(headers)) {
  context_.cbSize = sizeof context_;
  context_.Revision = 0x40000;
  context_.ServerContext = this;
  context_.GetServerVariable = &SimulatedRequest::GetServerVariable;
  headersRecord_.GetHeader = &SimulatedRequest::GetHeader;
  headersRecord_.SetHeader = &SimulatedRequest::SetRequestHeader;
  headersRecord_.AddHeader = &SimulatedRequest::AddHeader;
  responseRecord_.GetHeader = &SimulatedRequest::GetHeader;
  responseRecord_.SetHeader = &SimulatedRequest::SetResponseHeader;
  responseRecord_.AddHeader = &SimulatedRequest::AddHeader;
}

SimulatedRequest& SimulatedRequest::From(HTTP_FILTER_CONTEXT* context) {
  SimulatedRequest& self = *static_cast<SimulatedRequest*>(context->ServerContext);
  ++self.calls_;
  return self;
}

BOOL SimulatedRequest::Read(const std::map<std::string, std::string>& table, const char* name,
                            void* buffer, DWORD* size) const {
  if (std::find(growing_.begin(), growing_.end(), name) != growing_.end()) {
    *size = *size < 0x7fffffff ? *size * 2 + 1 : *size;
    return 0;
  }
  const auto it = table.find(name);
  if (it == table.end()) return 0;
  const std::string& value = it->second;
  const DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (*size < needed) {
    *size = needed;
    return 0;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return 1;
}

BOOL WINAPI SimulatedRequest::GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                                LPDWORD size) {
  SimulatedRequest& self = From(pfc);
  self.reads_.push_back(name);
  return self.Read(self.variables_, name, buffer, size);
}

BOOL WINAPI SimulatedRequest::GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                        LPDWORD size) {
  SimulatedRequest& self = From(pfc);
  self.reads_.push_back(std::string("header:") + name);
  return self.Read(self.headers_, name, buffer, size);
}

BOOL WINAPI SimulatedRequest::SetRequestHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  SimulatedRequest& self = From(pfc);
  self.requestChanges_.push_back({name, value});
  self.headers_[name] = value;
  return 1;
}

BOOL WINAPI SimulatedRequest::SetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  SimulatedRequest& self = From(pfc);
  self.responseChanges_.push_back({name, value});
  return 1;
}

BOOL WINAPI SimulatedRequest::AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR, LPSTR) {
  From(pfc);
  return 0;
}

std::string BuildAllHttp(const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string text;
  for (const auto& [name, value] : headers) {
    text += "HTTP_";
    for (char c : name) {
      text += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    text += ':';
    text += value;
    text += '\n';
  }
  return text;
}

}  // namespace vell::tools
