// COM smart pointer and BSTR holder: every interface pointer and BSTR has exactly one owner.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace Platform {

// Joins the calling thread to the multithreaded apartment for the holder's lifetime. A thread
// already in another apartment stays as it is, and then nothing is undone.
class ComApartment {
public:
    ComApartment() : m_result(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)), m_initialized(SUCCEEDED(m_result)) {}
    ~ComApartment()
    {
        if (m_initialized) ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT Result() const { return m_result; }
    bool IsInitialized() const { return m_initialized; }

private:
    HRESULT m_result;
    bool m_initialized;
};

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes a new reference on p.
    ComPtr(T* p) : m_p(p) { if (m_p) m_p->AddRef(); }
    ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out-parameters: releases the held pointer first.
    T** operator&()
    {
        Reset();
        return &m_p;
    }
    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    // Takes over a reference the caller already owns.
    void Attach(T* p)
    {
        Reset();
        m_p = p;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    // Hands a new reference to an out-parameter.
    HRESULT CopyTo(T** out) const
    {
        if (!out) return E_POINTER;
        *out = m_p;
        if (m_p) m_p->AddRef();
        return S_OK;
    }
    template <class U>
    HRESULT As(ComPtr<U>& out) const
    {
        out.Reset();
        if (!m_p) return E_POINTER;
        return m_p->QueryInterface(__uuidof(U), reinterpret_cast<void**>(&out));
    }
    HRESULT CoCreateInstance(REFCLSID clsid, DWORD context = CLSCTX_ALL)
    {
        Reset();
        return ::CoCreateInstance(clsid, nullptr, context, __uuidof(T), reinterpret_cast<void**>(&m_p));
    }

private:
    T* m_p = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    // Copies the whole text, embedded NULs included. Get() stays null when allocation fails
    // for a non-empty text; check with operator!.
    explicit Bstr(const std::wstring& text)
        : m_b(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    explicit Bstr(const wchar_t* text) : m_b(text ? ::SysAllocString(text) : nullptr) {}
    Bstr(const Bstr& other) : m_b(other.m_b ? ::SysAllocStringLen(other.m_b, other.Length()) : nullptr) {}
    Bstr(Bstr&& other) noexcept : m_b(std::exchange(other.m_b, nullptr)) {}
    ~Bstr() { ::SysFreeString(m_b); }
    Bstr& operator=(Bstr other) noexcept
    {
        std::swap(m_b, other.m_b);
        return *this;
    }

    BSTR Get() const { return m_b; }
    bool operator!() const { return m_b == nullptr; }
    UINT Length() const { return ::SysStringLen(m_b); }
    std::wstring ToString() const { return m_b ? std::wstring(m_b, Length()) : std::wstring(); }
    // For out-parameters: frees the held string first.
    BSTR* operator&()
    {
        Reset();
        return &m_b;
    }
    void Reset() { ::SysFreeString(std::exchange(m_b, nullptr)); }
    void Attach(BSTR b)
    {
        Reset();
        m_b = b;
    }
    BSTR Detach() { return std::exchange(m_b, nullptr); }

private:
    BSTR m_b = nullptr;
};

} // namespace Platform
