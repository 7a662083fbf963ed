#include "ETWLogging/LogController.h"

#include <objbase.h>
#include <shlobj.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "ETWLogging/AppProperties.h"
#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/PathUtils.h"
#include "Lumetra/RegKey.h"
#include "Lumetra/SecureDll.h"
#include "Lumetra/ShlObjAPI.h"
#include "TelvanaTrustData.h"

namespace ETWLogging {

namespace {

const wchar_t* const kDllName = L"Lognex.dll";
const wchar_t* const kInstalledKey = L"SOFTWARE\\Orvane\\Zenvo";
const wchar_t* const kInstalledValue = L"CommonFiles Dir64";
const wchar_t* const kInstalledSubFolder = L"OvSvcHost";
const wchar_t* const kCommonFilesSubFolder = L"\\Orvane\\Platform\\OvSvcHost";

// ---- Signature check ------------------------------------------------------------------------

struct SignedFile {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    ~SignedFile()
    {
        if (store) CertCloseStore(store, 0);
        if (message) CryptMsgClose(message);
    }
};

struct CertificateHolder {
    PCCERT_CONTEXT cert = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ~CertificateHolder()
    {
        if (chain) CertFreeCertificateChain(chain);
        if (cert) CertFreeCertificateContext(cert);
    }
};

bool GetMessageParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& data)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size) || size == 0) return false;
    data.resize(size);
    if (!CryptMsgGetParam(message, type, index, data.data(), &size)) return false;
    data.resize(size);
    return true;
}

bool HasTrustedOrganisation(PCCERT_CONTEXT cert)
{
    DWORD length = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length <= 1) return false;
    std::vector<wchar_t> name(length);
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length);
    for (const wchar_t* organisation : TelvanaTrustData::kLogControllerOrganisations) {
        if (organisation && std::wcscmp(name.data(), organisation) == 0) return true;
    }
    return false;
}

bool IsBuiltInRoot(const BYTE (&thumbprint)[20])
{
    for (const auto& root : TelvanaTrustData::kRootThumbprints) {
        if (std::memcmp(root, thumbprint, sizeof(thumbprint)) == 0) return true;
    }
    return false;
}

bool EndsInBuiltInRoot(PCCERT_CHAIN_CONTEXT chain)
{
    for (DWORD i = 0; i < chain->cChain; ++i) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[i];
        if (!simple || simple->cElement == 0) continue;
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        BYTE thumbprint[20] = {};
        DWORD size = sizeof(thumbprint);
        if (!CertGetCertificateContextProperty(root, CERT_SHA1_HASH_PROP_ID, thumbprint, &size) ||
            size != sizeof(thumbprint))
            continue;
        if (IsBuiltInRoot(thumbprint)) return true;
    }
    return false;
}

bool HasTrustedChain(PCCERT_CONTEXT cert, HCERTSTORE store, const FILETIME* signingTime, CertificateHolder& holder)
{
    holder.chain = Lumetra::internal::GetChainForUsage(cert, signingTime, store, szOID_PKIX_KP_CODE_SIGNING, 0);
    if (!holder.chain) return false;
    if (holder.chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) return false;
    if (!EndsInBuiltInRoot(holder.chain)) return false;
    DWORD policyError = 0;
    return Lumetra::internal::VerifyAuthenticodeTimestampPolicy(holder.chain, &policyError) && policyError == 0;
}

