// The config.ini a tool hands its private copy of the filter module.
#ifndef VELL_TOOLS_CONFIG_COPY_H_
#define VELL_TOOLS_CONFIG_COPY_H_

#include <string>

namespace vell::tools {

// The file at path with every AuditLog line removed and, when auditLog is not empty, one AuditLog
// line naming its absolute path appended. Every other byte is kept.
std::string ConfigWithAuditLog(const std::string& path, const std::string& auditLog);

}  // namespace vell::tools

#endif  // VELL_TOOLS_CONFIG_COPY_H_
