// The signed trusted list ("trusted.js") that extends the built-in code-trust data, and its
// refresh from a cabinet file.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace Lumetra {

class CTrustedList {
public:
    // path null: the default installed location; an empty path stays empty. Nothing is read.
    explicit CTrustedList(const wchar_t* path);
    ~CTrustedList();
    CTrustedList(const CTrustedList&) = delete;
    CTrustedList& operator=(const CTrustedList&) = delete;

    // Reads and checks the file unless already loaded. The caller holds the lock exclusively.
    bool Load();
    bool LoadLocked();
    bool IsLoaded();
    bool Reload();
    // Back to unloaded. The caller holds the lock exclusively.
    void Clear();
    // Replaces the installed file by the given one, signals every process and reloads.
    bool Install(const wchar_t* newPath);
    // The same, only while newVersion is above the loaded list's and the installed list's (when
    // that is genuine), both checked under locks that keep every other install out until the
    // replacement, so that two refreshes cannot install the older list last. The bytes copied
    // must themselves be genuine and at least that new.
    bool InstallIfNewer(const wchar_t* newPath, DWORD newVersion);

    // Readers hold the lock shared while they use the values below.
    void LockShared() { AcquireSRWLockShared(&m_lock); }
    void UnlockShared() { ReleaseSRWLockShared(&m_lock); }
    void LockExclusive() { AcquireSRWLockExclusive(&m_lock); }
    void UnlockExclusive() { ReleaseSRWLockExclusive(&m_lock); }
    // Holds the lock shared for a scope, also when the reader throws.
    class SharedLock {
    public:
        explicit SharedLock(CTrustedList& list) : m_list(list) { m_list.LockShared(); }
        ~SharedLock() { m_list.UnlockShared(); }
        SharedLock(const SharedLock&) = delete;
        SharedLock& operator=(const SharedLock&) = delete;

    private:
        CTrustedList& m_list;
    };

    DWORD Version() const { return m_ver; }
    const wchar_t* const* Organisations() const { return m_org.empty() ? nullptr : m_org.data(); }
    const BYTE* const* Thumbprints() const { return m_sha.empty() ? nullptr : m_sha.data(); }
    DWORD ThumbprintCount() const { return static_cast<DWORD>(m_sha.size()); }
    const wchar_t* const* Serials() const { return m_ser.empty() ? nullptr : m_ser.data(); }
    const std::wstring& Path() const { return m_path; }
    bool LoadedUnlocked() const { return m_loaded; }

    // The installed list's path: the Windows drive's root joined with the fixed folder.
    static std::wstring DefaultPath();
    // The same for a given Windows folder.
    static std::wstring DefaultPathFor(const wchar_t* windowsFolder);
    // The global atom's name that announces a newly installed list.
    static const wchar_t* RefreshSignalName();

private:
    bool InstallFile(const wchar_t* newPath, bool onlyIfNewer, DWORD newVersion);
    bool Parse(const std::string& bytes);
    bool BuildArrays();

    DWORD m_ver = 0;
    std::vector<const wchar_t*> m_org;        // null-terminated when not empty
    std::vector<const BYTE*> m_sha;           // entries point into m_shaData or are null
    std::vector<std::vector<BYTE>> m_shaData;
    std::vector<const wchar_t*> m_ser;        // null-terminated when not empty
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::map<std::wstring, std::vector<std::wstring>> m_sections;
    bool m_loaded = false;
    std::wstring m_path;
};

// The list every trust check of this process reads; built at program start on the default path.
CTrustedList& ProcessTrustedList();

bool CheckTrustedListSignature(const wchar_t* path);
bool UpdateTrustedListFromFile(const wchar_t* path);

// Run-time binding of the cabinet decompressor.
class CCabinet {
public:
    CCabinet();
    ~CCabinet();
    CCabinet(const CCabinet&) = delete;
    CCabinet& operator=(const CCabinet&) = delete;

    bool IsUsable() const;
    // Extracts the entry "trusted.js" and installs it when it is newer than the current list.
    bool ExtractTrustedList(const wchar_t* cabinetPath);

private:
    HMODULE m_library = nullptr;
    FARPROC m_create = nullptr;
    FARPROC m_copy = nullptr;
    FARPROC m_destroy = nullptr;
};

} // namespace Lumetra
