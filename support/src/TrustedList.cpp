#include "Lumetra/TrustedList.h"

#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/CodeTrust.h"
#include "Lumetra/FileHold.h"
#include "TelvanaTrustData.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <string>

namespace Lumetra {

namespace {

const wchar_t kInstalledRelativePath[] = L"Program Files\\Common Files\\Orvane\\Platform\\Core\\trusted.js";
const wchar_t kInstallLockSuffix[] = L".lock";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Replacing the installed file can collide with a reader that holds it open for a moment.
constexpr int kReplaceAttempts = 100;
constexpr DWORD kReplaceRetryDelayMs = 20;
// Anyone who may read the list's folder may lock the install's lock file: an install waits for it
// this long at most, and then refuses.
constexpr DWORD kInstallLockWaitMs = 5000;
constexpr DWORD kInstallLockRetryDelayMs = 50;

class CFileLock {
public:
    // lockFile: the file exists only to be locked; it is made when missing, and nobody may delete
    // it while it is open, so that every waiter waits on the same file. It is waited for a bounded
    // time only.
    CFileLock(const std::wstring& path, bool exclusive, bool lockFile = false)
    {
        m_file = CreateFileW(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | (lockFile ? 0 : FILE_SHARE_DELETE), nullptr,
                             lockFile ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_file == INVALID_HANDLE_VALUE)
            return;
        const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (lockFile ? LOCKFILE_FAIL_IMMEDIATELY : 0);
        for (DWORD waited = 0;; waited += kInstallLockRetryDelayMs) {
            OVERLAPPED whole = {};
            m_locked = LockFileEx(m_file, flags, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole) != 0;
            if (m_locked || !lockFile || waited >= kInstallLockWaitMs || GetLastError() != ERROR_LOCK_VIOLATION)
                break;
            Sleep(kInstallLockRetryDelayMs);
        }
    }
    ~CFileLock() { Release(); }
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }
    bool IsLocked() const { return m_locked; }
    HANDLE Handle() const { return m_file; }
    void Release()
    {
        if (m_file == INVALID_HANDLE_VALUE)
            return;
        if (m_locked) {
            OVERLAPPED whole = {};
            UnlockFileEx(m_file, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole);
            m_locked = false;
        }
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    bool m_locked = false;
};

class CExclusiveGuard {
public:
    explicit CExclusiveGuard(CTrustedList& list) : m_list(list) { m_list.LockExclusive(); }
    ~CExclusiveGuard() { m_list.UnlockExclusive(); }
    CExclusiveGuard(const CExclusiveGuard&) = delete;
    CExclusiveGuard& operator=(const CExclusiveGuard&) = delete;

private:
    CTrustedList& m_list;
};

bool ReadWholeFile(HANDLE file, std::string& bytes)
{
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 64 * 1024 * 1024)
        return false;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!ReadFile(file, &bytes[done], static_cast<DWORD>(bytes.size() - done), &read, nullptr))
            return false;
        if (read == 0)
            break;
        done += read;
    }
    bytes.resize(done);
    return true;
}

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::wstring();
    const size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The copy that replaces the installed file, named for this process and this install only: a
// replacement scheduled for the next restart keeps its own copy. It keeps the list's extension,
// so that its signature is checked the way the installed list's is.
std::wstring TemporaryName()
{
    static volatile LONG installs = 0;
    return L"trusted." + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&installs)) + L".js";
}

// ReplaceFileW first as it stands; where the platform refuses to replace a file that a handle
// holds open, the caller's own lock handle is let go and the replacement retried.
bool ReplaceInstalledFile(const std::wstring& installed, const std::wstring& replacement, CFileLock& lock)
{
    if (ReplaceFileW(installed.c_str(), replacement.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr))
        return true;
    lock.Release();
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
        if (ReplaceFileW(installed.c_str(), replacement.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                         nullptr))
            return true;
        if (!PathFileExistsW(replacement.c_str()))
            return false;
        Sleep(kReplaceRetryDelayMs);
    }
    return false;
}

} // namespace

CTrustedList& ProcessTrustedList()
{
    static CTrustedList list(nullptr);
    return list;
}

namespace {
// Built at program start, read when first needed.
CTrustedList& g_processTrustedList = ProcessTrustedList();
} // namespace

std::wstring CTrustedList::DefaultPath()
{
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return DefaultPathFor(windows);
}

std::wstring CTrustedList::DefaultPathFor(const wchar_t* windowsFolder)
{
    wchar_t path[MAX_PATH] = {};
    if (windowsFolder == nullptr || wcslen(windowsFolder) >= MAX_PATH)
        return std::wstring();
    wcscpy(path, windowsFolder);
    PathStripToRootW(path);
    if (!PathAppendW(path, kInstalledRelativePath))
        return std::wstring();
    return path;
}

const wchar_t* CTrustedList::RefreshSignalName()
{
    return TelvanaTrustData::kTrustedListSignalGuid;
}

CTrustedList::CTrustedList(const wchar_t* path)
{
    try {
        m_path = path != nullptr ? std::wstring(path) : DefaultPath();
    } catch (...) {
        m_path.clear();
    }
}

