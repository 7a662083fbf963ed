// Owners for the COM pieces the service touches as a client: an apartment membership, an
// interface pointer and a BSTR. Minimal on purpose; nothing here throws.
#pragma once
#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace Taliro {

// Joins the calling thread to the multithreaded apartment for the holder's lifetime. A thread
// already in another apartment stays as it is, and then nothing is undone.
class ComApartment {
public:
    ComApartment()
    {
        m_result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_initialized = SUCCEEDED(m_result);
    }
    ~ComApartment()
    {
        if (m_initialized) ::CoUninitialize();
        m_initialized = false;
        m_result = E_UNEXPECTED;
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT Result() const { return m_result; }
    bool IsInitialized() const { return m_initialized; }

private:
    HRESULT m_result = E_UNEXPECTED;
    bool m_initialized = false;
};

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out-arguments: drops what is held and hands out the slot.
    T** Put()
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset()
    {
        if (m_p) std::exchange(m_p, nullptr)->Release();
    }

private:
    T* m_p = nullptr;
};

class BstrHolder {
public:
    BstrHolder() = default;
    ~BstrHolder() { Reset(); }
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;

    // False when the string cannot be allocated; the holder is then empty.
    bool Assign(const std::wstring& text)
    {
        Reset();
        m_b = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return m_b != nullptr;
    }
    BSTR Get() const { return m_b; }
    // For out-arguments: frees what is held and hands out the slot.
    BSTR* Put()
    {
        Reset();
        return &m_b;
    }
    // The text up to its first terminator; a null BSTR reads as empty.
    std::wstring Text() const { return m_b ? std::wstring(m_b) : std::wstring(); }
    void Reset()
    {
        if (m_b) ::SysFreeString(std::exchange(m_b, nullptr));
    }

private:
    BSTR m_b = nullptr;
};

} // namespace Taliro
