// Access to the files that the build signed with its test PKI (<exe folder>\signed\) and
// to the PKI's names and thumbprints.
//
// Signed files (see tests/doubles/CMakeLists.txt): sample_*.dll, ovgate_*\Ovgate.dll,
// lognex_*\Lognex.dll, trusted_v*.js, *.cab, test_root.cer, trust.env.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace TestPki {

// <folder of the running executable>\signed
std::wstring SignedFolder();
// SignedFolder() + "\" + name; name may hold a subfolder (L"lognex_signed\\Lognex.dll").
std::wstring SignedFile(const std::wstring& name);

// A value of the PKI's trust.env (PUBLISHER_NAME, HOLDING_NAME, OTHER_PUBLISHER_NAME,
// CASE_PUBLISHER_NAME, LISTED_SERIAL, ROOT_SHA1, SECOND_ROOT_SHA1, LIST_SIGNER_SHA1,
// PUBLISHER_SHA1, HOLDING_SHA1, OTHER_SHA1, TSA_SHA1, SIGNAL_GUID); empty when missing.
std::wstring Value(const std::wstring& key);
// A hexadecimal value of trust.env as bytes (e.g. Thumbprint(L"ROOT_SHA1"): 20 bytes);
// empty when missing or malformed.
std::vector<BYTE> Thumbprint(const std::wstring& key);

// Puts the test root certificate into the LOCAL_MACHINE "Root" store of the prefix. Call
// it before the process first builds a certificate chain: the chain engine reads the
// store once. Idempotent; true when the root is in the store.
bool TrustTestRoot();

} // namespace TestPki
