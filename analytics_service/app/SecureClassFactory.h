// The class object of OvTelvana: the standard IClassFactory (unchecked) beside a creation
// interface of its own whose CreateInstance admits only trusted callers. It does not lock the
// server itself (a no-lock object); LockServer does.
#pragma once
#include <windows.h>
#include <ole2.h>

#include "TelvanaInterfaces.h"

#include "Platform/CallerProcess.h"
#include "Platform/ComObject.h"

#include "Lumetra/CodeTrust.h"

#include <new>
#include <string>

class COvSecureClassFactory : public IOvClassFactory, public IOvClassFactory_PreComponentization {};

namespace Taliro { namespace hack { namespace craptastic {

// The code-trust verdict on whoever called: the calling process's image when the call came
// from another process (the return address there lies in our own RPC stub and says nothing
// about the caller), else the module holding the return address.
inline DWORD CheckCallerTrust(const void* returnAddress)
{
    DWORD processId = 0;
    switch (Platform::CallingProcess(processId)) {
    case Platform::Caller::OtherProcess:
        if (processId != GetCurrentProcessId()) {
            std::wstring image;
            if (!Platform::ProcessImagePath(processId, image)) return ERROR_ACCESS_DENIED;
            return Lumetra::CheckFileTrust(image.c_str());
        }
        return Lumetra::CheckCallerModuleTrust(returnAddress);
    case Platform::Caller::InProcess:
        return Lumetra::CheckCallerModuleTrust(returnAddress);
    default:
        // The return address would name our own RPC stub, not the caller.
        return ERROR_ACCESS_DENIED;
    }
}

template <class Base>
class CSecureClassFactory : public Base, public Platform::ComObjectRoot, public IClassFactory {
public:
    using Factory = Platform::ComObjectNoLock<CSecureClassFactory>;

    virtual ~CSecureClassFactory()
    {
        if (m_lockInitialized) DeleteCriticalSection(&m_lock);
    }

    HRESULT InternalQueryInterface(REFIID riid, void** ppv)
    {
        // IOvClassFactory_PreComponentization shares the table but is not handed out.
        return Platform::QueryInterfaceFor<IOvClassFactory, IClassFactory>(this, riid, ppv);
    }

    // IOvClassFactory (and the pre-componentization table).
    STDMETHODIMP CreateInstance(REFIID riid, IUnknown** ppv) override
    {
        if (CheckCallerTrust(__builtin_return_address(0)) != ERROR_SUCCESS) return E_ACCESSDENIED;
        return InternalCreate(riid, reinterpret_cast<void**>(ppv));
    }

    virtual HRESULT InternalCreate(REFIID riid, void** ppv)
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        return m_creator(nullptr, riid, ppv);
    }

    // IClassFactory: no trust check; an outer unknown is ignored, never aggregated.
    STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override { return InternalCreate(riid, ppv); }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock) Platform::ServerLock(); else Platform::ServerUnlock();
        return S_OK;
    }

    // The module's class-object creator (Platform::FactoryCreatorFn).
    static HRESULT CreateFactory(Platform::CreatorFn objectCreator, REFIID riid, void** ppv)
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        Factory* factory = new (std::nothrow) Factory();
        if (!factory) return E_OUTOFMEMORY;
        factory->AddRef();
        HRESULT hr = S_OK;
        if (InitializeCriticalSectionAndSpinCount(&factory->m_lock, 0)) {
            factory->m_lockInitialized = true;
            factory->m_creator = objectCreator;
            hr = factory->QueryInterface(riid, ppv);
        } else {
            hr = HRESULT_FROM_WIN32(GetLastError());
        }
        factory->Release();
        return hr;
    }

private:
    CRITICAL_SECTION m_lock = {};
    bool m_lockInitialized = false;
    Platform::CreatorFn m_creator = nullptr;
};

}}} // namespace Taliro::hack::craptastic
