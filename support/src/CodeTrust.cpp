#include "Lumetra/CodeTrust.h"
#include "Lumetra/WideFormat.h"

#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/FileHold.h"
#include "Lumetra/TrustedList.h"
#include "TelvanaTrustData.h"

#include <psapi.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdarg>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace Lumetra {

namespace {

const wchar_t kHalvarKey[] = L"Software\\Orvane\\Halvar";
constexpr DWORD kMaxModules = 4096;
constexpr DWORD kPathChars = MAX_PATH;

// Versions from 15.4 on are told apart by major * 100 + minor; older or unreadable ones count
// as the oldest supported core.
constexpr DWORD kOldestPlatformCore = 1504;
constexpr DWORD kFirstCurrentPlatformCore = 1505;

const char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

const wchar_t* const kBuiltInOrg[] = {TelvanaTrustData::kPublisherNames[0], TelvanaTrustData::kPublisherNames[1],
                                      nullptr};
const BYTE* const kBuiltInSha[] = {TelvanaTrustData::kRootThumbprints[0], TelvanaTrustData::kRootThumbprints[1],
                                   TelvanaTrustData::kRootThumbprints[2], TelvanaTrustData::kRootThumbprints[3]};
constexpr DWORD kBuiltInShaCount = sizeof(kBuiltInSha) / sizeof(kBuiltInSha[0]);
const wchar_t* const kBuiltInSer[] = {nullptr};

void DebugLine(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text;
    if (FormatWideV(text, format, args) == ERROR_SUCCESS) OutputDebugStringW(text.c_str());
    va_end(args);
}

REGSAM HalvarKeyAccess()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    // The 64-bit view flag is refused by Windows 2000.
    if (GetVersionExW(&info) && info.dwMajorVersion == 5 && info.dwMinorVersion == 0)
        return KEY_READ;
    return KEY_READ | KEY_WOW64_64KEY;
}

HKEY OpenHalvarKey()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHalvarKey, 0, HalvarKeyAccess(), &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool IsAcceptedLoaderVerdict(LONG result)
{
    return result == 0 || result == CRYPT_E_SECURITY_SETTINGS || result == CERT_E_EXPIRED ||
           result == CERT_E_REVOCATION_FAILURE;
}

// Full name of a module, growing the buffer once.
DWORD ModuleFileName(HMODULE module, std::wstring& name)
{
    std::vector<wchar_t> buffer(kPathChars);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return GetLastError() != 0 ? GetLastError() : ERROR_INVALID_FUNCTION;
        if (length < buffer.size()) {
            name.assign(buffer.data(), length);
            return 0;
        }
        buffer.resize(buffer.size() * 4);
    }
    return ERROR_NOT_ENOUGH_MEMORY;
}

struct CryptMessage {
    HCRYPTMSG message = nullptr;
    HCERTSTORE store = nullptr;
    ~CryptMessage()
    {
        if (store != nullptr)
            CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
        if (message != nullptr)
            CryptMsgClose(message);
    }
};

std::wstring SerialText(const CRYPT_INTEGER_BLOB& serial)
{
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(serial.cbData * 2);
    // The blob holds the integer least significant byte first.
    for (DWORD i = serial.cbData; i-- > 0;) {
        text.push_back(kHex[serial.pbData[i] >> 4]);
        text.push_back(kHex[serial.pbData[i] & 0x0F]);
    }
    return text;
}

bool InNameList(TrustNameList list, const wchar_t* text)
{
    if (list == nullptr)
        return false;
    for (; *list != nullptr; ++list) {
        if (_wcsicmp(*list, text) == 0)
            return true;
    }
    return false;
}

