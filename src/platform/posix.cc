// The POSIX half of the platform layer: dladdr for the module's own file, a pthread mutex for the
// lock, localtime_r for the clock and a thread-local last-error code.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <cstdio>

#include "platform/platform.h"

namespace vell::platform {

namespace {

// Aligned to 64 bytes, which makes the module's whole thread-local block start on a 64-byte
// boundary. The leak checker of the sanitizer builds misreads a dynamically loaded module's block
// that starts 16 bytes into a page (it takes the 16 bytes before it for an old C library's header
// and scans a bogus range, crashing at exit); an aligned block never starts there.
alignas(64) thread_local uint32_t thread_last_error = 0;

// Any address inside this file's code names the module the file was linked into.
void AnchorInsideModule() {}

}  // namespace

std::string ModuleDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&AnchorInsideModule), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

std::filesystem::path NativePath(const std::string& path) { return std::filesystem::path(path); }

void ReportStartUpProblem(const std::string&) {}

std::string FilterDescription() { return "vell Filter"; }

struct CriticalSection::Impl {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) {}
CriticalSection::~CriticalSection() { pthread_mutex_destroy(&impl_->mutex); }
void CriticalSection::lock() { pthread_mutex_lock(&impl_->mutex); }
void CriticalSection::unlock() { pthread_mutex_unlock(&impl_->mutex); }

LocalTime CurrentLocalTime() {
  const time_t now = time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  LocalTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  return t;
}

std::string FormatDate(const LocalTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", t.month, t.day, t.year);
  return text;
}

void SetThreadLastError(uint32_t code) { thread_last_error = code; }
uint32_t ThreadLastError() { return thread_last_error; }

}  // namespace vell::platform
