// The operating-system layer: the only code that knows whether it runs on Win32 or POSIX. Both
// halves (posix.cc, win32.cc) answer the same questions.
#ifndef VELL_PLATFORM_PLATFORM_H_
#define VELL_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vell::platform {

// The folder of the file this code was loaded from (the module when it runs inside a server, the
// program otherwise), with its trailing separator; empty when the file cannot be found, so that a
// name appended to it resolves against the current directory. Any file name and path length.
std::string ModuleDirectory();

// The filter's description as the server shows it: string resource 101 on Windows, the same text
// built in elsewhere. At most 256 characters.
std::string FilterDescription();

// A lock for one process (a critical section on Windows). Meets BasicLockable, so it works with
// std::lock_guard. Not copyable; lock() must not be called again by the thread that holds it.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void lock();
  void unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The local date and time from the platform clock.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;   // 0-23
  int minute = 0;
  int second = 0;
};
LocalTime CurrentLocalTime();

// The date of t in the picture "MM/dd/yyyy", formatted for the system's default locale on Windows.
std::string FormatDate(const LocalTime& t);

// The calling thread's last-error code: what the server reads after a request was ended with an
// error. Each thread has its own.
void SetThreadLastError(uint32_t code);
uint32_t ThreadLastError();

// The name of the rule that decided the calling thread's last request, kept per thread (cut to
// 255 bytes); "" when none did. ThreadDecidingRule's text lives until the thread's next call of
// SetThreadDecidingRule.
void SetThreadDecidingRule(std::string_view name);
const char* ThreadDecidingRule();

}  // namespace vell::platform

#endif  // VELL_PLATFORM_PLATFORM_H_