// 0 when the certificate's display name is one of the accepted names.
DWORD CheckSignerName(PCCERT_CONTEXT certificate, TrustNameList org)
{
    if (org == nullptr)
        return 0;
    const DWORD chars = CertGetNameStringW(certificate, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (chars <= 1)
        return static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    std::unique_ptr<wchar_t[]> name(new (std::nothrow) wchar_t[chars]);
    if (!name)
        return static_cast<DWORD>(E_OUTOFMEMORY);
    if (CertGetNameStringW(certificate, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name.get(), chars) <= 1 ||
        name[0] == L'\0')
        return static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    return InNameList(org, name.get()) ? 0 : static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
}

// Root test on one chain context: 1 match, 0 no match, -1 a root without a readable hash.
int ContextHasAcceptedRoot(PCCERT_CHAIN_CONTEXT context, TrustThumbprintList sha, DWORD shaCount)
{
    for (DWORD c = 0; c < context->cChain; ++c) {
        PCERT_SIMPLE_CHAIN simple = context->rgpChain[c];
        if (simple == nullptr || simple->cElement == 0)
            continue;
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        BYTE hash[20];
        DWORD size = sizeof(hash);
        if (!CertGetCertificateContextProperty(root, CERT_HASH_PROP_ID, hash, &size) || size != sizeof(hash))
            return -1;
        for (DWORD s = 0; s < shaCount; ++s) {
            if (sha[s] != nullptr && memcmp(sha[s], hash, sizeof(hash)) == 0)
                return 1;
        }
    }
    return 0;
}

// A context counts only when it is itself valid: a lower-quality one may end at an accepted
// root only through a certificate whose signature does not hold, which anyone can add to the
// signature's certificate set.
bool ValidContextHasAcceptedRoot(PCCERT_CHAIN_CONTEXT context, TrustThumbprintList sha, DWORD shaCount)
{
    return context != nullptr && context->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR &&
           ContextHasAcceptedRoot(context, sha, shaCount) == 1;
}

bool ChainHasAcceptedRoot(PCCERT_CHAIN_CONTEXT chain, TrustThumbprintList sha, DWORD shaCount)
{
    if (sha == nullptr || shaCount == 0)
        return true;
    if (ValidContextHasAcceptedRoot(chain, sha, shaCount))
        return true;
    for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i) {
        if (ValidContextHasAcceptedRoot(chain->rgpLowerQualityChainContext[i], sha, shaCount))
            return true;
    }
    return false;
}

enum class SignerVerdict { Passed, Refused, Abort };

// wholeMessage false: the message holds only this signer, taken out of a signature that the
// platform could not open; the platform's file check cannot read that signature either.
SignerVerdict CheckSigner(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store, DWORD index, TrustNameList org,
                          TrustThumbprintList sha, DWORD shaCount, TrustNameList ser, bool wholeMessage = true)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, index, nullptr, &size) || size == 0)
        return SignerVerdict::Refused;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer)
        return SignerVerdict::Abort;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, index, buffer.get(), &size))
        return SignerVerdict::Refused;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.get());

    CERT_INFO certificateInfo = {};
    certificateInfo.Issuer = signer->Issuer;
    certificateInfo.SerialNumber = signer->SerialNumber;

    if (InNameList(ser, SerialText(signer->SerialNumber).c_str()))
        return SignerVerdict::Refused;

    PCCERT_CONTEXT certificate = CertGetSubjectCertificateFromStore(store, kEncoding, &certificateInfo);
    if (certificate == nullptr)
        return SignerVerdict::Refused;
    std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> certificateGuard(
        certificate, &CertFreeCertificateContext);

    if (CheckSignerName(certificate, org) != 0)
        return SignerVerdict::Refused;

    FILETIME signingTime = {};
    if (internal::GetSignerSigningTime(message, index, &signingTime) != 0)
        return SignerVerdict::Refused;
    const bool haveTime = signingTime.dwLowDateTime != 0 || signingTime.dwHighDateTime != 0;

    PCCERT_CHAIN_CONTEXT chain =
        internal::GetChainForUsage(certificate, haveTime ? &signingTime : nullptr, store, kCodeSigningUsage,
                                   CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS);
    if (chain == nullptr)
        return SignerVerdict::Refused;
    std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> chainGuard(
        chain, &CertFreeCertificateChain);

    if (chain->TrustStatus.dwErrorStatus != 0)
        return SignerVerdict::Refused;
    if (!ChainHasAcceptedRoot(chain, sha, shaCount))
        return SignerVerdict::Refused;

    DWORD policyError = 0;
    if (!internal::VerifyAuthenticodeTimestampPolicy(chain, &policyError) || policyError != 0)
        return SignerVerdict::Refused;

    const DWORD flags = WTD_NO_POLICY_USAGE_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_HASH_ONLY_FLAG |
                        WTD_CACHE_ONLY_URL_RETRIEVAL;
    if (wholeMessage ? internal::WinVerifyTrustFile(path, WTD_STATEACTION_IGNORE, flags) != 0
                     : internal::VerifyPeImageIntegrity(path, message, store) != 0)
        return SignerVerdict::Refused;
    // The platform's file check verifies the primary signer only: every other signer's own
    // signature must hold over the content it shares with the primary one.
    if (wholeMessage && internal::VerifySignerSignature(message, store, index) != 0)
        return SignerVerdict::Refused;
    return SignerVerdict::Passed;
}

} // namespace

DWORD CheckFileTrust(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    // Creating the verifier allocates; nothing may leave this boundary as an exception.
    try {
        return CTrustVerifier::Instance().CheckFile(path);
    } catch (...) {
        return ERROR_ACCESS_DENIED;
    }
}

