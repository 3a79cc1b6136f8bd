// The Win32 half of the platform layer: the module's own file and string resource, wide paths, the
// event log, a critical section for the lock, the system clock and date formatter, the audit log's
// files (append-only handles, LockFileEx, MoveFileEx without replacing) and the thread's Win32 last
// error.
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

std::string CallFailed(const char* call, const std::string& path, DWORD error) {
  return std::string(call) + "(\"" + path + "\") failed: error " + std::to_string(error);
}

bool StateOfHandle(HANDLE file, FileState* state) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  FILE_STANDARD_INFO standard{};
  const bool pending =
      GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
      standard.DeletePending;
  state->identity = {info.dwVolumeSerialNumber,
                     (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  state->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  state->removed = info.nNumberOfLinks == 0 || pending;
  FILETIME local{};
  SYSTEMTIME day{};
  state->modifiedDay = 0;
  if (FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) && FileTimeToSystemTime(&local, &day)) {
    state->modifiedDay = day.wYear * 10000 + day.wMonth * 100 + day.wDay;
  }
  return true;
}

// The locks of AppendFile: bytes far beyond any end of file, so that they never cover the bytes
// another handle appends (byte-range locks on Windows hold up writes into their range). One is
// taken to rotate the file, the other around each append.
constexpr DWORD kLockOffsetHigh = 0x40000000;
constexpr DWORD kRotationLockOffset = 0;
constexpr DWORD kAppendLockOffset = 1;

bool LockByte(HANDLE file, DWORD offset) {
  OVERLAPPED at{};
  at.Offset = offset;
  at.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

void UnlockByte(HANDLE file, DWORD offset) {
  OVERLAPPED at{};
  at.Offset = offset;
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(file, 0, 1, 0, &at);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

namespace {

void FillCalendarTime(const SYSTEMTIME& now, CalendarTime& t) {
  t.year = now.wYear;
  t.month = now.wMonth;
  t.day = now.wDay;
  t.hour = now.wHour;
  t.minute = now.wMinute;
  t.second = now.wSecond;
}

}  // namespace

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalTime t;
  FillCalendarTime(now, t);
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

UtcTime CurrentUtcTime() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  UtcTime t;
  FillCalendarTime(now, t);
  t.millisecond = now.wMilliseconds;
  return t;
}

bool PathState(const std::string& path, FileState* state) {
  HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = StateOfHandle(file, state);
  CloseHandle(file);
  return ok;
}

PathUse LookUpPath(const std::string& path) {
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return PathUse::kTaken;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathUse::kFree
                                                                        : PathUse::kUnknown;
}

RenameResult RenameNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that is taken.
  if (MoveFileExA(from.c_str(), to.c_str(), 0)) return RenameResult::kDone;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameResult::kTargetTaken
                                                                     : RenameResult::kFailed;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

AppendFile::AppendFile() : handle_(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) {}
AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path, bool* created) {
  Close();
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every WriteFile goes to the end of the file as one
  // piece. Read access is only for LockFileEx, which wants it; a file that grants no reading
  // still opens for appending.
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  const DWORD kAccess[] = {FILE_APPEND_DATA | FILE_READ_DATA, FILE_APPEND_DATA};
  for (DWORD access : kAccess) {
    file = CreateFileA(path.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = GetLastError();
    if (file != INVALID_HANDLE_VALUE || error != ERROR_ACCESS_DENIED) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    error_ = CallFailed("CreateFileA", path, error);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  path_ = path;
  if (created != nullptr) *created = error != ERROR_ALREADY_EXISTS;
  return true;
}

void AppendFile::Close() {
  if (IsOpen()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
}

bool AppendFile::IsOpen() const { return reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE; }

bool AppendFile::Append(const char* data, std::size_t size, std::size_t* written) {
  const HANDLE file = reinterpret_cast<HANDLE>(handle_);
  // A local NTFS volume appends each WriteFile whole; the lock makes it so wherever the end of the
  // file is found by a separate step (some network file systems, wine). A handle that may not
  // lock (no read access) appends without it.
  const bool locked = LockByte(file, kAppendLockOffset);
  DWORD done = 0;
  const bool ok = WriteFile(file, data, static_cast<DWORD>(size), &done, nullptr) != 0;
  const DWORD error = GetLastError();
  if (locked) UnlockByte(file, kAppendLockOffset);
  if (written != nullptr) *written = done;
  if (ok && done == size) return true;
  error_ = ok ? "WriteFile(\"" + path_ + "\") wrote " + std::to_string(done) + " of " +
                    std::to_string(size) + " bytes"
              : CallFailed("WriteFile", path_, error);
  return false;
}

bool AppendFile::State(FileState* state) { return StateOfHandle(reinterpret_cast<HANDLE>(handle_), state); }

bool AppendFile::Lock() { return LockByte(reinterpret_cast<HANDLE>(handle_), kRotationLockOffset); }

void AppendFile::Unlock() { UnlockByte(reinterpret_cast<HANDLE>(handle_), kRotationLockOffset); }

void SetThreadLastError(uint32_t code) { SetLastError(code); }
uint32_t ThreadLastError() { return GetLastError(); }

void SetThreadDecidingRule(std::string_view name) {
  const std::size_t length = std::min(name.size(), sizeof thread_deciding_rule - 1);
  std::memcpy(thread_deciding_rule, name.data(), length);
  thread_deciding_rule[length] = '\0';
}
const char* ThreadDecidingRule() { return thread_deciding_rule; }

}  // namespace vell::platform
