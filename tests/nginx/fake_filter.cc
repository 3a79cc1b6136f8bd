// A stand-in filter module for the nginx host's tests: it speaks the same exports as vell.so but
// its behaviour is set by the config.ini next to it, one "key=value" a line:
//   flags=0x84343          what GetFilterVersion registers
//   refuse=1               GetFilterVersion answers false
//   deny=TEXT              a URL that contains TEXT is refused
//   redirect=FROM TO       a URL equal to FROM is replaced by TO ("EMPTY": the empty text)
//   server=TEXT            the Server response header becomes TEXT
//   addheader=LINE         AddResponseHeaders(LINE + CR LF) on every request
//   setheader=NAME VALUE   SetHeader(NAME, VALUE) on the response
//   log=PATH               every notification is written to PATH, one line each
//   report=RULES ERRORS TEXT  what VellGetLoadReport answers besides configRead (default: one
//                          rule a deny or redirect line, no errors)
// A URL that contains "/vars" writes the server variables and headers it asks for to the log.
// Built with VELL_FAKE_WITHOUT_PROC it lacks the HttpFilterProc export.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "vell/vell.h"

namespace {

struct Settings {
  DWORD flags = 0x84343;
  bool refuse = false;
  std::vector<std::string> deny;
  std::vector<std::pair<std::string, std::string>> redirects;
  std::string server;
  std::string addHeader;
  std::pair<std::string, std::string> setHeader;
  std::string log;
  bool configRead = false;
  std::string configPath;
  bool reported = false;
  DWORD rules = 0, errors = 0;
  std::string firstError;
};

Settings settings;
int starts = 0;
thread_local uint32_t lastError = 0;
thread_local std::string decidingRule;
DWORD startOptions = 0;

struct Session {
  int requests = 0;
};

void Log(const std::string& line) {
  if (settings.log.empty()) return;
  if (FILE* f = std::fopen(settings.log.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

void LoadSettings() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&LoadSettings), &info) || !info.dli_fname) return;
  std::string path = info.dli_fname;
  path = path.substr(0, path.rfind('/') + 1) + "config.ini";
  settings.configPath = path;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return;
  settings.configRead = true;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line = Trim(buf);
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    auto sp = value.find(' ');
    if (key == "flags") settings.flags = std::strtoul(value.c_str(), nullptr, 0);
    if (key == "refuse") settings.refuse = value == "1";
    if (key == "deny") settings.deny.push_back(value);
    if (key == "redirect" && sp != std::string::npos)
      settings.redirects.emplace_back(value.substr(0, sp), value.substr(sp + 1));
    if (key == "server") settings.server = value;
    if (key == "addheader") settings.addHeader = value;
    if (key == "setheader" && sp != std::string::npos)
      settings.setHeader = {value.substr(0, sp), value.substr(sp + 1)};
    if (key == "log") settings.log = value;
    if (key == "report") {
      char text[256] = "";
      unsigned rules = 0, errors = 0;
      std::sscanf(value.c_str(), "%u %u %255[^\n]", &rules, &errors, text);
      settings.reported = true;
      settings.rules = rules;
      settings.errors = errors;
      settings.firstError = text;
    }
  }
  if (!settings.reported) settings.rules = settings.deny.size() + settings.redirects.size();
  std::fclose(f);
}

// Reads as a careful filter does: a small buffer first, then one of the size the server asked for.
// Answers "(none)" when the server does not know the name.
std::string Read(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers, const char* name) {
  std::vector<char> buf(8, 'x');
  DWORD size = buf.size();
  char* n = const_cast<char*>(name);
  auto read = [&] {
    return headers ? headers->GetHeader(pfc, n, buf.data(), &size)
                   : pfc->GetServerVariable(pfc, n, buf.data(), &size);
  };
  if (!read()) {
    if (size <= buf.size()) return "(none)";
    buf.assign(size, 'x');
    if (!read()) return "(refused)";
  }
  if (size == 0 || std::strlen(buf.data()) + 1 != size) return "(bad size)";
  return buf.data();
}

