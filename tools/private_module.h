// A private copy of the filter module: a fresh temporary folder holding a copy of the module file
// and the config.ini it is to read, the copy loaded through its exports. The module reads
// config.ini from its own folder, so a host that brings its own configuration needs its own copy.
#ifndef VELL_TOOLS_PRIVATE_MODULE_H_
#define VELL_TOOLS_PRIVATE_MODULE_H_

#include <filesystem>
#include <memory>
#include <string>

#include "tools/module_host.h"

namespace vell::tools {

// The module's file name on this platform: "vell.so" or "vell.dll".
const char* ModuleFileName();

// The folder of the running program; empty when it cannot be told.
std::filesystem::path ExecutableFolder();

// The module next to the running program or, when there is none and the build knows where the
// module is installed, that one.
std::string DefaultModulePath();

class PrivateModule {
 public:
  // Creates the folder, copies the module at modulePath into it and writes configText as its
  // config.ini, then loads the copy (GetFilterVersion is not called). Throws std::runtime_error
  // or std::filesystem::filesystem_error naming what failed; the folder is removed then too.
  PrivateModule(const std::string& modulePath, const std::string& configText);
  ~PrivateModule();  // unloads the copy and removes the folder
  PrivateModule(const PrivateModule&) = delete;
  PrivateModule& operator=(const PrivateModule&) = delete;

  FilterModule& module() { return *module_; }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<FilterModule> module_;
};

}  // namespace vell::tools

#endif  // VELL_TOOLS_PRIVATE_MODULE_H_
