// The operating-system layer: the only code that knows whether it runs on Win32 or POSIX. Both
// halves (posix.cc, win32.cc) answer the same questions.
#ifndef VELL_PLATFORM_PLATFORM_H_
#define VELL_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

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

// A date and time of the Gregorian calendar, to the second.
struct CalendarTime {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;   // 0-23
  int minute = 0;
  int second = 0;
};

// The local date and time from the platform clock.
using LocalTime = CalendarTime;
LocalTime CurrentLocalTime();

// The date of t in the picture "MM/dd/yyyy", formatted for the system's default locale on Windows.
std::string FormatDate(const LocalTime& t);

// The current time in UTC, to the millisecond, from the platform clock.
struct UtcTime : CalendarTime {
  int millisecond = 0;
};
UtcTime CurrentUtcTime();

// ---- Files of the audit log. Paths are narrow (8-bit) strings, used unchanged as file names.

// Which file a name or a descriptor leads to: equal identities are the same file, whatever its
// names now.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct FileState {
  FileIdentity identity;
  uint64_t size = 0;
  bool removed = false;  // the file has no name left (deleted, or its deletion pending)
  int modifiedDay = 0;   // the local date of its last change, as yyyymmdd
};

// What stands at path now; false when nothing does or it cannot be asked.
bool PathState(const std::string& path, FileState* state);

// Whether a name is in use: kTaken when anything stands there (a file that cannot be read
// included), kFree when nothing does, kUnknown when it cannot be told (a folder on the way cannot
// be searched).
enum class PathUse { kFree, kTaken, kUnknown };
PathUse LookUpPath(const std::string& path);

enum class RenameResult { kDone, kTargetTaken, kFailed };
// Gives the file at from the name to, but never in place of another file: kTargetTaken when to is
// taken, also when it appears while the call runs. Stays on one file system.
RenameResult RenameNoReplace(const std::string& from, const std::string& to);

// Removes the name path; false when it fails.
bool RemoveFile(const std::string& path);

// A file held open for appending. Append writes its data with one call at the file's end, so that
// appends of any length from any number of threads and processes never interleave (on a local file
// system; on Windows a byte-range lock held around each write makes it so on any). Others may
// read, rename and delete the file while it is open. Not copyable; one thread at a time.
class AppendFile {
 public:
  AppendFile();
  ~AppendFile();  // closes the file
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens path for appending, creating it when missing; *created (when given) says whether this
  // call created it. False, with error() naming the failed call, when it does not open.
  bool Open(const std::string& path, bool* created = nullptr);
  void Close();
  bool IsOpen() const;
  const std::string& path() const { return path_; }

  // Writes data at the file's end with one write call. True when all of it was written; otherwise
  // error() says why and *written (when given) how many of its first bytes reached the file.
  bool Append(const char* data, std::size_t size, std::size_t* written = nullptr);

  // The open file's state; false when it cannot be asked.
  bool State(FileState* state);

  // Waits for the exclusive lock that processes take on this file to rotate it (flock,
  // LockFileEx). Appends by others are not held up by it. False when the file does not support it.
  bool Lock();
  void Unlock();

  // The last failure, naming its call: "open("/var/log/audit.log") failed: Permission denied".
  const std::string& error() const { return error_; }

 private:
  intptr_t handle_;
  std::string path_;
  std::string error_;
};

// The calling thread's last-error code: what the server reads after a request was ended with an
// error. Each thread has its own.
void SetThreadLastError(uint32_t code);
uint32_t ThreadLastError();

// The name of the rule that decided the calling thread's last decided request, kept per thread (cut to
// 255 bytes); "" before the first. ThreadDecidingRule's text lives until the thread's next call of
// SetThreadDecidingRule.
void SetThreadDecidingRule(std::string_view name);
const char* ThreadDecidingRule();

}  // namespace vell::platform

#endif  // VELL_PLATFORM_PLATFORM_H_
