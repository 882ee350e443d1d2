#pragma once
// WinDivert.dll, loaded at run time from where only administrators can put
// it: the socket sniffer and the DNS hold each load it (the same module).
#include <windows.h>

#include "split/windivert_abi.h"

struct WinDivertLibrary {
  WinDivertOpenFn Open = nullptr;
  WinDivertRecvFn Recv = nullptr;
  WinDivertCloseFn Close = nullptr;
  WinDivertShutdownFn Shutdown = nullptr;      // optional
  WinDivertFormatIPv4Fn FormatIPv4 = nullptr;  // optional
  WinDivertSetParamFn SetParam = nullptr;      // optional
  WinDivertGetParamFn GetParam = nullptr;      // optional
  WinDivertSendFn Send = nullptr;              // optional here; the DNS hold needs it
};

// Loads the library and looks up its entry points; false (logged, naming
// `what` as the feature that is off) without the library or its three
// necessary ones.
bool LoadWinDivert(WinDivertLibrary& library, const wchar_t* what);
