// What only vell.dll has: the description the server shows is string 101 of the DLL's own string
// table, read from the file that was loaded; and the version resource that Explorer and
// PowerShell show, which names the same version as the module's export.
#include <windows.h>

#include <gtest/gtest.h>

#include "loaded_filter.h"

namespace vell::testing {
namespace {

namespace fs = std::filesystem;

constexpr UINT kDescriptionId = 101;

TEST(Resources, BuiltDllHoldsTheDescriptionAsString101) {
  HMODULE image = LoadLibraryExA(VELL_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr) << "LoadLibraryExA failed: " << GetLastError();
  char text[SF_MAX_FILTER_DESC_LEN] = {};
  EXPECT_EQ(LoadStringA(image, kDescriptionId, text, sizeof text), 11);
  EXPECT_STREQ(text, "vell Filter");
  FreeLibrary(image);
}

// Replaces every resource of the DLL file with one string table block that holds text as string
// id (a block holds 16 strings, each a length word and that many UTF-16 units).
void ReplaceStringTable(const fs::path& module, UINT id, const std::string& text) {
  std::vector<WORD> block;
  for (UINT i = 0; i < 16; ++i) {
    const std::string s = i == id % 16 ? text : std::string();
    block.push_back(static_cast<WORD>(s.size()));
    for (char c : s) block.push_back(static_cast<WORD>(static_cast<unsigned char>(c)));
  }
  HANDLE update = BeginUpdateResourceA(module.string().c_str(), TRUE);
  ASSERT_NE(update, nullptr) << "BeginUpdateResourceA failed: " << GetLastError();
  ASSERT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(6) /* RT_STRING */,
                              MAKEINTRESOURCEA(id / 16 + 1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                              block.data(), static_cast<DWORD>(block.size() * sizeof(WORD))));
  ASSERT_TRUE(EndUpdateResourceA(update, FALSE)) << "EndUpdateResourceA failed: " << GetLastError();
}

// A string of the version resource's US English, Unicode block.
std::string VersionString(const std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return "";
  return std::string(value, length > 0 ? length - 1 : 0);
}

TEST(Resources, VersionResourceNamesTheProductAndTheModulesVersion) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(VELL_MODULE_PATH, &ignored);
  ASSERT_GT(size, 0u) << "GetFileVersionInfoSizeA failed: " << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(VELL_MODULE_PATH, 0, size, info.data()));
  EXPECT_EQ(VersionString(info, "ProductName"), "vell");
  EXPECT_EQ(VersionString(info, "ProductVersion"), VELL_VERSION);
  EXPECT_EQ(VersionString(info, "FileVersion"), VELL_VERSION);
  EXPECT_EQ(VersionString(info, "OriginalFilename"), "vell.dll");
  EXPECT_EQ(VersionString(info, "FileDescription").rfind("vell web application firewall", 0), 0u);

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(numbers, VELL_VERSION);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  // The loaded module says the same.
  HMODULE module = LoadLibraryA(VELL_MODULE_PATH);
  ASSERT_NE(module, nullptr);
  const auto getVersion = reinterpret_cast<const char*(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "VellGetVersion")));
  ASSERT_NE(getVersion, nullptr);
  EXPECT_STREQ(getVersion(), VELL_VERSION);
  FreeLibrary(module);
}

struct DescriptionCase {
  const char* name;
  UINT id;           // the string the edited table holds
  std::string text;  // its text
  std::string shown; // lpszFilterDesc after GetFilterVersion
};

TEST(Resources, DescriptionIsString101OfTheLoadedFile) {
  const DescriptionCase cases[] = {
      {"EditedText", kDescriptionId, "Edited vell", "Edited vell"},
      // The record's field holds 256 characters and the NUL.
      {"LongerThanTheField", kDescriptionId, std::string(300, 'd'), std::string(256, 'd')},
      // Without string 101 the filter still describes itself.
      {"NoString101", kDescriptionId + 1, "other", "vell Filter"},
  };
  for (const DescriptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedFilter filter({.configLines = {}, .editModule = [&](const fs::path& module) {
                           ReplaceStringTable(module, c.id, c.text);
                         }});
    ASSERT_EQ(filter.Start(), 1);
    EXPECT_EQ(std::string(filter.version().lpszFilterDesc), c.shown);
    EXPECT_EQ(filter.version().dwFlags, 0x84343u);
  }
}

}  // namespace
}  // namespace vell::testing