DWORD CheckCallerModuleTrust(const void* address)
{
    wchar_t path[kPathChars] = {};
    GetModuleOfAddress(address, path);
    if (path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    return CheckFileTrust(path);
}

DWORD GetModuleOfAddress(const void* address, wchar_t* path)
{
    if (address == nullptr || path == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::unique_ptr<HMODULE[]> modules(new (std::nothrow) HMODULE[kMaxModules]);
    if (!modules)
        return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    if (process == nullptr)
        return GetLastError();
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules.get(), kMaxModules * sizeof(HMODULE), &needed)) {
        const DWORD error = GetLastError();
        CloseHandle(process);
        return error;
    }
    DWORD count = needed / sizeof(HMODULE);
    if (count > kMaxModules)
        count = kMaxModules;
    const auto target = reinterpret_cast<ULONG_PTR>(address);
    bool found = false;
    for (DWORD i = 0; i < count; ++i) {
        MODULEINFO info = {};
        if (!GetModuleInformation(process, modules[i], &info, sizeof(info)))
            continue;
        const auto base = reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll);
        if (target >= base && target - base < info.SizeOfImage) {
            // The platform cuts a longer name to the room given and still reports success: a name
            // that does not fit is refused, as a cut one could name another file.
            wchar_t name[kPathChars + 1] = {};
            const DWORD length = GetModuleFileNameExW(process, modules[i], name, kPathChars + 1);
            found = length != 0 && length < kPathChars;
            if (found)
                wcscpy(path, name);
            else
                path[0] = L'\0';
            break;
        }
    }
    CloseHandle(process);
    return found ? 0 : ERROR_ACCESS_DENIED;
}

