// The Win32 half of the platform layer: the module's own file and string resource, wide paths, the
// event log, a critical section for the lock, the system clock and date formatter, and the thread's
// Win32 last error.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace vell::platform {

namespace {

constexpr UINT kDescriptionResource = 101;
constexpr int kDescriptionSize = 257;
constexpr char kBuiltInDescription[] = "vell Filter";

// The event id of a start-up problem in the Application log.
constexpr DWORD kStartUpProblemEvent = 1;

void AnchorInsideModule() {}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const auto size = static_cast<int>(text.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}

// The module (DLL or program) whose image holds this code; nullptr when the lookup fails.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&AnchorInsideModule), &module)) {
    return nullptr;
  }
  return module;
}

}  // namespace

std::string ModuleDirectory() {
  HMODULE module = OwnModule();
  if (module == nullptr) return {};
  // GetModuleFileNameW truncates silently when the buffer is too small (it then fills it
  // completely), so grow the buffer until the whole path fits. The ANSI call would turn characters
  // outside the code page into "?", naming a folder that does not exist.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      const std::wstring path(buffer.data(), length);
      const std::size_t separator = path.find_last_of(L"\\/");
      if (separator == std::wstring::npos) return {};
      return ToUtf8(path.substr(0, separator + 1));
    }
    if (buffer.size() >= 1u << 20) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::filesystem::path NativePath(const std::string& path) {
  if (path.empty()) return {};
  const auto size = static_cast<int>(path.size());
  for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int wide = MultiByteToWideChar(codePage, flags, path.data(), size, nullptr, 0);
    if (wide <= 0) continue;
    std::wstring text(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(codePage, flags, path.data(), size, text.data(), wide);
    return std::filesystem::path(text);
  }
  return std::filesystem::path(path);
}

void ReportStartUpProblem(const std::string& text) {
  HANDLE source = RegisterEventSourceA(nullptr, "vell");
  if (source == nullptr) return;
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kStartUpProblemEvent, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

std::string FilterDescription() {
  char text[kDescriptionSize] = {};
  HMODULE module = OwnModule();
  if (module != nullptr && LoadStringA(module, kDescriptionResource, text, kDescriptionSize) > 0) {
    return text;
  }
  // A program that links the filter's code without its resource still gets the same text.
  return kBuiltInDescription;
}

struct CriticalSection::Impl {
  CRITICAL_SECTION section;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) {
  InitializeCriticalSection(&impl_->section);
}
CriticalSection::~CriticalSection() { DeleteCriticalSection(&impl_->section); }
void CriticalSection::lock() { EnterCriticalSection(&impl_->section); }
void CriticalSection::unlock() { LeaveCriticalSection(&impl_->section); }

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalTime t;
  t.year = now.wYear;
  t.month = now.wMonth;
  t.day = now.wDay;
  t.hour = now.wHour;
  t.minute = now.wMinute;
  t.second = now.wSecond;
  return t;
}

std::string FormatDate(const LocalTime& t) {
  SYSTEMTIME when{};
  when.wYear = static_cast<WORD>(t.year);
  when.wMonth = static_cast<WORD>(t.month);
  when.wDay = static_cast<WORD>(t.day);
  const LCID locale = GetSystemDefaultLCID();
  const int size = GetDateFormatA(locale, 0, &when, "MM/dd/yyyy", nullptr, 0);
  if (size <= 0) return {};
  std::vector<char> text(static_cast<std::size_t>(size));
  if (GetDateFormatA(locale, 0, &when, "MM/dd/yyyy", text.data(), size) <= 0) return {};
  return text.data();
}

void SetThreadLastError(uint32_t code) { SetLastError(code); }
uint32_t ThreadLastError() { return GetLastError(); }

}  // namespace vell::platform
