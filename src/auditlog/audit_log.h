// The audit log: numbered names of earlier files, rotation that never replaces a file, the header
// lines, the timestamp, and the writer that appends each entry with one write call.
#ifndef VELL_AUDITLOG_AUDIT_LOG_H_
#define VELL_AUDITLOG_AUDIT_LOG_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "auditlog/audit_entry.h"
#include "platform/platform.h"

namespace vell {

// The name of generation g of the log at path: path itself for 0, otherwise path with the decimal
// digits of g inserted in front of the first ".log". Throws std::invalid_argument when path holds
// no ".log" (exact case).
std::string AuditLogGenerationName(const std::string& path, unsigned generation);

// Frees the name of `generation`: the chain of taken names from it upwards (a file that cannot be
// read is part of it) moves one generation up, highest first; files above the first free name
// stay. No rename ever replaces a file: when a name is taken while the chain moves (another
// program), the chain is looked at again. With keep > 0, the files that would move beyond
// generation keep are removed instead. beforeRename, when given, is called with the target of
// each rename just before it (tests stand in for another program there). True when the name is
// free afterwards. Throws std::invalid_argument, before touching any file, when path holds no
// ".log". Callers serialise it (start-up, or the writer under its locks).
bool AuditLogRotate(const std::string& path, unsigned generation, unsigned keep = 0,
                    const std::function<void(const std::string&)>& beforeRename = nullptr);

// The current local date and time: the date as "MM/dd/yyyy", a blank, then hour:minute:second
// as plain numbers without leading zeros (03/07/2005 9:5:3).
std::string AuditLogTimestamp();
// The same text for a given time.
std::string AuditLogTimestamp(const platform::LocalTime& t);

// Appends the four header lines to the log at path ("#Date: " with the current timestamp), with
// one write. Does nothing when the file does not open. Takes no lock.
void AuditLogWriteHeader(const std::string& path);

// Appends line and CR LF to the file at path with one write on a descriptor opened for appending
// and closed again, holding lock meanwhile. The line is written as data. A file that does not open
// drops the line silently. Any thread.
void AuditLogAppendLine(platform::CriticalSection& lock, const char* path, const char* line);

enum class AuditLogFormat { kW3C, kJson };

// How the log of one load of the filter is written and rotated. The defaults are the log as it
// always was: W3C lines, a new file at each load, none while running, every generation kept.
struct AuditLogSettings {
  std::string path;  // empty: no log
  AuditLogFormat format = AuditLogFormat::kW3C;
  bool rotateAtLoad = true;
  bool rotateDaily = false;  // at the first entry of a new local day
  uint64_t maxSize = 0;      // rotate before an entry once the file holds this many bytes; 0 never
  unsigned keep = 0;         // earlier generations kept; 0 keeps all
  bool detectionOnly = false;  // W3C lines and header carry the outcome (x-action)
};

// The writer of one load of the filter. Every entry is formatted whole and appended with one write
// on a descriptor held open for appending, so lines of any length from any number of threads and
// processes never interleave. The descriptor is reopened when the file at the path is no longer
// the one it writes (deleted at once, moved away within a second), and the writer rotates by size
// and day while running. Entries that cannot be written (no folder, no access, a full disk) are
// counted, and the next line that can be written is preceded by a note saying how many were lost.
// Nothing here throws but what memory exhaustion throws, or lets a request wait for anything but
// the file.
class AuditLog {
 public:
  AuditLog();
  ~AuditLog();
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  // Takes the settings, rotates as they say (with keep) and writes the W3C header. A path without
  // ".log" is neither rotated nor given a header, but entries go to it. Before Start, or without
  // it (a load that must not touch the log), AppendEntry writes nothing. On the loading thread,
  // before any entry.
  void Start(const AuditLogSettings& settings);

  // Formats the entry with the current time and appends it. Any thread.
  void AppendEntry(const AuditEntry& entry);

  // Closes the log and opens the file at its path again, creating it (with the W3C header) when
  // missing. True when it is open afterwards, or when there is no log to open. Any thread.
  bool Reopen();

  // Whether entries are written at all (Start ran with a path).
  bool IsActive() const { return started_ && !settings_.path.empty(); }
  AuditLogFormat format() const { return settings_.format; }
  // Entries lost and not yet reported in the file. Any thread.
  uint64_t LostEntries();

 private:
  using Clock = std::chrono::steady_clock;

  // The parts of the writer; "Locked" ones run holding lock_. today is the local day (yyyymmdd).
  bool OpenLocked(int today);
  void AdoptLocked(std::unique_ptr<platform::AppendFile> file, bool created, int today);
  bool PrepareFileLocked(Clock::time_point now, int today);
  void RotateLocked(Clock::time_point now, int today);
  bool RotationDue(uint64_t size, int fileDay, int today) const;
  void WriteLocked(const std::string& line, int today);
  void CountPartialWriteLocked(std::size_t written, std::size_t noteBegin, std::size_t entryBegin,
                               std::size_t size, std::string_view lineEnd);

  platform::CriticalSection lock_;
  AuditLogSettings settings_;
  bool started_ = false;
  bool hasGenerations_ = false;  // the path holds ".log": rotation and headers
  std::unique_ptr<platform::AppendFile> file_;
  int fileDay_ = 0;  // the local day (yyyymmdd) of the open file's entries
  Clock::time_point nextPathCheck_{};
  Clock::time_point nextRotationTry_{};
  uint64_t lost_ = 0;
  // What ends the line that a failed write broke off; the next write starts with it.
  std::string torn_;
  std::string lastError_;
};

}  // namespace vell

#endif  // VELL_AUDITLOG_AUDIT_LOG_H_
