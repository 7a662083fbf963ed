// Library loading behind a replaceable object.
#pragma once
#include <windows.h>

#include <string>

namespace Taliro {

class DllAPI {
public:
    virtual ~DllAPI() = default;
    // Loads only a file that passes the code-trust check, and only by full path.
    virtual bool loadLibrary(const std::wstring& path, HMODULE* module);
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    virtual bool isTrusted(const std::wstring& path);
    virtual bool freeLibrary(HMODULE module);
};

} // namespace Taliro
