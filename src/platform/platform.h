// The operating-system layer: the only code that knows whether it runs on Win32 or POSIX. Both
// halves (posix.cc, win32.cc) answer the same questions.
#ifndef VELL_PLATFORM_PLATFORM_H_
#define VELL_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace vell::platform {

// The folder of the file this code was loaded from (the module when it runs inside a server, the
// program otherwise), with its trailing separator; empty when the file cannot be found, so that a
// name appended to it resolves against the current directory. Any file name and path length, and
// on Windows any characters: the path is read through the wide API and given in UTF-8.
std::string ModuleDirectory();

// A path as the standard library opens it. On Windows a path that is valid UTF-8 (ModuleDirectory's
// paths, and every ASCII path) is read as UTF-8, any other as text in the ANSI code page; elsewhere
// the bytes are the path.
std::filesystem::path NativePath(const std::string& path);

// Tells the system's administrator about a problem found at start-up (a config.ini that is missing
// or has problems, rules that could not be compiled): an error entry in the Application event log
// under the source "vell" on Windows (ReportEventA); nothing elsewhere, where hosts read the load
// report instead. Start-up only.
void ReportStartUpProblem(const std::string& text);

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

}  // namespace vell::platform

#endif  // VELL_PLATFORM_PLATFORM_H_
