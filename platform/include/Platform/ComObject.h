// COM object plumbing. A class implements its interfaces on top of ComObjectRoot and answers
// InternalQueryInterface (usually with QueryInterfaceFor<...>); ComObject<T> adds IUnknown and
// holds a server lock for its whole life, ComObjectNoLock<T> does not (class objects).
//
//   class CThing : public Platform::ComObjectRoot, public IThing {
//   public:
//       HRESULT InternalQueryInterface(REFIID riid, void** ppv)
//       { return Platform::QueryInterfaceFor<IThing>(this, riid, ppv); }
//       STDMETHODIMP DoIt() override;
//   };
//   module.AddClass(Platform::MakeClassEntry<CThing>(CLSID_Thing, IDR_THING_RGS));
#pragma once
#include <windows.h>
#include <ole2.h>

#include <new>

namespace Platform {

// The process's server lock (the current ServiceModule's Lock/Unlock; no-ops without a module).
LONG ServerLock();
LONG ServerUnlock();

// Reference count of the multithreaded object root.
class ComObjectRoot {
public:
    ULONG InternalAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    ULONG InternalRelease() { return static_cast<ULONG>(InterlockedDecrement(&m_refCount)); }
    // Second construction step, may fail; FinalRelease runs before destruction.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

protected:
    ComObjectRoot() = default;
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;

private:
    LONG m_refCount = 0;
};

namespace internal {
template <class Self>
bool MatchInterface(Self*, REFIID, void**) { return false; }
template <class Self, class I, class... Rest>
bool MatchInterface(Self* self, REFIID riid, void** ppv)
{
    if (riid == __uuidof(I)) {
        *ppv = static_cast<I*>(self);
        return true;
    }
    return MatchInterface<Self, Rest...>(self, riid, ppv);
}
} // namespace internal

// Answers IUnknown (through the first interface) and each listed interface.
template <class First, class... Rest, class Self>
HRESULT QueryInterfaceFor(Self* self, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(static_cast<First*>(self));
    } else if (!internal::MatchInterface<Self, First, Rest...>(self, riid, ppv)) {
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

template <class T, bool kLocksServer>
class ComObjectT final : public T {
public:
    ComObjectT()
    {
        if (kLocksServer) ServerLock();
    }
    virtual ~ComObjectT()
    {
        this->FinalRelease();
        if (kLocksServer) ServerUnlock();
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG count = this->InternalRelease();
        if (count == 0) delete this;
        return count;
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return this->InternalQueryInterface(riid, ppv); }

    // A new object with one reference held by *out, after FinalConstruct succeeded.
    static HRESULT Create(ComObjectT** out)
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        ComObjectT* object = nullptr;
        try {
            object = new ComObjectT();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
        object->AddRef();
        HRESULT hr = object->FinalConstruct();
        if (FAILED(hr)) {
            object->Release();
            return hr;
        }
        *out = object;
        return S_OK;
    }
};

template <class T>
using ComObject = ComObjectT<T, true>;
template <class T>
using ComObjectNoLock = ComObjectT<T, false>;

// Makes an object and asks it for riid; the object lives on only through *ppv.
template <class Object>
HRESULT CreateAndQuery(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    Object* object = nullptr;
    HRESULT hr = Object::Create(&object);
    if (FAILED(hr)) return hr;
    hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

// Creator of a class's objects, as a class object calls it.
using CreatorFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);
// Creator of a class object that makes its objects with the given creator.
using FactoryCreatorFn = HRESULT (*)(CreatorFn objectCreator, REFIID riid, void** ppv);

template <class T>
struct ObjectCreator {
    // Aggregation is not offered.
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateAndQuery<ComObject<T>>(riid, ppv);
    }
};

// The standard class object. Does not lock the server itself; LockServer does.
class ClassFactory : public ComObjectRoot, public IClassFactory {
public:
    void SetCreator(CreatorFn creator) { m_creator = creator; }
    HRESULT InternalQueryInterface(REFIID riid, void** ppv) { return QueryInterfaceFor<IClassFactory>(this, riid, ppv); }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!m_creator) return E_UNEXPECTED;
        return m_creator(outer, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock) ServerLock(); else ServerUnlock();
        return S_OK;
    }

private:
    CreatorFn m_creator = nullptr;
};

// Makes a class object of type Factory (which offers SetCreator) as a no-lock object.
template <class Factory>
struct FactoryCreator {
    static HRESULT CreateInstance(CreatorFn objectCreator, REFIID riid, void** ppv)
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        ComObjectNoLock<Factory>* factory = nullptr;
        HRESULT hr = ComObjectNoLock<Factory>::Create(&factory);
        if (FAILED(hr)) return hr;
        factory->SetCreator(objectCreator);
        hr = factory->QueryInterface(riid, ppv);
        factory->Release();
        return hr;
    }
};

// One class the module registers: its class object and its registry script (REGISTRY resource).
struct ClassEntry {
    CLSID clsid;
    FactoryCreatorFn createFactory;
    CreatorFn createObject;
    UINT registryResourceId;
};

template <class T, class Factory = ClassFactory>
ClassEntry MakeClassEntry(const CLSID& clsid, UINT registryResourceId)
{
    return ClassEntry{clsid, &FactoryCreator<Factory>::CreateInstance, &ObjectCreator<T>::CreateInstance,
                      registryResourceId};
}

} // namespace Platform
