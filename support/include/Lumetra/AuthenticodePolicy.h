// Authenticode steps that some platforms do not provide in full, behind one call each so that
// every signature check of the product gives the same answer everywhere.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <string>
#include <vector>

namespace Lumetra {
namespace internal {

// How a platform answers for a policy, decoder or call that it does not have.
bool IsMissingOnPlatform(DWORD error);

// Chain of a certificate for one requested usage (which a certificate that names usages must
// name), judged at *time (null: now), with store as additional store. Null when none is built.
PCCERT_CHAIN_CONTEXT GetChainForUsage(PCCERT_CONTEXT certificate, const FILETIME* time, HCERTSTORE store,
                                      const char* usage, DWORD flags);

// Evaluates the Authenticode time-stamp chain policy on a built chain.
// Returns true when the policy could be evaluated; *policyError then holds the policy's status
// (0 = the chain passes). Returns false (last error set) when it could not be evaluated.
// The platform's CERT_CHAIN_POLICY_AUTHENTICODE_TS answer is used as is wherever the platform
// implements it. Only where the platform reports that policy as missing is the answer taken from
// CERT_CHAIN_POLICY_AUTHENTICODE, and only for a chain whose trust status is free of errors; a
// chain with any error status is refused with a non-zero *policyError.
bool VerifyAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain, DWORD* policyError);

// The same with the platform policy call supplied by the caller (lets tests drive both branches).
using ChainPolicyFunction = BOOL(WINAPI*)(LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA,
                                          PCERT_CHAIN_POLICY_STATUS);
bool VerifyAuthenticodeTimestampPolicyWith(ChainPolicyFunction platformPolicy, PCCERT_CHAIN_CONTEXT chain,
                                           DWORD* policyError);

// WinVerifyTrust (generic verify v2) on a file, without UI or revocation checks. With a state
// action of WTD_STATEACTION_VERIFY the state comes back through *state; close it with
// CloseWinVerifyTrustState.
LONG WinVerifyTrustFile(const wchar_t* path, DWORD stateAction, DWORD providerFlags, HANDLE* state = nullptr);
void CloseWinVerifyTrustState(const wchar_t* path, HANDLE& state);

// The chain of a file's primary signer, for use after WinVerifyTrust has accepted the file:
// where that call checks only the signature's integrity (not whom it chains to), this holds the
// answer to what it would say of the chain. 0 when the chain ends in a trusted root with no error
// other than time validity or unknown revocation; else a CERT_E_ / TRUST_E_ code.
LONG VerifyPrimarySignerChain(const wchar_t* path);

// Reads a whole file of at most maxSize bytes (shared with every other reader and writer).
bool ReadWholeFile(const wchar_t* path, LONGLONG maxSize, std::vector<BYTE>& content);

// Signed script text ("// SIG // " comment lines carrying a base64 PKCS #7 block).
// Where the platform cannot open such a file as a signed object, this opens the embedded
// signature itself: *message and *store receive the signed message and its certificate store
// (the caller closes both). Returns false, with *message and *store null, for a file without a
// well-formed signature block.
bool OpenScriptSignature(const wchar_t* path, HCRYPTMSG* message, HCERTSTORE* store);

// Checks a script opened with OpenScriptSignature as the platform's trust provider would check
// its integrity: signer 0's signature over the message verifies with its certificate, and the
// digest carried in the signed indirect data equals the digest of the script text before the
// signature block. Returns 0 when both hold, else an error code (TRUST_E_BAD_DIGEST for an
// altered script, TRUST_E_NOSIGNATURE for a missing or malformed block).
LONG VerifyScriptIntegrity(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store);

// Checks signer 0 of an Authenticode message as the platform's trust provider checks a
// subject's integrity: the signer's signature verifies with its certificate, the signed message
// digest commits to the content, and the digest in the content's indirect data equals the
// digest of the subject, which digestOf computes with the algorithm named by its OID.
// 0 when all hold, else TRUST_E_BAD_DIGEST or TRUST_E_NOSIGNATURE.
// One signer's own integrity, as the platform's trust provider checks the primary signer's:
// signer signerIndex's signature verifies with its certificate, and its signed message digest
// commits to the message's content. 0 when both hold, else TRUST_E_BAD_DIGEST or
// TRUST_E_NOSIGNATURE.
LONG VerifySignerSignature(HCRYPTMSG message, HCERTSTORE store, DWORD signerIndex);
using SubjectDigestFunction = std::function<bool(const char* algorithmOid, std::vector<BYTE>* digest)>;
LONG VerifyIndirectDataDigest(HCRYPTMSG message, HCERTSTORE store, const SubjectDigestFunction& digestOf);
bool ComputeDigest(const char* algorithmOid, const BYTE* data, size_t size, std::vector<BYTE>* digest);
// True when the signer's signed "message digest" attribute is the digest of exactly these bytes.
bool MessageDigestMatches(const CMSG_SIGNER_INFO& signer, const BYTE* content, size_t size);

// Signing time of a signer, from its counter-signature or RFC 3161 time stamp (the forms
// allowed), for building the signer's chain at that time. A stamp gives the time only when it
// is genuine: its signature verifies, it covers this signer's signature, and its signer chains
// at the stamp's time to a trusted root for time stamping. Any other stamp is ignored (logged)
// and the time stays zero, as for a signer without one. Win32 or crypto error code of reading
// the stamp, 0 otherwise.
enum TimeStampForm : DWORD { kCounterSignatureStamp = 1, kTimeStampToken = 2, kAnyTimeStamp = 3 };
DWORD GetSignerSigningTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* signingTime,
                           DWORD forms = kAnyTimeStamp);

// Splits a script file into the signed text (everything before the signature block) and the
// decoded signature. False when the file has no complete signature block.
bool SplitSignedScript(const std::vector<BYTE>& file, std::vector<BYTE>* signedText,
                       std::vector<BYTE>* signature);

// An embedded signature of a PE file with more than one signer, for platforms that cannot
// decode such a message as a whole: one message per signer, in signer order, each carrying the
// signature's content and all its certificates. Returns false (nothing opened) for a file
// without such a signature.
struct SignerMessage {
    HCRYPTMSG message = nullptr;
    HCERTSTORE store = nullptr;
};
bool OpenSignaturePerSigner(const wchar_t* path, std::vector<SignerMessage>* messages);
// The integrity check of a PE file for one such message (in place of the platform's, which
// cannot read the file's signature either): the image digest computed as Authenticode defines
// it must equal the one signed.
LONG VerifyPeImageIntegrity(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store);
void CloseSignerMessages(std::vector<SignerMessage>* messages);
// Closes the messages when the scope ends, also on an exception.
struct SignerMessagesCloser {
    std::vector<SignerMessage>& messages;
    ~SignerMessagesCloser() { CloseSignerMessages(&messages); }
};

// Splits an encoded PKCS #7 SignedData (ContentInfo) into one ContentInfo per signer.
bool SplitSignedDataBySigner(const std::vector<BYTE>& contentInfo, std::vector<std::vector<BYTE>>* perSigner);

} // namespace internal
} // namespace Lumetra
