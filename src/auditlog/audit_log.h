// The audit log: numbered names of earlier files, the header lines, the timestamp and the locked
// append of one entry line. Every line of the file ends with CR LF.
#ifndef VELL_AUDITLOG_AUDIT_LOG_H_
#define VELL_AUDITLOG_AUDIT_LOG_H_

#include <string>

#include "platform/platform.h"

namespace vell {

// The name of generation g of the log at path: path itself for 0, otherwise path with the decimal
// digits of g inserted in front of the first ".log". Throws std::invalid_argument when path holds
// no ".log" (exact case).
std::string AuditLogGenerationName(const std::string& path, unsigned generation);

// Moves the chain of existing files from generation `generation` upwards one generation up,
// highest first, so that the name of `generation` is free. The chain ends at the first generation
// that does not open for reading; files above it stay. Failed renames are ignored. Throws
// std::invalid_argument, before touching any file, when path holds no ".log". Start-up only.
void AuditLogRotate(std::string path, unsigned generation);

// The current local date and time: the date as "MM/dd/yyyy", a blank, then hour:minute:second
// as plain numbers without leading zeros (03/07/2005 9:5:3).
std::string AuditLogTimestamp();
// The same text for a given time.
std::string AuditLogTimestamp(const platform::LocalTime& t);

// Appends the four header lines to the log at path ("#Date: " with the current timestamp). Does
// nothing when the file does not open. In detection-only mode the "#Fields:" line names a fifth
// field, x-action: what the rule's actions did or would have done. Start-up only; takes no lock.
void AuditLogWriteHeader(const std::string& path, bool detectionOnly = false);

// Appends line and CR LF to the file at path, opening and closing the file while holding lock, so
// that lines of concurrent callers never interleave. The line is written as data. A file that
// does not open drops the line silently. Any thread.
void AuditLogAppendLine(platform::CriticalSection& lock, const char* path, const char* line);

}  // namespace vell

#endif  // VELL_AUDITLOG_AUDIT_LOG_H_
