#include "split/windivert_library.h"

#include <string>

#include "support/code_directory.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Whether WinDivert may come from beside the helper: the folder, the library
// and its driver (which the library installs from beside itself, into the
// kernel) changeable by administrators alone, judged right before each
// load. A refusal is logged, once per load, only when the library is there.
bool MayLoadBeside(const std::wstring& directory, const std::wstring& library) {
  if (GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return CodeDirectoryFault(directory).empty();
  }
  if (!CodeDirectoryFault(directory).empty()) {
    LogLine(L"not loading WinDivert.dll: " + ChangeableDirectoryText(directory));
    return false;
  }
  for (const std::wstring& file : {library, directory + L"\\WinDivert64.sys"}) {
    if (file != library && GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    const std::wstring why = CodeFileFault(file);
    if (!why.empty()) {
      LogLine(NotLoadingFileText({file, why}));
      return false;
    }
  }
  return true;
}

}  // namespace

// Beside the executable first, so a copy shipped with the helper wins over
// one installed elsewhere. Then the system's safe search (the helper's
// folder, System32): not the current directory and not PATH, whose folders
// ordinary users may be able to write, while this code runs as LocalSystem.
// The helper's folder only while only administrators can change it and the
// library and driver in it; otherwise what lies there counts as missing.
// Never unloaded: a later sniffer thread loads it again and gets the same
// module.
bool LoadWinDivert(WinDivertLibrary& library, const wchar_t* what) {
  const std::wstring directory = ModuleDirectory();
  const std::wstring beside = directory + L"\\WinDivert.dll";
  HMODULE module = nullptr;
  if (MayLoadBeside(directory, beside)) {
    module = LoadLibraryW(beside.c_str());
    if (!module) {
      module = LoadLibraryExW(L"WinDivert.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
  } else {
    module = LoadLibraryExW(L"WinDivert.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  if (!module) {
    LogLine(std::wstring(L"WinDivert.dll not loaded; ") + what + L" disabled");
    return false;
  }
  library.Open = Lookup<WinDivertOpenFn>(module, "WinDivertOpen");
  library.Recv = Lookup<WinDivertRecvFn>(module, "WinDivertRecv");
  library.Close = Lookup<WinDivertCloseFn>(module, "WinDivertClose");
  library.Shutdown = Lookup<WinDivertShutdownFn>(module, "WinDivertShutdown");
  library.FormatIPv4 = Lookup<WinDivertFormatIPv4Fn>(module, "WinDivertHelperFormatIPv4Address");
  library.SetParam = Lookup<WinDivertSetParamFn>(module, "WinDivertSetParam");
  library.GetParam = Lookup<WinDivertGetParamFn>(module, "WinDivertGetParam");
  library.Send = Lookup<WinDivertSendFn>(module, "WinDivertSend");
  if (!library.Open || !library.Recv || !library.Close) {
    LogLine(std::wstring(L"WinDivert exports missing; ") + what + L" disabled");
    return false;
  }
  return true;
}