// With wholeMessage false the message holds this one signer of a signature that the platform
// could not open as a whole, so the file's integrity is checked against that message.
bool SignerPasses(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store, DWORD index, bool wholeMessage = true)
{
    std::vector<BYTE> info;
    if (!GetMessageParam(message, CMSG_SIGNER_INFO_PARAM, index, info)) return false;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());

    CERT_INFO wanted = {};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    CertificateHolder holder;
    holder.cert = CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &wanted);
    if (!holder.cert) return false;

    if (!HasTrustedOrganisation(holder.cert)) return false;
    // Only a counter-signature gives this check a signing time, and only a genuine one.
    FILETIME signingTime = {};
    if (Lumetra::internal::GetSignerSigningTime(message, index, &signingTime,
                                                Lumetra::internal::kCounterSignatureStamp) != 0)
        signingTime = FILETIME{};
    const bool timed = signingTime.dwLowDateTime != 0 || signingTime.dwHighDateTime != 0;
    if (!HasTrustedChain(holder.cert, store, timed ? &signingTime : nullptr, holder)) return false;
    if (!wholeMessage) return Lumetra::internal::VerifyPeImageIntegrity(path, message, store) == 0;
    // The platform's file check verifies the primary signer only.
    return Lumetra::internal::WinVerifyTrustFile(path, WTD_STATEACTION_IGNORE,
                                                 WTD_HASH_ONLY_FLAG | WTD_REVOCATION_CHECK_NONE |
                                                     WTD_NO_POLICY_USAGE_FLAG) == 0 &&
           Lumetra::internal::VerifySignerSignature(message, store, index) == 0;
}

std::wstring JoinPath(const std::wstring& folder, const wchar_t* subFolder)
{
    // "%s%s\%s": the folder, the sub-folder, the file name.
    return folder + subFolder + L"\\" + kDllName;
}

template <typename T>
std::unique_ptr<T> MakeNoThrow()
{
    return std::unique_ptr<T>(new (std::nothrow) T());
}

} // namespace

bool VerifyFileSignature(const wchar_t* path)
{
    if (!path || !*path) return false;
    try {
        SignedFile file;
        if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &file.store,
                              &file.message, nullptr)) {
            // Where the platform cannot open a signature of several signers, each signer is
            // checked in a message of its own, in the same order.
            if (GetLastError() != static_cast<DWORD>(CRYPT_E_NO_MATCH)) return false;
            std::vector<Lumetra::internal::SignerMessage> perSigner;
            if (!Lumetra::internal::OpenSignaturePerSigner(path, &perSigner)) return false;
            Lumetra::internal::SignerMessagesCloser closer{perSigner};
            // As where the platform opens such files: the primary signer must hold over the image.
            if (perSigner.empty() ||
                Lumetra::internal::VerifyPeImageIntegrity(path, perSigner.front().message, perSigner.front().store) != 0)
                return false;
            for (const auto& signer : perSigner) {
                if (SignerPasses(path, signer.message, signer.store, 0, false)) return true;
            }
            return false;
        }
        DWORD signers = 0;
        DWORD size = sizeof(signers);
        if (!CryptMsgGetParam(file.message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size)) return false;
        for (DWORD i = 0; i < signers; ++i) {
            if (SignerPasses(path, file.message, file.store, i)) return true;
        }
        return false;
    } catch (...) {
        // Out of memory while reading the signature: not trusted.
        return false;
    }
}

// ---- Finder -----------------------------------------------------------------------------------

LogControllerHelper::LogControllerHelper(std::unique_ptr<Lumetra::ShlObjAPI> shell,
                                         std::unique_ptr<Lumetra::CRegKey> key,
                                         std::unique_ptr<internal::ETWAppProperties> properties)
    : m_shell(std::move(shell)), m_key(std::move(key)), m_properties(std::move(properties))
{
}

LogControllerHelper::~LogControllerHelper() = default;

bool LogControllerHelper::GetInstalledPath(std::wstring& path)
{
    path.clear();
    std::wstring folder;
    if (m_key->Open(HKEY_LOCAL_MACHINE, kInstalledKey, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
        m_key->QueryStringValue(kInstalledValue, folder) == ERROR_SUCCESS && !folder.empty()) {
        if (folder.back() != L'\\') folder += L'\\';
        path = JoinPath(folder, kInstalledSubFolder);
    } else {
        PWSTR common = nullptr;
        if (SUCCEEDED(m_shell->GetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, &common)) && common)
            path = JoinPath(common, kCommonFilesSubFolder);
        Lumetra::CoTaskMemFreeAndClear(common);
    }
    m_key->Close();
    return !path.empty();
}

bool LogControllerHelper::VerifySignature(const wchar_t* path)
{
    return VerifyFileSignature(path);
}

bool LogControllerHelper::CheckHeld(std::wstring& path)
{
    std::wstring own;
    if (m_hold.Hold(path.c_str(), own) == ERROR_SUCCESS && VerifySignature(own.c_str())) {
        path = own;
        return true;
    }
    m_hold.Release();
    return false;
}

