// Registry key handle: a thin handle over a shared implementation that wraps one HKEY.
// Every value read and write funnels through QueryValue/SetValue of the implementation, so a
// derived implementation can change how values are stored without touching the typed operations.
// Results are Win32 error codes (0 success); nothing here throws.
#pragma once
#include <windows.h>
#include <aclapi.h>

#include <memory>
#include <string>

namespace Lumetra {

namespace internal {

class CRegKeyImpl {
public:
    CRegKeyImpl() = default;
    virtual ~CRegKeyImpl();
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    HKEY GetHandle() const { return m_key; }

    // The two operations every value passes through. Sizes are in bytes.
    virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size);
    virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size);

    virtual LONG SetGUIDValue(LPCWSTR name, REFGUID value);
    virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG size);
    virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type = REG_SZ);
    // texts: strings each with its terminator, ended by an empty string.
    virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR texts);
    virtual LONG QueryGUIDValue(LPCWSTR name, GUID& value);
    virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* size);
    virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);
    virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);
    virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);
    // chars: capacity in, characters (with terminator) out; on ERROR_MORE_DATA the needed count.
    virtual LONG QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES attributes = nullptr, LPDWORD disposition = nullptr);
    virtual LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Close();
    virtual LONG Flush();
    virtual HKEY Detach();
    virtual void Attach(HKEY key);
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD size, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous = TRUE);
    virtual LONG DeleteSubKey(LPCWSTR subKey);
    virtual LONG RecurseDeleteKey(LPCWSTR subKey);
    virtual LONG DeleteValue(LPCWSTR name);
    // Gives the group Everyone full access to the key (and, when asked, to all keys below it).
    virtual LONG GrantAccess(bool applyToSubKeys);
    // When set, Close deletes the key's whole tree before closing it.
    virtual void SetDeleteOnClose(bool deleteOnClose);
    virtual bool GetDeleteOnClose() const;

protected:
    HKEY m_key = nullptr;
    DWORD m_viewBits = 0;   // KEY_WOW64_64KEY / KEY_WOW64_32KEY of the access the key was opened with
    bool m_deleteOnClose = false;

private:
    LONG TakeNewKey(HKEY key, REGSAM access);
};

// Run-time binding of advapi32.dll's security functions, loaded from the system folder only.
// Lives on the stack of one call.
class CSecurityApiProxy {
public:
    // Order in which the functions are resolved.
    enum Function {
        kSetEntriesInAclW, kGetFileSecurityW, kSetFileSecurityW, kLookupAccountSidW,
        kGetExplicitEntriesFromAclW, kRegGetKeySecurity, kRegSetKeySecurity,
        kInitializeSecurityDescriptor, kSetSecurityDescriptorDacl, kGetSecurityDescriptorDacl,
        kAllocateAndInitializeSid, kFreeSid, kOpenThreadToken, kGetTokenInformation, kInitializeAcl,
        kInitializeSid, kGetSidSubAuthority, kAddAccessAllowedAce, kGetSecurityInfo, kSetSecurityInfo,
        kQueryServiceStatusEx, kGetAce, kDeleteAce, kEqualSid, kGetAclInformation,
        kSetSecurityDescriptorControl, kFunctionCount
    };
    static const char* const kFunctionNames[kFunctionCount];

    using Resolver = FARPROC(WINAPI*)(HMODULE, LPCSTR);
    // The resolver is GetProcAddress unless a test replaces it.
    explicit CSecurityApiProxy(Resolver resolver = nullptr);
    ~CSecurityApiProxy();
    CSecurityApiProxy(const CSecurityApiProxy&) = delete;
    CSecurityApiProxy& operator=(const CSecurityApiProxy&) = delete;

    bool IsAvailable() const { return m_available; }
    // True only when the module is loaded and every function was found.
    bool Load();

    // Each calls through only when bound and available; else FALSE or ERROR_INVALID_FUNCTION.
    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                                  DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid);
    PVOID FreeSid(PSID sid);
    BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted);
    BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
    BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted);
    LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                           LPDWORD size);
    LONG RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);

private:
    template <typename Fn> Fn Get(Function f) const
    {
        return m_available ? reinterpret_cast<Fn>(reinterpret_cast<void*>(m_functions[f])) : nullptr;
    }

    HMODULE m_module = nullptr;
    CRITICAL_SECTION m_lock;
    bool m_available = false;
    Resolver m_resolver;
    FARPROC m_functions[kFunctionCount] = {};
};

// The body of GrantAccess, apart so that the binding can be chosen by the caller.
LONG GrantEveryoneFullAccess(HKEY key, bool applyToSubKeys, CSecurityApiProxy& api);

} // namespace internal

class CRegKey {
public:
    CRegKey();
    // Shares the given implementation; an empty pointer gets a new one.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    // Closes the key, also when other handles share the implementation.
    virtual ~CRegKey();
    // A copy's destruction would close the key under the original.
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    HKEY GetHandle() const;
    LONG Close();
    void Attach(HKEY key);
    HKEY Detach();

    virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size);
    virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size);
    virtual LONG SetGUIDValue(LPCWSTR name, REFGUID value);
    virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG size);
    virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR texts);
    virtual LONG QueryGUIDValue(LPCWSTR name, GUID& value);
    virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* size);
    virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);
    virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);
    virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);
    virtual LONG QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES attributes = nullptr, LPDWORD disposition = nullptr);
    virtual LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Flush();
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD size, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous = TRUE);
    virtual LONG DeleteSubKey(LPCWSTR subKey);
    virtual LONG RecurseDeleteKey(LPCWSTR subKey);
    virtual LONG DeleteValue(LPCWSTR name);
    virtual LONG GrantAccess(bool applyToSubKeys);

private:
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

} // namespace Lumetra
