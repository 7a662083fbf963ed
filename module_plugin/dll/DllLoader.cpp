#include "dll/DllLoader.h"

#include "ModuleStatus.h"

namespace Taliro {

namespace {
constexpr const wchar_t* kSource = L"dll\\DllLoader";
}

DllLoader::DllLoader(std::shared_ptr<DllAPI> dllApi) : m_dllApi(dllApi ? std::move(dllApi) : std::make_shared<DllAPI>())
{
}

bool DllLoader::loadDLL(const std::wstring& path, HMODULE* module)
{
    if (!module) {
        TALIRO_LOG(2, kSource, L"Taliro::DllLoader::loadDLL", L"Invalid pHandle specified. Exiting.");
        return false;
    }
    unsigned long status = MODULE_STATUS_SUCCESS;
    try {
        if (!m_dllApi->loadLibrary(path, module)) status = MODULE_STATUS_UNSUCCESSFUL;
    } catch (...) {
        status = MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
    if (status != MODULE_STATUS_SUCCESS) {
        TALIRO_LOG(4, kSource, L"Taliro::DllLoader::loadDLL", L"Failed to load library. Error code: %ls(%lu).",
                   GetStatusName(status), status);
        return false;
    }
    return true;
}

FARPROC DllLoader::getProcAddress(HMODULE module, const char* name)
{
    FARPROC address = nullptr;
    try {
        address = m_dllApi->getProcAddress(module, name);
    } catch (...) {
        address = nullptr;
    }
    if (!address)
        TALIRO_LOG(2, kSource, L"Taliro::DllLoader::getProcAddress",
                   L"getProcAddress was unsuccessful in finding the handle's address");
    return address;
}

bool DllLoader::freeLibrary(HMODULE module) { return m_dllApi->freeLibrary(module); }

} // namespace Taliro