bool LogControllerHelper::GetLocalPath(std::wstring& path)
{
    std::wstring folder;
    if (!Lumetra::GetModuleFolder(folder, true)) return false;
    path = folder + kDllName;
    return CheckHeld(path);
}

bool LogControllerHelper::GetVerifiedInstalledPath(std::wstring& path)
{
    return GetInstalledPath(path) && CheckHeld(path);
}

bool LogControllerHelper::FindDll(const wchar_t* applicationName, std::wstring& path)
{
    bool found;
    if (GetLocalPath(path)) {
        found = true;
    } else if (!m_properties->Initialize(applicationName)) {
        found = GetVerifiedInstalledPath(path);
    } else {
        path = m_properties->GetControllerPath();
        found = CheckHeld(path);
    }
    // Never hand out a path that did not pass the check.
    if (!found) path.clear();
    return found;
}

// ---- Binding ----------------------------------------------------------------------------------

namespace {

std::unique_ptr<LogControllerHelper> MakeFinder()
{
    try {
        auto shell = MakeNoThrow<Lumetra::ShlObjAPI>();
        auto key = MakeNoThrow<Lumetra::CRegKey>();
        auto properties = MakeNoThrow<internal::ETWAppProperties>();
        // A finder without any of its parts could not do its work.
        if (shell && key && properties)
            return std::unique_ptr<LogControllerHelper>(
                new (std::nothrow) LogControllerHelper(std::move(shell), std::move(key), std::move(properties)));
    } catch (...) {
    }
    return nullptr;
}

} // namespace

AutoLogController::AutoLogController(const wchar_t* applicationName)
    : AutoLogController(applicationName, MakeFinder())
{
}

AutoLogController::AutoLogController(const wchar_t* applicationName, std::unique_ptr<LogControllerHelper> finder)
    : m_applicationName(applicationName), m_finder(std::move(finder))
{
    Load();
}

AutoLogController::~AutoLogController()
{
    if (m_stop) m_stop(0, m_applicationName);
    m_finder.reset();
}

DWORD AutoLogController::Load()
{
    try {
        m_status = LoadAndStart();
    } catch (const std::bad_alloc&) {
        m_status = ERROR_OUTOFMEMORY;
    } catch (...) {
        m_status = ERROR_INTERNAL_ERROR;
    }
    return m_status;
}

DWORD AutoLogController::LoadAndStart()
{
    if (!m_finder) return ERROR_OUTOFMEMORY;
    std::wstring path;
    // The file found stays held from its check until it is mapped, and is loaded by the path it
    // was checked by: a file swapped or a link switched in between cannot bring unchecked code in.
    // The hold ends here on every road, a search or load that throws included.
    struct HoldRelease {
        LogControllerHelper& finder;
        ~HoldRelease() { finder.ReleaseHold(); }
    };
    DWORD code;
    {
        HoldRelease release{*m_finder};
        const bool found = m_finder->FindDll(m_applicationName, path);
        code = found ? CDllWrapperBase::Load(path.c_str()) : static_cast<DWORD>(ERROR_ACCESS_DENIED);
    }
    if (code != ERROR_SUCCESS) return code;

    auto resolve = [this](const char* name, auto& entry) {
        using Entry = std::remove_reference_t<decltype(entry)>;
        entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
        return entry != nullptr;
    };
    if (!resolve("Start", m_start) || !resolve("Stop", m_stop) || !resolve("RestartSession", m_restartSession) ||
        !resolve("FlushBuffers", m_flushBuffers)) {
        code = GetLastError();
        return code != ERROR_SUCCESS ? code : static_cast<DWORD>(ERROR_PROC_NOT_FOUND);
    }
    return m_start(m_applicationName);
}

DWORD AutoLogController::Start()
{
    if (!m_start) return ERROR_PROC_NOT_FOUND;
    m_status = m_start(m_applicationName);
    return m_status;
}

DWORD AutoLogController::Stop(BYTE flag)
{
    if (!m_stop) return ERROR_PROC_NOT_FOUND;
    return m_stop(flag, m_applicationName);
}

} // namespace ETWLogging
