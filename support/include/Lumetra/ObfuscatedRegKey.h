// Registry key handle whose values are never stored in the clear: every value, whatever its type,
// is written as one REG_BINARY "OVRG" record (32-byte header with an MD5 digest, then the value's
// bytes enciphered under the registry key text). All typed operations of CRegKey work unchanged.
#pragma once
#include "Lumetra/RegKey.h"

#include <vector>

namespace Lumetra {

class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
public:
    static constexpr DWORD kRecordHeaderSize = 32;

    // Deciphers the record and hands the value back in its caller form: REG_SZ and REG_MULTI_SZ
    // as UTF-16 (sizes in bytes), everything else as the bytes that were written.
    LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size) override;
    // Stores REG_SZ and REG_MULTI_SZ as UTF-8 inside the record, other types byte for byte.
    LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size) override;

    // Builds a record of length + 32 bytes into a buffer of the given capacity.
    static LONG PackRecord(const void* data, DWORD length, DWORD valueType, BYTE* record, DWORD capacity);
    // Checks a record and deciphers its data. length: capacity in, data length out; without a
    // length pointer only the type is produced.
    static LONG UnpackRecord(const BYTE* record, DWORD recordSize, DWORD* type, void* data, DWORD* length);
    // Reads the raw registry value of that name and unpacks it.
    LONG ReadRecord(LPCWSTR name, void* data, DWORD* length, DWORD* type);

private:
    LONG ReadRawRecord(LPCWSTR name, std::vector<BYTE>& record);
};

class CObfuscatedRegKey : public CRegKey {
public:
    CObfuscatedRegKey();
    ~CObfuscatedRegKey() override;
};

} // namespace Lumetra
