// A fresh copy of the built filter module in a folder of its own, with the case's config.ini next
// to it, loaded through its exports as the server loads it. Each copy is a new file, so the loader
// maps a new image with a new filter object.
#ifndef VELL_TESTS_INTEGRATION_LOADED_FILTER_H_
#define VELL_TESTS_INTEGRATION_LOADED_FILTER_H_

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cases/end_to_end.h"
#include "tools/module_host.h"

namespace vell::testing {

// A folder under the system's temporary folder, removed with everything in it on destruction.
class TempFolder {
 public:
  // subfolder, when given, is created inside the fresh folder and becomes path().
  explicit TempFolder(const std::filesystem::path& subfolder = {});
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path path_;
};

// The built module's file name: vell.so or vell.dll.
std::string BuiltModuleName();

struct FilterSetup {
  std::vector<std::string> configLines;
  // Written as "AuditLog=<folder>/audit.log" before the case's own lines, unless false.
  bool auditLogInFolder = true;
  // The module copy's file name and a folder inside the temporary folder to put it in.
  std::string moduleName = BuiltModuleName();
  std::filesystem::path subfolder;
  // Called with the copy's path before it is loaded, to change the file the loader will map.
  std::function<void(const std::filesystem::path&)> editModule;
};

class LoadedFilter {
 public:
  // Copies the module and writes config.ini (no file when configLines is empty and no audit log
  // is asked for), loads the copy, but does not call GetFilterVersion.
  explicit LoadedFilter(const FilterSetup& setup);
  ~LoadedFilter();

  // Calls GetFilterVersion on a fresh record and keeps what the module wrote into it.
  BOOL Start();
  const HTTP_FILTER_VERSION& version() const { return version_; }

  tools::FilterModule& module() { return *module_; }
  const std::filesystem::path& folder() const { return folder_.path(); }
  std::filesystem::path auditLogPath() const { return folder_.path() / "audit.log"; }

 private:
  TempFolder folder_;
  std::unique_ptr<tools::FilterModule> module_;
  HTTP_FILTER_VERSION version_{};
};

// The server variables of a case's request.
std::map<std::string, std::string> VariablesOf(const CaseRequest& request);

// The whole file as text; empty when it does not exist.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// The lines of an audit log, each without its CR LF. Fails the test when a line lacks its CR LF.
std::vector<std::string> ReadLogLines(const std::filesystem::path& path);

// The entry lines of an audit log after its four header lines, each without its time field (the
// text up to and including the first ", "). Fails the test when the header is not the expected
// one or a time field is not a timestamp.
std::vector<std::string> ReadLogEntries(const std::filesystem::path& path);

// True when text has the form of the audit log's timestamp: MM/dd/yyyy H:M:S.
bool IsTimestamp(const std::string& text);

}  // namespace vell::testing

#endif  // VELL_TESTS_INTEGRATION_LOADED_FILTER_H_
