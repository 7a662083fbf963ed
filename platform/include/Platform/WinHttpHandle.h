// Owning holder for WinHTTP session, connection and request handles (apart from Handles.h
// because <winhttp.h> and <wininet.h> cannot meet in one translation unit).
#pragma once
#include <windows.h>
#include <winhttp.h>

#include "Platform/Handles.h"

namespace Platform {

struct WinHttpHandleTraits {
    using pointer = HINTERNET;
    static bool IsValid(HINTERNET h) { return h != nullptr; }
    static void Close(HINTERNET h) { ::WinHttpCloseHandle(h); }
};

using WinHttpHandle = UniqueHandle<WinHttpHandleTraits>;

} // namespace Platform
