// The audit log file: rotation that never replaces a file, header, timestamp, and the writer that
// appends whole lines, rotates while running and counts what it could not write.
#include "auditlog/audit_log.h"

#include <mutex>
#include <stdexcept>

namespace vell {

namespace {

constexpr unsigned kMaxGeneration = 9999999;
// How often a rotation starts over when other processes or programs keep changing the names.
constexpr int kRotationAttempts = 8;
// How often the writer looks whether the path still names its file (logrotate moved it away).
constexpr auto kPathCheckInterval = std::chrono::seconds(1);
// How long the writer waits before it tries again a rotation that failed.
constexpr auto kRotationRetryInterval = std::chrono::seconds(60);

int LocalDay(const platform::LocalTime& t) { return t.year * 10000 + t.month * 100 + t.day; }

bool HoldsGenerations(const std::string& path) { return path.find(".log") != std::string::npos; }

// Opens the file at path and takes the processes' rotation lock on it, making sure that once the
// lock is held the path still names that file (another process may have rotated it meanwhile).
// A file system without the lock gives the file unlocked. Null, with *error, when it fails.
std::unique_ptr<platform::AppendFile> OpenAndLock(const std::string& path, bool* created, bool* locked,
                                                  std::string* error) {
  for (int attempt = 0; attempt < kRotationAttempts; ++attempt) {
    auto file = std::make_unique<platform::AppendFile>();
    if (!file->Open(path, created)) {
      *error = file->error();
      return nullptr;
    }
    *locked = file->Lock();
    platform::FileState held;
    platform::FileState atPath;
    if (!*locked || (file->State(&held) && platform::PathState(path, &atPath) &&
                     held.identity == atPath.identity)) {
      return file;
    }
    file->Unlock();
  }
  *error = "\"" + path + "\" kept changing while it was being rotated";
  return nullptr;
}

}  // namespace

std::string AuditLogGenerationName(const std::string& path, unsigned generation) {
  const std::size_t at = path.find(".log");
  if (at == std::string::npos) {
    throw std::invalid_argument("audit log path \"" + path + "\" holds no \".log\"");
  }
  if (generation == 0) return path;
  std::string name = path;
  name.insert(at, std::to_string(generation));
  return name;
}

bool AuditLogRotate(const std::string& path, unsigned generation, unsigned keep,
                    const std::function<void(const std::string&)>& beforeRename) {
  AuditLogGenerationName(path, generation);  // throws before any file is touched
  auto name = [&](unsigned g) { return AuditLogGenerationName(path, g); };
  for (int attempt = 0; attempt < kRotationAttempts; ++attempt) {
    platform::PathUse use = platform::LookUpPath(name(generation));
    if (use != platform::PathUse::kTaken) return use == platform::PathUse::kFree;
    // The chain: generation .. top are taken, top + 1 is free.
    unsigned top = generation;
    for (;;) {
      if (top >= kMaxGeneration) return false;
      use = platform::LookUpPath(name(top + 1));
      if (use == platform::PathUse::kUnknown) return false;
      if (use == platform::PathUse::kFree) break;
      ++top;
    }
    for (; keep > 0 && top >= keep && top > generation; --top) platform::RemoveFile(name(top));
    // Highest first, so that each target is free; a target taken meanwhile restarts the walk.
    bool moved = true;
    for (unsigned g = top + 1; g > generation && moved; --g) {
      const std::string target = name(g);
      if (beforeRename) beforeRename(target);
      const platform::RenameResult result = platform::RenameNoReplace(name(g - 1), target);
      if (result == platform::RenameResult::kFailed) return false;
      moved = result == platform::RenameResult::kDone;
    }
    if (moved) return true;
  }
  return false;
}

std::string AuditLogTimestamp(const platform::LocalTime& t) {
  return platform::FormatDate(t) + " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) +
         ":" + std::to_string(t.second);
}

std::string AuditLogTimestamp() { return AuditLogTimestamp(platform::CurrentLocalTime()); }

void AuditLogWriteHeader(const std::string& path) {
  platform::AppendFile file;
  if (!file.Open(path)) return;
  const std::string header = FormatW3CHeader(AuditLogTimestamp(), false);
  file.Append(header.data(), header.size());
}

void AuditLogAppendLine(platform::CriticalSection& lock, const char* path, const char* line) {
  // Composed before the lock is taken; the lock covers only open, write and close.
  std::string text = line;
  text += "\r\n";
  std::lock_guard<platform::CriticalSection> hold(lock);
  platform::AppendFile file;
  if (file.Open(path)) file.Append(text.data(), text.size());
}

AuditLog::AuditLog() = default;
AuditLog::~AuditLog() = default;

void AuditLog::Start(const AuditLogSettings& settings) {
  std::lock_guard<platform::CriticalSection> hold(lock_);
  settings_ = settings;
  started_ = true;
  hasGenerations_ = HoldsGenerations(settings_.path);
  file_.reset();
  lost_ = 0;
  torn_.clear();
  lastError_.clear();
  nextPathCheck_ = nextRotationTry_ = Clock::time_point{};
  if (!hasGenerations_) return;

  const int today = LocalDay(platform::CurrentLocalTime());
  bool created = false;
  bool locked = false;
  std::unique_ptr<platform::AppendFile> current =
      OpenAndLock(settings_.path, &created, &locked, &lastError_);
  platform::FileState state;
  // A file this call created is empty and stays; one that does not open is still moved away.
  const bool due = current == nullptr
                       ? settings_.rotateAtLoad
                       : !created && (settings_.rotateAtLoad ||
                                      (current->State(&state) &&
                                       RotationDue(state.size, state.modifiedDay, today)));
  if (due) AuditLogRotate(settings_.path, 0, settings_.keep);
  if (settings_.format == AuditLogFormat::kW3C) {
    // Every load writes its header, also to a file that was not rotated.
    platform::AppendFile file;
    const std::string header = FormatW3CHeader(AuditLogTimestamp(), settings_.detectionOnly);
    if (file.Open(settings_.path)) file.Append(header.data(), header.size());
  }
  if (locked) current->Unlock();
  // Opened again by the first entry: a host that forks its workers after loading the filter
  // gives none of them a descriptor of its own making.
}

void AuditLog::AppendEntry(const AuditEntry& entry) {
  if (!IsActive()) return;
  std::string line;
  int today = 0;
  if (settings_.format == AuditLogFormat::kJson) {
    line = FormatJsonEntry(entry, platform::CurrentUtcTime());
    if (settings_.rotateDaily) today = LocalDay(platform::CurrentLocalTime());
  } else {
    const platform::LocalTime now = platform::CurrentLocalTime();
    line = FormatW3CEntry(entry, AuditLogTimestamp(now), settings_.detectionOnly);
    today = LocalDay(now);
  }
  std::lock_guard<platform::CriticalSection> hold(lock_);
  WriteLocked(line, today);
}

bool AuditLog::Reopen() {
  std::lock_guard<platform::CriticalSection> hold(lock_);
  if (!IsActive()) return true;
  file_.reset();
  return OpenLocked(LocalDay(platform::CurrentLocalTime()));
}

uint64_t AuditLog::LostEntries() {
  std::lock_guard<platform::CriticalSection> hold(lock_);
  return lost_;
}

bool AuditLog::RotationDue(uint64_t size, int fileDay, int today) const {
  return (settings_.maxSize > 0 && size >= settings_.maxSize) ||
         (settings_.rotateDaily && size > 0 && fileDay != today);
}

bool AuditLog::OpenLocked(int today) {
  auto file = std::make_unique<platform::AppendFile>();
  bool created = false;
  if (!file->Open(settings_.path, &created)) {
    lastError_ = file->error();
    return false;
  }
  AdoptLocked(std::move(file), created, today);
  return true;
}

void AuditLog::AdoptLocked(std::unique_ptr<platform::AppendFile> file, bool created, int today) {
  file_ = std::move(file);
  platform::FileState state;
  fileDay_ = !created && file_->State(&state) && state.size > 0 ? state.modifiedDay : today;
  nextPathCheck_ = Clock::now() + kPathCheckInterval;
  // A file started while running gets the header too; one that another process started has it.
  if (created && hasGenerations_ && settings_.format == AuditLogFormat::kW3C) {
    const std::string header = FormatW3CHeader(AuditLogTimestamp(), settings_.detectionOnly);
    file_->Append(header.data(), header.size());
  }
}

bool AuditLog::PrepareFileLocked(Clock::time_point now, int today) {
  if (file_ == nullptr && !OpenLocked(today)) return false;
  platform::FileState state;
  bool known = file_->State(&state);
  if (known && state.removed) {
    // Deleted while open: what went there now would be lost. Closed first, since Windows keeps
    // the name of a deleted file until its last handle is closed.
    file_.reset();
    if (!OpenLocked(today)) return false;
    known = file_->State(&state);
  } else if (known && now >= nextPathCheck_) {
    nextPathCheck_ = now + kPathCheckInterval;
    platform::FileState atPath;
    if (!platform::PathState(settings_.path, &atPath) || atPath.identity != state.identity) {
      // Moved away (logrotate): a new file at the path. Should it not open, the entries still go
      // to the moved file.
      auto file = std::make_unique<platform::AppendFile>();
      bool created = false;
      if (file->Open(settings_.path, &created)) {
        AdoptLocked(std::move(file), created, today);
        known = file_->State(&state);
      }
    }
  }
  if (hasGenerations_ && known && now >= nextRotationTry_ &&
      RotationDue(state.size, fileDay_, today)) {
    RotateLocked(now, today);
  }
  return true;
}

void AuditLog::RotateLocked(Clock::time_point now, int today) {
  bool created = false;
  bool locked = false;
  std::unique_ptr<platform::AppendFile> atPath =
      OpenAndLock(settings_.path, &created, &locked, &lastError_);
  if (atPath == nullptr) {
    nextRotationTry_ = now + kRotationRetryInterval;
    return;
  }
  platform::FileState theirs;
  platform::FileState mine;
  const bool same = atPath->State(&theirs) && file_->State(&mine) && theirs.identity == mine.identity;
  if (!same) {
    // Another process has rotated the file already (or a program put another one there): that
    // one is the log now.
    if (locked) atPath->Unlock();
    AdoptLocked(std::move(atPath), created, today);
    return;
  }
  if (RotationDue(theirs.size, fileDay_, today)) {
    if (!AuditLogRotate(settings_.path, 0, settings_.keep) || !OpenLocked(today)) {
      nextRotationTry_ = now + kRotationRetryInterval;
    }
  }
  if (locked) atPath->Unlock();
}

void AuditLog::WriteLocked(const std::string& line, int today) {
  if (!PrepareFileLocked(Clock::now(), today)) {
    ++lost_;
    return;
  }
  const bool json = settings_.format == AuditLogFormat::kJson;
  // One write for the end of a line that a failed write broke off, the note of what was lost
  // and the entry.
  const std::string* text = &line;
  std::string joined;
  std::size_t noteBegin = 0;
  std::size_t entryBegin = 0;
  if (lost_ > 0 || !torn_.empty()) {
    joined = torn_;
    noteBegin = joined.size();
    if (lost_ > 0) joined += FormatLostNote(lost_, lastError_, json, platform::CurrentUtcTime());
    entryBegin = joined.size();
    joined += line;
    text = &joined;
  }
  std::size_t written = 0;
  if (file_->Append(text->data(), text->size(), &written)) {
    lost_ = 0;
    torn_.clear();
    return;
  }
  lastError_ = file_->error();
  CountPartialWriteLocked(written, noteBegin, entryBegin, text->size(), json ? "\n" : "\r\n");
}

void AuditLog::CountPartialWriteLocked(std::size_t written, std::size_t noteBegin,
                                       std::size_t entryBegin, std::size_t size,
                                       std::string_view lineEnd) {
  // A line that lacks no more than (part of) its line end is in the file; the next write ends it.
  auto there = [&](std::size_t end) { return written + lineEnd.size() >= end; };
  if (noteBegin < entryBegin && there(entryBegin)) lost_ = 0;
  if (!there(size)) ++lost_;
  if (written == 0) return;
  // The piece the write broke off in: the end of the earlier line, the note or the entry.
  const std::size_t ends[] = {noteBegin, entryBegin, size};
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    if (written < end) {
      const std::size_t missing = end - written;
      torn_ = written == begin ? ""
              : missing <= lineEnd.size() ? std::string(lineEnd.substr(lineEnd.size() - missing))
                                          : std::string(lineEnd);
      return;
    }
    begin = end;
  }
}

}  // namespace vell