bool GetHalvarInstallDir(bool is32, const wchar_t* fileName, wchar_t* buffer, DWORD capacity)
{
    if (buffer == nullptr || capacity == 0)
        return false;
    HKEY key = OpenHalvarKey();
    if (key == nullptr)
        return false;
    DWORD bytes = capacity * sizeof(wchar_t);
    const LONG result = RegQueryValueExW(key, is32 ? L"szInstallDir32" : L"szInstallDir64", nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return false;
    // Stored text need not carry its terminator.
    const DWORD chars = bytes / sizeof(wchar_t);
    buffer[chars < capacity ? chars : capacity - 1] = L'\0';
    buffer[capacity - 1] = L'\0';
    size_t length = wcslen(buffer);
    if (length + 1 < capacity) {
        buffer[length++] = L'\\';
        buffer[length] = L'\0';
        if (fileName != nullptr && length + 1 < capacity)
            wcsncat(buffer, fileName, capacity - 1 - length);
    }
    return true;
}

CTrustVerifier& CTrustVerifier::Instance()
{
    // Created once on first use (a throwing construction is retried by the next caller) and never
    // destroyed: the outside interface is held to the end of the process.
    static CTrustVerifier* verifier = new CTrustVerifier();
    return *verifier;
}

CTrustVerifier::CTrustVerifier()
{
    HKEY key = OpenHalvarKey();
    if (key == nullptr)
        return;
    m_platformCoreVersion = kOldestPlatformCore;
    wchar_t text[64] = {};
    DWORD bytes = 128;
    if (RegGetValueW(key, nullptr, L"system_core_version", RRF_RT_REG_SZ, nullptr, text, &bytes) == ERROR_SUCCESS) {
        unsigned long major = 0;
        unsigned long minor = 0;
        if (swscanf(text, L"%lu.%lu", &major, &minor) < 2)
            minor = 0;
        if (major >= 15 && minor >= 4)
            m_platformCoreVersion = static_cast<DWORD>(major * 100 + minor);
    }
    RegCloseKey(key);
    void* validation = nullptr;
    NotComDllGetInterface(L"Ovgate.dll", "KvlValidationControl", &validation, nullptr);
    m_validation = static_cast<IKvlValidationControl*>(validation);
}

DWORD CTrustVerifier::ValidationRequestFlags() const
{
    return m_platformCoreVersion < kFirstCurrentPlatformCore ? ValidationFlags::kRequestLegacy
                                                             : ValidationFlags::kRequestCurrent;
}

DWORD CTrustVerifier::AskValidationService(const wchar_t* path)
{
    if (m_validation == nullptr || path == nullptr)
        return ERROR_ACCESS_DENIED;
    ValidationRecord record = {};
    m_validation->Validate(path, ValidationRequestFlags(), &record);
    const DWORD capability = m_platformCoreVersion < kFirstCurrentPlatformCore ? ValidationFlags::kCapabilityLegacy
                                                                               : ValidationFlags::kCapabilityCurrent;
    if ((record.statusFlags & ValidationFlags::kStatusTrusted) != 0 && (record.capabilityFlags & capability) != 0)
        return 0;
    return ERROR_ACCESS_DENIED;
}

DWORD CTrustVerifier::CheckFile(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    if (AskValidationService(path) == 0)
        return 0;
    try {
        if (VerifyFileOrCabinet(path, kBuiltInTrustDataVersion, kBuiltInOrg, kBuiltInSha, kBuiltInShaCount,
                                kBuiltInSer) == 1)
            return 0;
    } catch (...) {
    }
    return ERROR_ACCESS_DENIED;
}

int VerifyFileOrCabinet(const wchar_t* path, DWORD dataVersion, TrustNameList org, TrustThumbprintList sha,
                        DWORD shaCount, TrustNameList ser)
{
    if (VerifyWithTrustedList(path, dataVersion, org, sha, shaCount, ser) == 1)
        return 1;
    if (path == nullptr || _wcsicmp(PathFindExtensionW(path), L".cab") != 0)
        return 0;
    CCabinet cabinet;
    if (!cabinet.ExtractTrustedList(path))
        return 0;
    return VerifyWithTrustedList(path, dataVersion, org, sha, shaCount, ser);
}

int VerifyWithTrustedList(const wchar_t* path, DWORD dataVersion, TrustNameList org, TrustThumbprintList sha,
                          DWORD shaCount, TrustNameList ser)
{
    CTrustedList& list = ProcessTrustedList();
    // An unloaded list has no arrays, which would mean "accept anything": every use of the
    // list's values below checks the loaded flag under the same shared lock.
    auto checkWithList = [&]() {
        CTrustedList::SharedLock lock(list);
        if (!list.LoadedUnlocked()) return 0;
        return VerifyAuthenticodePublisher(path, list.Organisations(), list.Thumbprints(), list.ThumbprintCount(),
                                           list.Serials());
    };

    if (list.IsLoaded()) {
        if (checkWithList() == 1)
            return 1;
        if (GlobalFindAtomW(CTrustedList::RefreshSignalName()) != 0 && list.Reload())
            return checkWithList();
        return 0;
    }

    if (VerifyAuthenticodePublisher(path, org, sha, shaCount, ser) == 1)
        return 1;
    if (!list.LoadLocked())
        return 0;
    list.LockShared();
    const bool newer = list.LoadedUnlocked() && list.Version() > dataVersion;
    list.UnlockShared();
    return newer ? checkWithList() : 0;
}

int VerifyAuthenticodePublisher(const wchar_t* path, TrustNameList org, TrustThumbprintList sha, DWORD shaCount,
                                TrustNameList ser)
{
    if (path == nullptr || path[0] == L'\0')
        return 0;
    CryptMessage signedFile;
    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &signedFile.store,
                          &signedFile.message, nullptr)) {
        // Where the platform cannot open a signature of several signers (it finds no signed
        // object), each signer is checked in a message of its own, in the same order. As on a
        // platform that opens such files, the primary signer's signature must hold over the image.
        if (GetLastError() != static_cast<DWORD>(CRYPT_E_NO_MATCH))
            return 0;
        std::vector<internal::SignerMessage> perSigner;
        if (!internal::OpenSignaturePerSigner(path, &perSigner))
            return 0;
        internal::SignerMessagesCloser closer{perSigner};
        if (perSigner.empty() ||
            internal::VerifyPeImageIntegrity(path, perSigner.front().message, perSigner.front().store) != 0)
            return 0;
        int result = 0;
        for (const internal::SignerMessage& signer : perSigner) {
            const SignerVerdict verdict = CheckSigner(path, signer.message, signer.store, 0, org, sha, shaCount, ser, false);
            if (verdict != SignerVerdict::Refused) {
                result = verdict == SignerVerdict::Passed ? 1 : 0;
                break;
            }
        }
        return result;
    }
    DWORD signerCount = 0;
    DWORD size = sizeof(signerCount);
    if (!CryptMsgGetParam(signedFile.message, CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size))
        return 0;
    for (DWORD i = 0; i < signerCount; ++i) {
        switch (CheckSigner(path, signedFile.message, signedFile.store, i, org, sha, shaCount, ser)) {
        case SignerVerdict::Passed:
            return 1;
        case SignerVerdict::Abort:
            return 0;
        case SignerVerdict::Refused:
            break;
        }
    }
    return 0;
}

} // namespace Lumetra

