// Code trust: decides whether a DLL, or the module that holds a caller's code, carries an
// Authenticode signature of an accepted publisher under an accepted root.
// Results are Win32 codes: 0 trusted, 5 (ERROR_ACCESS_DENIED) not trusted, 87 bad argument.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <wincrypt.h>

namespace Lumetra {

// Trust lists as handed to the checks:
//  org   - null-terminated array of accepted signer names (null: any name);
//  sha   - shaCount pointers to 20-byte SHA-1 root thumbprints (null or 0: any root; a null
//          entry never matches);
//  ser   - null-terminated array of refused certificate serials as hexadecimal text, most
//          significant byte first (null or empty: nobody refused).
using TrustNameList = const wchar_t* const*;
using TrustThumbprintList = const BYTE* const*;

DWORD CheckFileTrust(const wchar_t* path);
DWORD CheckCallerModuleTrust(const void* address);

// Version of the trust data compiled into the library.
constexpr DWORD kBuiltInTrustDataVersion = 5;

// The record filled by the outside validation service.
struct ValidationRecord {
    DWORD statusFlags;
    DWORD capabilityFlags;
};

// Flags passed to and answered by the outside validation service.
namespace ValidationFlags {
constexpr DWORD kRequestLegacy = 4;        // platform core below 1505
constexpr DWORD kRequestCurrent = 512;     // platform core 1505 and later
constexpr DWORD kStatusTrusted = 2;
constexpr DWORD kCapabilityLegacy = 1;
constexpr DWORD kCapabilityCurrent = 8;
} // namespace ValidationFlags

// The outside validation interface as far as this library uses it: only slot 5 is called,
// and its return value carries no verdict.
struct IKvlValidationControl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD flags, ValidationRecord* record) = 0;
};

class CTrustVerifier {
public:
    // The process-wide verifier, created on first use.
    static CTrustVerifier& Instance();

    // Reads the platform-core registration and asks for the outside validation interface.
    // Public so that a fresh verifier can be built over changed registration; the product
    // uses Instance().
    CTrustVerifier();
    CTrustVerifier(const CTrustVerifier&) = delete;
    CTrustVerifier& operator=(const CTrustVerifier&) = delete;

    DWORD CheckFile(const wchar_t* path);
    DWORD AskValidationService(const wchar_t* path);

    // 0 without platform core, 1504 when its version does not qualify, else major*100+minor.
    DWORD PlatformCoreVersion() const { return m_platformCoreVersion; }
    IKvlValidationControl* ValidationInterface() const { return m_validation; }
    // The flags AskValidationService passes for this platform core version.
    DWORD ValidationRequestFlags() const;

private:
    DWORD m_platformCoreVersion = 0;
    IKvlValidationControl* m_validation = nullptr;
};

// 1 trusted, 0 not. VerifyFileOrCabinet also refreshes the trusted list from a ".cab" file.
int VerifyFileOrCabinet(const wchar_t* path, DWORD dataVersion, TrustNameList org, TrustThumbprintList sha,
                        DWORD shaCount, TrustNameList ser);
int VerifyWithTrustedList(const wchar_t* path, DWORD dataVersion, TrustNameList org, TrustThumbprintList sha,
                          DWORD shaCount, TrustNameList ser);
int VerifyAuthenticodePublisher(const wchar_t* path, TrustNameList org, TrustThumbprintList sha, DWORD shaCount,
                                TrustNameList ser);

// Full path (260 characters) of the module of this process that contains the address.
DWORD GetModuleOfAddress(const void* address, wchar_t* path);

// The platform core's install folder ("szInstallDir32"/"szInstallDir64") with the file name
// appended, cut to the capacity (in characters).
bool GetHalvarInstallDir(bool is32, const wchar_t* fileName, wchar_t* buffer, DWORD capacity);

} // namespace Lumetra

// Loads the named DLL after an Authenticode check and asks its export "NotComDllGetInterface"
// for the named interface. A plain file name is looked for in the platform core's install folder
// (or the current directory), then beside the given module (null: the executable).
DWORD NotComDllGetInterface(const wchar_t* dllName, const char* interfaceName, void** out, HMODULE module);
