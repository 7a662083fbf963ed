#include "Lumetra/DllWrapperBase.h"

#include "Lumetra/SecureDll.h"

namespace Lumetra {

namespace {

using RefFunction = DWORD(WINAPI*)();

RefFunction FindRefFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<RefFunction>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

DWORD CDllWrapperBase::OnLoad(const wchar_t*)
{
    return ERROR_SUCCESS;
}

DWORD CDllWrapperBase::Load(const wchar_t* path)
{
    DWORD code = OnLoad(path);
    if (code != ERROR_SUCCESS) return code;
    if (m_module) return ERROR_SUCCESS;

    // An incomplete path is refused without a load attempt and without a last error; it must
    // not come back as success.
    SetLastError(ERROR_SUCCESS);
    HMODULE module = LoadLibraryFullPath(path);
    if (!module) {
        code = GetLastError();
        return code != ERROR_SUCCESS ? code : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    }
    m_module = module;

    // The optional export's absence must not show up as the caller's last error.
    DWORD lastError = GetLastError();
    RefFunction addRef = FindRefFunction(m_module, "DllAddRef");
    SetLastError(lastError);
    if (addRef) addRef();
    return ERROR_SUCCESS;
}

CDllWrapperBase::~CDllWrapperBase()
{
    if (!m_module) return;
    if (RefFunction release = FindRefFunction(m_module, "DllRelease")) release();
    FreeLibrary(m_module);
    m_module = nullptr;
}

} // namespace Lumetra
