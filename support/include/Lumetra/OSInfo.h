// Classification of the running Windows version, computed once and answered from the cache.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace Lumetra {

struct OSVersionRecord {
    DWORD major;
    DWORD minor;
    WORD servicePackMajor;
};

// The version test of the system behind a replaceable object.
class WinOSVersionAPI {
public:
    // As VerifyVersionInfoW.
    virtual BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask);
    virtual ~WinOSVersionAPI() = default;
};

// {major, minor, service pack} of the running system; all zero when it cannot be classified or
// its major version is unknown to this library.
OSVersionRecord GetOSVersion();

namespace internal {

template <class API>
class OSInfoProxy;

// OS ids: 0 not computed, 1 9x minor 0, 2 9x minor 1..89, 3 NT below 5, 4 5.0, 5 9x minor 90+,
// 6 5.x, 7 6.0, 8 6.1, 9 6.2, 10 6.3+, 11 10.x, 12 any other major.
// Platform flag: 0 for 9x, NT below 5 and 5.0; 1 otherwise; 2 when not computed.
template <>
class OSInfoProxy<WinOSVersionAPI> {
public:
    // Shared by copies of a proxy, so they compute once between them.
    struct _Impl {
        // The API object is not owned; the proxy that holds this record keeps it alive.
        explicit _Impl(WinOSVersionAPI* versionApi = nullptr) : api(versionApi) {}

        // Major, minor, build and revision from kernel32.dll's product version.
        virtual bool ReadKernelVersion(DWORD (&numbers)[4]);
        virtual ~_Impl() = default;

        // Splits at every "." (empty parts kept) and converts up to four parts as unsigned
        // decimals; false for an empty text or a part that is no number or exceeds 32 bits.
        static bool ParseProductVersion(const std::wstring& text, DWORD (&numbers)[4]);

        // Runs the computation once across threads; a failed one is retried by the next query.
        // True when the fields below hold a result.
        bool EnsureComputed();

        std::atomic<DWORD> onceState{0}; // 0 not run, 1 running, 2 done
        DWORD computed = 0;
        OSVersionRecord version = {};
        DWORD kernelVersion[4] = {};
        DWORD osId = 0;
        DWORD platformFlag = 0;
        WinOSVersionAPI* api = nullptr;

    private:
        bool Compute();
        bool ClassifyNT();
        bool Classify9x();
        WORD ProbeServicePack(WORD from);
        DWORD ProbeMinor9x();
        BOOL Verify(OSVERSIONINFOEXW& info, DWORD typeMask, BYTE condition);
    };

    OSInfoProxy();
    // Empty pointers are replaced by default objects; an _Impl without API object gets this one's.
    explicit OSInfoProxy(std::shared_ptr<WinOSVersionAPI> api, std::shared_ptr<_Impl> impl = nullptr);
    virtual ~OSInfoProxy() = default;
    OSInfoProxy(const OSInfoProxy&) = default;
    OSInfoProxy& operator=(const OSInfoProxy&) = default;

    virtual DWORD GetOSId();
    virtual DWORD GetOSFlag();
    // False when not computed or for id 12 (the record is still filled then).
    virtual bool GetVersionRecord(OSVersionRecord& record);
    virtual bool GetOSIdAndFlag(DWORD& id, DWORD& flag);
    // Asked of the system on every call.
    virtual bool IsWow64();
    virtual bool IsNTPlatform();
    virtual bool GetKernelVersion(DWORD (&numbers)[4]);

private:
    std::shared_ptr<WinOSVersionAPI> m_api;
    std::shared_ptr<_Impl> m_impl;
};

// GetOSVersion with the proxies made by `makeProxy`.
OSVersionRecord GetOSVersion(const std::function<std::shared_ptr<OSInfoProxy<WinOSVersionAPI>>()>& makeProxy);

} // namespace internal

} // namespace Lumetra
