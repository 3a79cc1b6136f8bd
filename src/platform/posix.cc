// The POSIX half of the platform layer: dladdr for the module's own file, a pthread mutex for the
// lock, localtime_r for the clock, the audit log's files (O_APPEND descriptors, flock,
// renameat2) and a thread-local last-error code.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace vell::platform {

namespace {

// Aligned to 64 bytes, which makes the module's whole thread-local block start on a 64-byte
// boundary. The leak checker of the sanitizer builds misreads a dynamically loaded module's block
// that starts 16 bytes into a page (it takes the 16 bytes before it for an old C library's header
// and scans a bogus range, crashing at exit); an aligned block never starts there.
struct alignas(64) ThreadState {
  uint32_t lastError = 0;
  char decidingRule[256] = {};
};
thread_local ThreadState thread_state;

// Any address inside this file's code names the module the file was linked into.
void AnchorInsideModule() {}

std::string CallFailed(const char* call, const std::string& path, int error) {
  char buffer[256];
  return std::string(call) + "(\"" + path + "\") failed: " + strerror_r(error, buffer, sizeof buffer);
}

FileState StateOf(const struct stat& info) {
  FileState state;
  state.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  state.size = static_cast<uint64_t>(info.st_size);
  state.removed = info.st_nlink == 0;
  struct tm parts {};
  localtime_r(&info.st_mtime, &parts);
  state.modifiedDay = (parts.tm_year + 1900) * 10000 + (parts.tm_mon + 1) * 100 + parts.tm_mday;
  return state;
}

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

namespace {

void FillCalendarTime(const struct tm& parts, CalendarTime& t) {
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
}

}  // namespace

LocalTime CurrentLocalTime() {
  const time_t now = time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  LocalTime t;
  FillCalendarTime(parts, t);
  return t;
}

std::string FormatDate(const LocalTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", t.month, t.day, t.year);
  return text;
}

void SetThreadLastError(uint32_t code) { thread_state.lastError = code; }
uint32_t ThreadLastError() { return thread_state.lastError; }

void SetThreadDecidingRule(std::string_view name) {
  const std::size_t length = std::min(name.size(), sizeof thread_state.decidingRule - 1);
  std::memcpy(thread_state.decidingRule, name.data(), length);
  thread_state.decidingRule[length] = '\0';
}
const char* ThreadDecidingRule() { return thread_state.decidingRule; }

UtcTime CurrentUtcTime() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts {};
  gmtime_r(&now.tv_sec, &parts);
  UtcTime t;
  FillCalendarTime(parts, t);
  t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return t;
}

bool PathState(const std::string& path, FileState* state) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  *state = StateOf(info);
  return true;
}

PathUse LookUpPath(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) return PathUse::kTaken;
  return errno == ENOENT || errno == ENOTDIR ? PathUse::kFree : PathUse::kUnknown;
}

RenameResult RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return RenameResult::kDone;
  }
  if (errno == EEXIST) return RenameResult::kTargetTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return RenameResult::kFailed;
  // A file system without the flag: a second name, which link refuses to put over another file,
  // then the first one removed.
  if (link(from.c_str(), to.c_str()) != 0) {
    return errno == EEXIST ? RenameResult::kTargetTaken : RenameResult::kFailed;
  }
  if (unlink(from.c_str()) != 0) {
    unlink(to.c_str());
    return RenameResult::kFailed;
  }
  return RenameResult::kDone;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

AppendFile::AppendFile() : handle_(-1) {}
AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path, bool* created) {
  Close();
  // Created by this call or found: the exclusive create tells which, and a file removed between
  // the two calls is created again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    bool made = true;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
      made = false;
      fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) continue;
    }
    if (fd < 0) break;
    handle_ = fd;
    path_ = path;
    if (created != nullptr) *created = made;
    return true;
  }
  error_ = CallFailed("open", path, errno);
  return false;
}

void AppendFile::Close() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}

bool AppendFile::IsOpen() const { return handle_ >= 0; }

bool AppendFile::Append(const char* data, std::size_t size, std::size_t* written) {
  const int fd = static_cast<int>(handle_);
  std::size_t done = 0;
  ssize_t n;
  do {
    n = write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) done = static_cast<std::size_t>(n);
  if (done < size && n >= 0) {
    // A short write means a limit was reached (space, file size): the next call names it. On a
    // local file system it fails; should it go through, the entry still ends whole.
    n = write(fd, data + done, size - done);
    if (n >= 0) done += static_cast<std::size_t>(n);
  }
  if (written != nullptr) *written = done;
  if (done == size) return true;
  error_ = n < 0 ? CallFailed("write", path_, errno)
                 : "write(\"" + path_ + "\") wrote " + std::to_string(done) + " of " +
                       std::to_string(size) + " bytes";
  return false;
}

bool AppendFile::State(FileState* state) {
  struct stat info {};
  if (fstat(static_cast<int>(handle_), &info) != 0) return false;
  *state = StateOf(info);
  return true;
}

bool AppendFile::Lock() {
  int result;
  do {
    result = flock(static_cast<int>(handle_), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void AppendFile::Unlock() { flock(static_cast<int>(handle_), LOCK_UN); }

}  // namespace vell::platform