DWORD NotComDllGetInterface(const wchar_t* dllName, const char* interfaceName, void** out, HMODULE module)
{
    if (out != nullptr)
        *out = nullptr;
    if (dllName == nullptr || interfaceName == nullptr || out == nullptr)
        return ERROR_INVALID_PARAMETER;
    try {
        const size_t nameLength = wcslen(dllName);
        if (nameLength >= Lumetra::kPathChars)
            return ERROR_INVALID_PARAMETER;
        const bool usedUnchanged = nameLength < 3 || dllName[0] == L'\\' || dllName[1] == L':';

        // Only the platform core's install folder and the folder beside the module are looked in:
        // never the current directory, which any folder a program is started from can supply.
        std::wstring candidate;
        wchar_t installed[Lumetra::kPathChars];
        if (usedUnchanged)
            candidate = dllName;
        else if (Lumetra::GetHalvarInstallDir(false, dllName, installed, Lumetra::kPathChars))
            candidate = installed;

        // The file verified is held until it is loaded, and both go by its own final path, as in
        // LoadTrustedLibrary: a hold that fails answers as the verification of a missing file would.
        Lumetra::CFileHold hold;
        std::wstring verified;
        HANDLE state = nullptr;
        // The verification state is closed on every road out, an exception's too.
        struct StateCloser {
            const std::wstring& path;
            HANDLE& state;
            ~StateCloser() { Lumetra::internal::CloseWinVerifyTrustState(path.c_str(), state); }
        } closer{verified, state};
        auto verifyHeld = [&]() -> LONG {
            const DWORD held = hold.Hold(candidate.c_str(), verified);
            if (held != ERROR_SUCCESS) return static_cast<LONG>(held);
            return Lumetra::internal::WinVerifyTrustFile(verified.c_str(), WTD_STATEACTION_VERIFY,
                                                         WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL,
                                                         &state);
        };
        LONG verdict = candidate.empty() ? ERROR_FILE_NOT_FOUND : verifyHeld();
        const bool missing =
            verdict == ERROR_FILE_NOT_FOUND || verdict == ERROR_PATH_NOT_FOUND || verdict == CRYPT_E_FILE_ERROR;
        if (missing && !usedUnchanged) {
            OutputDebugStringW(L"NotComDllGetInterface: DLL not found in install location, looking beside the module");
            std::wstring beside;
            const DWORD error = Lumetra::ModuleFileName(module, beside);
            if (error != 0)
                return error;
            const size_t slash = beside.find_last_of(L'\\');
            beside = (slash == std::wstring::npos ? std::wstring() : beside.substr(0, slash + 1)) + dllName;
            Lumetra::internal::CloseWinVerifyTrustState(verified.c_str(), state);
            candidate = beside;
            verdict = verifyHeld();
        }
        // Where the platform's verdict covers only the signature's integrity, the chain decides.
        if (verdict == 0)
            verdict = Lumetra::internal::VerifyPrimarySignerChain(verified.c_str());
        // Its answers decide every trust check: it must come from the maker, as its own DLL does.
        if (Lumetra::IsAcceptedLoaderVerdict(verdict) &&
            Lumetra::VerifyAuthenticodePublisher(verified.c_str(), Lumetra::kBuiltInOrg, Lumetra::kBuiltInSha,
                                                 Lumetra::kBuiltInShaCount, Lumetra::kBuiltInSer) != 1)
            verdict = TRUST_E_SUBJECT_NOT_TRUSTED;
        if (!Lumetra::IsAcceptedLoaderVerdict(verdict)) {
            std::wstring executable;
            Lumetra::ModuleFileName(nullptr, executable);
            Lumetra::DebugLine(L"NotComDllGetInterface: %s loading %s, WinVerifyTrust failed with %08x\n",
                               executable.c_str(), candidate.c_str(), static_cast<unsigned>(verdict));
            return static_cast<DWORD>(verdict);
        }
        Lumetra::internal::CloseWinVerifyTrustState(verified.c_str(), state);

        HMODULE library = LoadLibraryExW(verified.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (library == nullptr) {
            const DWORD error = GetLastError();
            return error != 0 ? error : ERROR_FILE_NOT_FOUND;
        }
        using GetInterfaceFunction = DWORD(WINAPI*)(const char*, void**);
        auto getInterface = reinterpret_cast<GetInterfaceFunction>(
            reinterpret_cast<void*>(GetProcAddress(library, "NotComDllGetInterface")));
        const DWORD result = getInterface != nullptr ? getInterface(interfaceName, out) : GetLastError();
        FreeLibrary(library);
        return result;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
