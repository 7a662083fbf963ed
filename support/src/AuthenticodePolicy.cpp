#include "Lumetra/AuthenticodePolicy.h"

#include <softpub.h>
#include <wintrust.h>

namespace Lumetra {
namespace internal {

bool IsMissingOnPlatform(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_NOT_SUPPORTED;
}

namespace {

LONG CallWinVerifyTrust(const wchar_t* path, DWORD stateAction, DWORD providerFlags, HANDLE* state)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = stateAction;
    data.dwProvFlags = providerFlags;
    if (state) data.hWVTStateData = *state;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (state) *state = data.hWVTStateData;
    return result;
}

} // namespace

PCCERT_CHAIN_CONTEXT GetChainForUsage(PCCERT_CONTEXT certificate, const FILETIME* time, HCERTSTORE store,
                                      const char* usage, DWORD flags)
{
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    FILETIME at = time != nullptr ? *time : FILETIME{};
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, time != nullptr ? &at : nullptr, store, &para, flags, nullptr,
                                 &chain))
        return nullptr;
    return chain;
}

LONG WinVerifyTrustFile(const wchar_t* path, DWORD stateAction, DWORD providerFlags, HANDLE* state)
{
    if (state) *state = nullptr;
    return CallWinVerifyTrust(path, stateAction, providerFlags, state);
}

LONG VerifyPrimarySignerChain(const wchar_t* path)
{
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr))
        return TRUST_E_NOSIGNATURE;
    LONG result = TRUST_E_NOSIGNATURE;
    PCCERT_CONTEXT certificate = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    DWORD size = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) && size > 0) {
        std::vector<BYTE> info(size);
        if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
            certificate = CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                             reinterpret_cast<PCERT_INFO>(info.data()));
    }
    if (certificate) {
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof(para);
        if (CertGetCertificateChain(nullptr, certificate, nullptr, store, &para, 0, nullptr, &chain)) {
            const DWORD tolerated = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
                                    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
            const DWORD errors = chain->TrustStatus.dwErrorStatus & ~tolerated;
            result = errors == 0 ? 0
                     : (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) ? CERT_E_UNTRUSTEDROOT
                                                                : CERT_E_CHAINING;
            CertFreeCertificateChain(chain);
        }
        CertFreeCertificateContext(certificate);
    }
    CertCloseStore(store, 0);
    CryptMsgClose(message);
    return result;
}

void CloseWinVerifyTrustState(const wchar_t* path, HANDLE& state)
{
    if (state == nullptr) return;
    CallWinVerifyTrust(path, WTD_STATEACTION_CLOSE, 0, &state);
    state = nullptr;
}

bool VerifyAuthenticodeTimestampPolicyWith(ChainPolicyFunction platformPolicy, PCCERT_CHAIN_CONTEXT chain,
                                           DWORD* policyError)
{
    if (platformPolicy == nullptr || chain == nullptr || policyError == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *policyError = 0;

    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    SetLastError(0);
    if (platformPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain, &para, &status)) {
        *policyError = status.dwError;
        return true;
    }
    const DWORD error = GetLastError();
    if (!IsMissingOnPlatform(error)) {
        SetLastError(error);
        return false;
    }

    // The time-stamp policy adds nothing to the Authenticode policy but the chain checks
    // themselves, so on a chain built without any error the Authenticode policy gives its answer.
    CERT_CHAIN_POLICY_PARA fallbackPara = {};
    fallbackPara.cbSize = sizeof(fallbackPara);
    CERT_CHAIN_POLICY_STATUS fallbackStatus = {};
    fallbackStatus.cbSize = sizeof(fallbackStatus);
    if (!platformPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &fallbackPara, &fallbackStatus))
        return false;
    *policyError = fallbackStatus.dwError;
    // Some platforms pass an incomplete chain here; a chain with errors never passes.
    if (chain->TrustStatus.dwErrorStatus != 0 && *policyError == 0)
        *policyError = static_cast<DWORD>(CERT_E_CHAINING);
    return true;
}

bool VerifyAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain, DWORD* policyError)
{
    return VerifyAuthenticodeTimestampPolicyWith(&CertVerifyCertificateChainPolicy, chain, policyError);
}

} // namespace internal
} // namespace Lumetra
