// The audit log file: rotation at start-up, header, timestamp and the locked append of entries.
#include "auditlog/audit_log.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace vell {

namespace {

constexpr char kLineEnd[] = "\r\n";

bool FileOpensForReading(const std::string& name) {
  FILE* file = std::fopen(name.c_str(), "r");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// Binary append: the line ends are written as CR LF on every platform, never translated.
void AppendText(const char* path, const std::string& text) {
  FILE* file = std::fopen(path, "ab+");
  if (file == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
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

void AuditLogRotate(std::string path, unsigned generation) {
  AuditLogGenerationName(path, generation);  // throws before any file is touched
  unsigned missing = generation;
  while (FileOpensForReading(AuditLogGenerationName(path, missing))) ++missing;
  // Shift from the highest existing generation downwards so each target name is free.
  for (unsigned g = missing; g > generation; --g) {
    std::rename(AuditLogGenerationName(path, g - 1).c_str(), AuditLogGenerationName(path, g).c_str());
  }
}

std::string AuditLogTimestamp(const platform::LocalTime& t) {
  return platform::FormatDate(t) + " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) +
         ":" + std::to_string(t.second);
}

std::string AuditLogTimestamp() { return AuditLogTimestamp(platform::CurrentLocalTime()); }

void AuditLogWriteHeader(const std::string& path, bool detectionOnly) {
  std::string header;
  header += "#Software: Orvanta IIS Application Security Firewall";
  header += kLineEnd;
  header += "#Version: 1.0. Please report issues to security@vell.invalid";
  header += kLineEnd;
  header += "#Date: " + AuditLogTimestamp();
  header += kLineEnd;
  header += "#Fields: time, filter-name, c-ip, cs-uri-query";
  if (detectionOnly) header += ", x-action";
  header += kLineEnd;
  AppendText(path.c_str(), header);
}

void AuditLogAppendLine(platform::CriticalSection& lock, const char* path, const char* line) {
  // Composed before the lock is taken; the lock covers only open, write and close.
  std::string text = line;
  text += kLineEnd;
  std::lock_guard<platform::CriticalSection> hold(lock);
  AppendText(path, text);
}

}  // namespace vell
