// The Win32 half of the platform layer: the module's own file and string resource, a critical
// section for the lock, the system clock and date formatter, and the thread's Win32 last error.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace vell::platform {

namespace {

constexpr UINT kDescriptionResource = 101;
constexpr int kDescriptionSize = 257;
constexpr char kBuiltInDescription[] = "vell Filter";

thread_local char thread_deciding_rule[256] = {};

void AnchorInsideModule() {}

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
  // GetModuleFileNameA truncates silently when the buffer is too small (it then fills it
  // completely), so grow the buffer until the whole path fits.
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      const std::string path(buffer.data(), length);
      const std::size_t separator = path.find_last_of("\\/");
      if (separator == std::string::npos) return {};
      return path.substr(0, separator + 1);
    }
    if (buffer.size() >= 1u << 20) return {};
    buffer.resize(buffer.size() * 2);
  }
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

void SetThreadDecidingRule(std::string_view name) {
  const std::size_t length = std::min(name.size(), sizeof thread_deciding_rule - 1);
  std::memcpy(thread_deciding_rule, name.data(), length);
  thread_deciding_rule[length] = '\0';
}
const char* ThreadDecidingRule() { return thread_deciding_rule; }

}  // namespace vell::platform
