// A private temporary folder with a copy of the filter module and its own config.ini.
#include "tools/private_module.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vell::tools {

namespace fs = std::filesystem;

namespace {

fs::path MakePrivateFolder() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path folder = fs::temp_directory_path() /
                    ("vell-run-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(folder);
  return folder;
}

}  // namespace

const char* ModuleFileName() {
#ifdef _WIN32
  return "vell.dll";
#else
  return "vell.so";
#endif
}

fs::path ExecutableFolder() {
#ifdef _WIN32
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return fs::path(std::string(buffer.data(), length)).parent_path();
    buffer.resize(buffer.size() * 2);
  }
#else
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
#endif
}

std::string DefaultModulePath() {
  const fs::path beside = ExecutableFolder() / ModuleFileName();
#ifdef VELL_INSTALLED_MODULE
  std::error_code error;
  if (!fs::exists(beside, error)) return VELL_INSTALLED_MODULE;
#endif
  return beside.string();
}

PrivateModule::PrivateModule(const std::string& modulePath, const std::string& configText)
    : folder_(MakePrivateFolder()) {
  try {
    fs::copy_file(modulePath, folder_ / ModuleFileName());
    std::ofstream(folder_ / "config.ini", std::ios::binary) << configText;
    module_ = std::make_unique<FilterModule>((folder_ / ModuleFileName()).string());
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    throw;
  }
}

PrivateModule::~PrivateModule() {
  module_.reset();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

}  // namespace vell::tools
