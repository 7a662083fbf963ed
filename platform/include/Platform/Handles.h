// Owning holders for the Win32 handles the service uses. Each closes its handle exactly once,
// moves but never copies, and treats its kind's "no handle" value(s) as empty.
#pragma once
#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace Platform {

template <class Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() = default;
    explicit UniqueHandle(pointer handle) : m_handle(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    pointer Get() const { return m_handle; }
    explicit operator bool() const { return Traits::IsValid(m_handle); }

    // Closes the held handle (if any) and takes the new one.
    void Reset(pointer handle = nullptr)
    {
        pointer old = m_handle;
        m_handle = handle;
        if (Traits::IsValid(old) && old != handle) Traits::Close(old);
    }
    // Gives up ownership without closing.
    pointer Release() { return std::exchange(m_handle, nullptr); }
    // For out-parameters: closes the held handle first.
    pointer* Receive()
    {
        Reset();
        return &m_handle;
    }

private:
    pointer m_handle = nullptr;
};

struct KernelHandleTraits {
    using pointer = HANDLE;
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
    using pointer = SC_HANDLE;
    static bool IsValid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};

// Kernel objects closed with CloseHandle; the names say what each holds.
using KernelHandle = UniqueHandle<KernelHandleTraits>;
using EventHandle = KernelHandle;
using SemaphoreHandle = KernelHandle;
using ThreadHandle = KernelHandle;
using ProcessHandle = KernelHandle;
// Service control manager and service handles.
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;

} // namespace Platform
