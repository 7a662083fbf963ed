// A DLL loaded by full path and held for the owner's lifetime. The DLL may export "DllAddRef"
// and "DllRelease" (no arguments); they are called right after loading and right before
// unloading.
#pragma once
#include <windows.h>

namespace Lumetra {

class CDllWrapperBase {
public:
    CDllWrapperBase() = default;
    CDllWrapperBase(const CDllWrapperBase&) = delete;
    CDllWrapperBase& operator=(const CDllWrapperBase&) = delete;

    // Asked first by Load; a non-zero code stops the load and is what Load returns.
    virtual DWORD OnLoad(const wchar_t* path);

    // 0 when loaded (also when a module was loaded already); else a Win32 code. Only a complete
    // path (drive, folder, name, extension) is loaded; anything else gives ERROR_INVALID_PARAMETER.
    DWORD Load(const wchar_t* path);

    HMODULE GetModule() const { return m_module; }

protected:
    // Calls "DllRelease" when exported, then frees the module.
    ~CDllWrapperBase();

    HMODULE m_module = nullptr;
};

} // namespace Lumetra
