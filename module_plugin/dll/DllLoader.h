// Loads, resolves and frees DLLs through the DLL wrapper, logging each failure.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "wrappers/DllAPI.h"

namespace Taliro {

class DllLoader {
public:
    explicit DllLoader(std::shared_ptr<DllAPI> dllApi = nullptr);
    virtual ~DllLoader() = default;
    virtual bool loadDLL(const std::wstring& path, HMODULE* module);
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    virtual bool freeLibrary(HMODULE module);

private:
    std::shared_ptr<DllAPI> m_dllApi;
};

} // namespace Taliro