CTrustedList::~CTrustedList()
{
    CExclusiveGuard guard(*this);
    Clear();
}

bool CTrustedList::Load()
{
    if (m_loaded)
        return true;
    try {
        // The signature is checked before the file lock is taken: some platforms' signature
        // readers wait for a lock that the calling process itself holds. Nobody may write or
        // replace the file from its check until it is read, and both go by its own final path,
        // so the bytes parsed are the bytes whose signature was checked.
        if (m_path.empty() || !PathFileExistsW(m_path.c_str()))
            return false;
        CFileHold hold;
        std::wstring own;
        if (hold.Hold(m_path.c_str(), own) != ERROR_SUCCESS || !CheckTrustedListSignature(own.c_str()))
            return false;
        std::string bytes;
        {
            CFileLock lock(own, false);
            if (!lock.IsOpen() || !lock.IsLocked() || !ReadWholeFile(lock.Handle(), bytes))
                return false;
        }
        // A failed parse must not leave sections behind for the next attempt to add to.
        Clear();
        m_loaded = Parse(bytes) && BuildArrays();
    } catch (...) {
        m_loaded = false;
    }
    if (!m_loaded)
        Clear();
    return m_loaded;
}

bool CTrustedList::LoadLocked()
{
    CExclusiveGuard guard(*this);
    return Load();
}

bool CTrustedList::IsLoaded()
{
    LockShared();
    const bool loaded = m_loaded;
    UnlockShared();
    return loaded;
}

bool CTrustedList::Reload()
{
    CExclusiveGuard guard(*this);
    Clear();
    return Load();
}

void CTrustedList::Clear()
{
    m_ver = 0;
    m_org.clear();
    m_ser.clear();
    m_sha.clear();
    m_shaData.clear();
    m_sections.clear();
    m_loaded = false;
}

bool CTrustedList::Parse(const std::string& bytes)
{
    // Each byte is one character; a carriage return before a line feed is dropped.
    std::wstring line;
    std::vector<std::wstring>* current = nullptr;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        const bool lastLine = end == std::string::npos;
        if (lastLine)
            end = bytes.size();
        size_t stop = end;
        if (!lastLine && stop > start && bytes[stop - 1] == '\r')
            --stop;
        line.clear();
        for (size_t i = start; i < stop; ++i)
            line.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i])));
        start = end + 1;

        const std::wstring text = Trim(line);
        if (text.empty() || StartsWith(text, L"/*") || StartsWith(text, L"//") || StartsWith(text, L"*/"))
            continue;
        if (text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
            const std::wstring name = Trim(text.substr(1, text.size() - 2));
            if (name.empty())
                return false;
            current = &m_sections[name];
            continue;
        }
        if (current != nullptr)
            current->push_back(text);
    }
    return true;
}

bool CTrustedList::BuildArrays()
{
    const auto ver = m_sections.find(L"VER");
    if (ver == m_sections.end() || ver->second.size() != 1)
        return false;
    m_ver = static_cast<DWORD>(std::stoul(ver->second[0], nullptr, 10));

    auto pointTo = [this](const wchar_t* section, std::vector<const wchar_t*>& array) {
        const auto values = m_sections.find(section);
        if (values == m_sections.end() || values->second.empty())
            return;
        for (const std::wstring& value : values->second)
            array.push_back(value.c_str());
        array.push_back(nullptr);
    };
    pointTo(L"ORG", m_org);
    pointTo(L"SER", m_ser);

    const auto sha = m_sections.find(L"SHA");
    if (sha == m_sections.end() || sha->second.empty())
        return true;
    m_shaData.resize(sha->second.size());
    m_sha.assign(sha->second.size(), nullptr);
    for (size_t i = 0; i < sha->second.size(); ++i) {
        const std::wstring& value = sha->second[i];
        if (value.empty() || value.size() % 2 != 0)
            continue;
        std::vector<BYTE>& buffer = m_shaData[i];
        for (size_t pair = 0; pair < value.size(); pair += 2)
            buffer.push_back(static_cast<BYTE>(std::stoul(value.substr(pair, 2), nullptr, 16)));
        // Only a complete SHA-1 thumbprint can ever match a root.
        if (buffer.size() == 20)
            m_sha[i] = buffer.data();
    }
    return true;
}

bool CTrustedList::Install(const wchar_t* newPath)
{
    return InstallFile(newPath, false, 0);
}

bool CTrustedList::InstallIfNewer(const wchar_t* newPath, DWORD newVersion)
{
    return InstallFile(newPath, true, newVersion);
}

