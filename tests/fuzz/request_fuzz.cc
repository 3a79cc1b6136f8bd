// Fuzzes the request path through the module's exports, as the server calls them: any server
// variables, URL and request headers, under a configuration with every kind of rule, patterns that
// make the backtracking engine give up, and rewrites with groups. A server that keeps asking for
// more room is played for one value when the input says so.
// Input: SERVER_NAME NUL REMOTE_ADDR NUL REMOTE_HOST NUL REQUEST_METHOD NUL ALL_HTTP NUL url NUL
// flags (a bit per value, in that order, for the server that keeps asking).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "fuzz/fuzz_input.h"
#include "platform/platform.h"
#include "tools/module_host.h"
#include "vell/vell.h"

extern "C" {
BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer);
DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, LPVOID pvNotification);
}

namespace {

constexpr const char* kConfig =
    "AuditLog=/dev/null\n"
    "ServerType=Fuzzed/1.0\n"
    "DefaultAction=log\n"
    "BFilter=RequestByIP,enable:true,log\n"
    "BFilter=MaxURLLength:4096,deny,log\n"
    "BFilter=MetaChar,enable:255,log\n"
    "BFilter=SQLInjection1,deny,log\n"
    "BFilter=commandExe,redirect:/blocked.htm,log\n"
    "BFilter=URLSplit1,deny\n"
    "SFilter=REMOTE_ADDR,^10\\.66\\.,deny,log\n"
    "SFilter=REMOTE_HOST,\\.evil$,log\n"
    "SFilter=REQUEST_METHOD,^(TRACE|TRACK)$,deny\n"
    "SFilter=HTTP_REFERER,casino|(^|x+x+)+y,deny,log\n"
    "CFilter=GiveUp,(^|x+x+)+y,deny,log\n"
    "CFilter=LogOnly,\\<(x+x+|-)+y,log\n"
    "CFilter=Admin,^/admin,redirect:/login.htm\n"
    "Rewrite=^/old/(.*),/new/$1\n"
    "Rewrite=(a|ab)(c|bcd)(d*),[$1|$2|$3]\\U$&\n"
    "Rewrite=((.a*|a*|.)?|x+b|.?)*/,/\n";

const char* const kValueNames[] = {"SERVER_NAME", "REMOTE_ADDR", "REMOTE_HOST",
                                   "REQUEST_METHOD", "ALL_HTTP", "url"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The filter reads config.ini from the folder of the file its code was loaded from: here, the
  // fuzzer's own.
  const std::string path = vell::platform::ModuleDirectory() + "config.ini";
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fputs(kConfig, file);
    std::fclose(file);
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0x60000;
  if (!GetFilterVersion(&version)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto texts = vell::fuzz::SplitInput(data, size, 7);
  std::map<std::string, std::string> variables;
  for (std::size_t i = 0; i < 5; ++i) variables[kValueNames[i]] = std::string(texts[i]);
  vell::tools::SimulatedRequest request(variables, {{"url", std::string(texts[5])}});
  const unsigned flags = texts[6].empty() ? 0u : static_cast<unsigned char>(texts[6][0]);
  for (std::size_t i = 0; i < 6; ++i) {
    if ((flags >> i) & 1u) request.KeepAskingForRoom(i == 5 ? "url" : kValueNames[i]);
  }
  HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS, request.headersRecord());
  VellGetDecidingRule();
  HttpFilterProc(request.context(), SF_NOTIFY_SEND_RESPONSE, request.responseRecord());
  return 0;
}