std::string Hex(DWORD v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

DWORD PreprocHeaders(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers) {
  auto* session = static_cast<Session*>(pfc->pFilterContext);
  if (!session) {
    session = static_cast<Session*>(pfc->AllocMem(pfc, sizeof(Session), 0));
    if (session) *session = Session{};
    pfc->pFilterContext = session;
  }
  if (session) session->requests++;

  std::string url = Read(pfc, headers, "url");
  Log("preproc " + Read(pfc, nullptr, "REMOTE_ADDR") + " " + url);
  if (url.find("/vars") != std::string::npos) {
    for (const char* name : {"SERVER_NAME", "SERVER_PORT", "REMOTE_ADDR", "REMOTE_HOST",
                             "REQUEST_METHOD", "URL", "QUERY_STRING", "HTTPS", "HTTP_X_TEST_HEADER",
                             "HTTP_USER_AGENT", "HTTP_COOKIE", "HTTP_NO_SUCH", "NO_SUCH_VARIABLE"}) {
      Log(std::string("var ") + name + "=" + Read(pfc, nullptr, name));
    }
    Log("var ALL_HTTP=[" + Read(pfc, nullptr, "ALL_HTTP") + "]");
    Log("header X-Test-Header:=" + Read(pfc, headers, "X-Test-Header:"));
    Log("secure=" + std::to_string(pfc->fIsSecurePort));
  }
  if (!settings.addHeader.empty()) {
    std::string line = settings.addHeader + "\r\n";
    pfc->AddResponseHeaders(pfc, line.data(), 0);
  }
  decidingRule.clear();
  for (const auto& text : settings.deny) {
    if (url.find(text) != std::string::npos) {
      lastError = 87;
      decidingRule = text;
      return SF_STATUS_REQ_ERROR;
    }
  }
  for (const auto& [from, to] : settings.redirects) {
    if (url == from) {
      std::string target = to == "EMPTY" ? "" : to;
      headers->SetHeader(pfc, const_cast<char*>("url"), target.data());
      Log("redirected " + Read(pfc, headers, "url"));
      return SF_STATUS_REQ_HANDLED_NOTIFICATION;
    }
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD SendResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  Log("send " + std::to_string(response->HttpStatus));
  if (!settings.server.empty()) {
    std::string value = settings.server;
    response->SetHeader(pfc, const_cast<char*>("Server:"), value.data());
  }
  if (!settings.setHeader.first.empty()) {
    std::string name = settings.setHeader.first, value = settings.setHeader.second;
    response->SetHeader(pfc, name.data(), value.data());
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace

extern "C" {

VELL_EXPORT BOOL GetFilterVersion(HTTP_FILTER_VERSION* ver) {
  LoadSettings();
  ++starts;
  Log("start " + std::to_string(starts) + " server-version " + Hex(ver->dwServerFilterVersion) +
      " options " + Hex(startOptions));
  ver->dwFilterVersion = 0x40000;
  std::snprintf(ver->lpszFilterDesc, SF_MAX_FILTER_DESC_LEN, "fake filter");
  ver->dwFlags = settings.flags;
  return settings.refuse ? 0 : 1;
}

#ifndef VELL_FAKE_WITHOUT_PROC
VELL_EXPORT DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type, LPVOID notification) {
  switch (type) {
    case SF_NOTIFY_PREPROC_HEADERS:
      return PreprocHeaders(pfc, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification));
    case SF_NOTIFY_SEND_RESPONSE:
      return SendResponse(pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(notification));
    case SF_NOTIFY_LOG:
      Log("log " + Read(pfc, nullptr, "REMOTE_ADDR"));
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    case SF_NOTIFY_END_OF_NET_SESSION: {
      auto* session = static_cast<Session*>(pfc->pFilterContext);
      Log("session-end " + Read(pfc, nullptr, "REMOTE_ADDR") + " requests " +
          std::to_string(session ? session->requests : 0));
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    default:
      Log("unexpected " + Hex(type));
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}
#endif

VELL_EXPORT uint32_t GetLastError(void) { return lastError; }

VELL_EXPORT void WINAPI VellSetStartOptions(DWORD options) { startOptions = options; }

VELL_EXPORT BOOL WINAPI VellGetLoadReport(VELL_LOAD_REPORT* report) {
  if (report == nullptr || report->cbSize < sizeof(VELL_LOAD_REPORT) || starts == 0) return 0;
  std::memset(report, 0, sizeof(VELL_LOAD_REPORT));
  report->cbSize = sizeof(VELL_LOAD_REPORT);
  report->configRead = settings.configRead;
  report->rulesInForce = settings.rules;
  report->errors = settings.errors;
  std::snprintf(report->configPath, VELL_LOAD_TEXT_SIZE, "%s", settings.configPath.c_str());
  // Messages name the file the module read, as the filter's own do.
  std::string first = settings.firstError;
  const auto at = first.find("@CONFIG@");
  if (at != std::string::npos) first.replace(at, 8, settings.configPath);
  std::snprintf(report->firstError, VELL_LOAD_TEXT_SIZE, "%s", first.c_str());
  return 1;
}

VELL_EXPORT BOOL WINAPI VellReopenAuditLog(void) {
  Log("reopen pid " + std::to_string(getpid()) + " euid " + std::to_string(geteuid()));
  return 1;
}

VELL_EXPORT const char* WINAPI VellGetDecidingRule(void) { return decidingRule.c_str(); }

VELL_EXPORT const char* WINAPI VellGetVersion(void) { return "9.8.7"; }

}  // extern "C"