bool CTrustedList::InstallFile(const wchar_t* newPath, bool onlyIfNewer, DWORD newVersion)
{
    if (newPath == nullptr || newPath[0] == L'\0')
        return false;
    if (onlyIfNewer) {
        SharedLock reading(*this);
        if (m_loaded && newVersion <= m_ver)
            return false;
    }
    // Nothing before the replacement touches the values this list holds.
    try {
        if (m_path.empty() || m_path.size() >= MAX_PATH)
            return false;
        wchar_t folder[MAX_PATH] = {};
        wcscpy(folder, m_path.c_str());
        PathRemoveFileSpecW(folder);
        SHCreateDirectoryExW(nullptr, folder, nullptr);
        wchar_t temporary[MAX_PATH] = {};
        wcscpy(temporary, folder);
        if (!PathAppendW(temporary, TemporaryName().c_str()))
            return false;

        // One install of the list at a time, across processes, from the read of the installed
        // version to the replacement. A lock on the list itself would end with its replacement,
        // and a waiter's handle would then name the file replaced. It is taken before this list's
        // own lock, so that while an install waits for it the trust checks go on.
        CFileLock installing(m_path + kInstallLockSuffix, true, true);
        if (!installing.IsLocked())
            return false;
        CExclusiveGuard guard(*this);
        if (onlyIfNewer && m_loaded && newVersion <= m_ver)
            return false;
        if (onlyIfNewer) {
            // Another process may have installed a newer list since this one read its own. Only a
            // genuine installed list tells a version: any other counts as older.
            CTrustedList installedList(m_path.c_str());
            if (installedList.LoadLocked() && newVersion <= installedList.m_ver)
                return false;
        }

        CFileLock installed(m_path, true);
        if (!CopyFileW(newPath, temporary, FALSE)) {
            DeleteFileW(temporary);
            return false;
        }
        // A read-only copy would block every later replacement.
        const DWORD attributes = GetFileAttributesW(temporary);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
            SetFileAttributesW(temporary, attributes & ~FILE_ATTRIBUTE_READONLY);
        if (onlyIfNewer) {
            // The file may have been swapped since the caller read its version: the bytes copied
            // must be genuine and at least that new themselves.
            CTrustedList copied(temporary);
            if (!copied.LoadLocked() || copied.m_ver < newVersion) {
                DeleteFileW(temporary);
                return false;
            }
        }

        bool replaced = false;
        if (installed.IsOpen())
            replaced = ReplaceInstalledFile(m_path, temporary, installed);
        else
            replaced = MoveFileW(temporary, m_path.c_str()) != 0;

        if (!replaced) {
            MoveFileExW(temporary, m_path.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT);
            return false;
        }
        installed.Release();
        GlobalAddAtomW(RefreshSignalName());
        Clear();
        return Load();
    } catch (...) {
        return false;
    }
}

bool CheckTrustedListSignature(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return false;
    HCRYPTMSG message = nullptr;
    HCERTSTORE store = nullptr;
    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    bool script = false;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &store, &message,
                          nullptr)) {
        // Where the platform has no handler for signed script text (it finds no signed object in
        // the file), open its signature block here.
        if (GetLastError() != static_cast<DWORD>(CRYPT_E_NO_MATCH) || !internal::OpenScriptSignature(path, &message, &store))
            return false;
        script = true;
    }

    bool trusted = false;
    DWORD signerCount = 0;
    DWORD size = sizeof(signerCount);
    PCCERT_CONTEXT certificate = nullptr;
    std::vector<BYTE> signerData;
    if (CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size) && signerCount == 1) {
        size = 0;
        if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size != 0) {
            signerData.assign(size, 0);
            if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signerData.data(), &size)) {
                const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerData.data());
                CERT_INFO info = {};
                info.Issuer = signer->Issuer;
                info.SerialNumber = signer->SerialNumber;
                certificate = CertGetSubjectCertificateFromStore(store, kEncoding, &info);
            }
        }
    }
    if (certificate != nullptr) {
        BYTE hash[20];
        DWORD hashSize = sizeof(hash);
        if (CertGetCertificateContextProperty(certificate, CERT_HASH_PROP_ID, hash, &hashSize) &&
            hashSize == sizeof(hash) &&
            memcmp(hash, TelvanaTrustData::kTrustedListSignerThumbprint, sizeof(hash)) == 0) {
            if (script) {
                trusted = internal::VerifyScriptIntegrity(path, message, store) == 0;
            } else {
                trusted = internal::WinVerifyTrustFile(path, WTD_STATEACTION_IGNORE,
                                                       WTD_NO_POLICY_USAGE_FLAG | WTD_REVOCATION_CHECK_NONE |
                                                           WTD_HASH_ONLY_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL) == 0;
            }
        }
        CertFreeCertificateContext(certificate);
    }
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    CryptMsgClose(message);
    return trusted;
}

bool UpdateTrustedListFromFile(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return false;
    DWORD newVersion = 0;
    {
        CTrustedList candidate(path);
        if (!candidate.LoadLocked())
            return false;
        candidate.LockShared();
        newVersion = candidate.Version();
        candidate.UnlockShared();
    }
    CTrustedList& list = ProcessTrustedList();
    // Compare with the installed list even when no check has read it yet, so that an older
    // list never replaces a newer one.
    list.LoadLocked();
    list.LockShared();
    const bool notNewer = list.LoadedUnlocked() && newVersion <= list.Version();
    list.UnlockShared();
    if (notNewer || newVersion <= kBuiltInTrustDataVersion)
        return false;
    return list.InstallIfNewer(path, newVersion);
}

} // namespace Lumetra
