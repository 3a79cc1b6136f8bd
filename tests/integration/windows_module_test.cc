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

// Points the module's import of `function` from `dll` at replacement; false when it has none.
bool ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return true;
    }
  }
  return false;
}

// What the module asked of the event log.
struct EventLogCalls {
  std::vector<std::string> sources;
  std::vector<WORD> types;
  std::vector<std::string> texts;
};
EventLogCalls eventLog;
HANDLE const kFakeSource = reinterpret_cast<HANDLE>(0x5e11);

HANDLE WINAPI RecordRegisterEventSource(LPCSTR server, LPCSTR source) {
  eventLog.sources.push_back(server == nullptr ? source : "?");
  return kFakeSource;
}
BOOL WINAPI RecordReportEvent(HANDLE source, WORD type, WORD, DWORD, PSID, WORD count, DWORD,
                              LPCSTR* strings, LPVOID) {
  if (source != kFakeSource) return FALSE;
  eventLog.types.push_back(type);
  for (WORD i = 0; i < count; ++i) eventLog.texts.push_back(strings[i]);
  return TRUE;
}
BOOL WINAPI RecordDeregisterEventSource(HANDLE source) { return source == kFakeSource; }

// A missing config.ini is written to the Application event log under the source "vell"; a config
// that loads writes nothing there.
TEST(EventLog, MissingConfigIsReportedAtStartUp) {
  for (const bool withConfig : {false, true}) {
    SCOPED_TRACE(withConfig ? "with config.ini" : "without config.ini");
    eventLog = {};
    LoadedFilter filter({.configLines = withConfig ? std::vector<std::string>{"CFilter=A,^/x,deny"}
                                                   : std::vector<std::string>{},
                         .auditLogInFolder = false});
    const auto module = static_cast<HMODULE>(filter.module().handle());
    ASSERT_TRUE(ReplaceImport(module, "advapi32.dll", "RegisterEventSourceA",
                              reinterpret_cast<void*>(&RecordRegisterEventSource)));
    ASSERT_TRUE(ReplaceImport(module, "advapi32.dll", "ReportEventA", reinterpret_cast<void*>(&RecordReportEvent)));
    ASSERT_TRUE(ReplaceImport(module, "advapi32.dll", "DeregisterEventSource",
                              reinterpret_cast<void*>(&RecordDeregisterEventSource)));
    ASSERT_EQ(filter.Start(), 1);
    if (withConfig) {
      EXPECT_TRUE(eventLog.types.empty());
      continue;
    }
    EXPECT_EQ(eventLog.sources, std::vector<std::string>{"vell"});
    EXPECT_EQ(eventLog.types, std::vector<WORD>{EVENTLOG_ERROR_TYPE});
    ASSERT_EQ(eventLog.texts.size(), 1u);
    EXPECT_NE(eventLog.texts[0].find("config.ini: No such file or directory"), std::string::npos)
        << eventLog.texts[0];
  }
}

}  // namespace
}  // namespace vell::testing
