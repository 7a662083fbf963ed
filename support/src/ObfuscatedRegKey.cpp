#include "Lumetra/ObfuscatedRegKey.h"

#include "Lumetra/ValueCipher.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

namespace Lumetra {

namespace {

constexpr DWORD kHeader = CObfuscatedRegKeyImpl::kRecordHeaderSize;
constexpr DWORD kVersionOffset = 4;
constexpr DWORD kLengthOffset = 8;
constexpr DWORD kTypeOffset = 12;
constexpr DWORD kDigestOffset = 16;
constexpr DWORD kDigestSize = 16;
constexpr BYTE kMagic[4] = {'O', 'V', 'R', 'G'};
constexpr DWORD kRecordVersion = 1;
constexpr DWORD kFirstReadSize = 256;

// Every record gets its own cipher: the keystream and chain run on with each byte.
class RecordCipher : public CValueCipher {
public:
    RecordCipher() : CValueCipher(g_pszRegistryValueKey, static_cast<int>(std::strlen(g_pszRegistryValueKey)), 1) {}
};

void PutU32(BYTE* at, DWORD value)
{
    for (int n = 0; n < 4; ++n) at[n] = static_cast<BYTE>(value >> (8 * n));
}

DWORD GetU32(const BYTE* at)
{
    return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 | static_cast<DWORD>(at[2]) << 16 |
           static_cast<DWORD>(at[3]) << 24;
}

LONG LastErrorOr(LONG fallback)
{
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : fallback;
}

// Value names go to the registry narrowed with the thread's ANSI code page: that is how the
// records have always been named, and other readers look them up the same way.
class AnsiName {
public:
    LONG Convert(LPCWSTR name)
    {
        if (!name) return ERROR_SUCCESS;
        int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return LastErrorOr(ERROR_INVALID_PARAMETER);
        m_text.assign(static_cast<size_t>(bytes), '\0');
        if (WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, &m_text[0], bytes, nullptr, nullptr) <= 0)
            return LastErrorOr(ERROR_INVALID_PARAMETER);
        m_null = false;
        return ERROR_SUCCESS;
    }
    const char* Get() const { return m_null ? nullptr : m_text.c_str(); }

private:
    std::string m_text;
    bool m_null = true;
};

// UTF-16 -> UTF-8 of exactly `chars` characters (no terminator), appended to `out`.
LONG AppendUtf8(const wchar_t* text, size_t chars, std::string& out)
{
    if (chars == 0) return ERROR_SUCCESS;
    if (chars > INT_MAX) return ERROR_INVALID_PARAMETER;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return ERROR_INVALID_PARAMETER;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(bytes));
    if (WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), &out[at], bytes, nullptr, nullptr) <= 0)
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    return ERROR_SUCCESS;
}

// The caller's bytes in the form the record keeps. Text is read no further than the size the
// caller gave, so a list or string that lacks its terminator cannot run past the buffer.
LONG EncodeValue(DWORD type, const void* data, ULONG size, std::string& out)
{
    if (type == REG_SZ) {
        const wchar_t* text = static_cast<const wchar_t*>(data);
        LONG result = AppendUtf8(text, wcsnlen(text, size / sizeof(wchar_t)), out);
        if (result != ERROR_SUCCESS) return result;
        out.push_back('\0');
        return ERROR_SUCCESS;
    }
    if (type == REG_MULTI_SZ) {
        const wchar_t* list = static_cast<const wchar_t*>(data);
        const size_t total = size / sizeof(wchar_t);
        for (size_t at = 0; at < total && list[at] != L'\0';) {
            size_t chars = wcsnlen(list + at, total - at);
            LONG result = AppendUtf8(list + at, chars, out);
            if (result != ERROR_SUCCESS) return result;
            out.push_back('\0');
            at += chars + 1;
        }
        out.push_back('\0');
        return ERROR_SUCCESS;
    }
    out.assign(static_cast<const char*>(data), size);
    return ERROR_SUCCESS;
}

// UTF-8 string of `bytes` bytes (terminator included) -> UTF-16 characters needed or written.
int Utf8ToWide(const BYTE* text, size_t bytes, wchar_t* out, int capacity)
{
    return MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text), static_cast<int>(bytes), out, capacity);
}

LONG DecodeString(const std::vector<BYTE>& plain, void* data, ULONG* size, ULONG capacityBytes)
{
    const BYTE* end = static_cast<const BYTE*>(std::memchr(plain.data(), 0, plain.size()));
    if (!end) return ERROR_INVALID_DATA;   // a stored text always carries its terminator
    const size_t bytes = static_cast<size_t>(end - plain.data()) + 1;
    int needed = Utf8ToWide(plain.data(), bytes, nullptr, 0);
    if (needed <= 0) return LastErrorOr(ERROR_INVALID_DATA);
    const ULONG capacity = static_cast<ULONG>(std::min<ULONG>(capacityBytes / sizeof(wchar_t), INT_MAX));
    *size = static_cast<ULONG>(needed) * sizeof(wchar_t);
    if (!data) return ERROR_SUCCESS;
    if (static_cast<ULONG>(needed) > capacity) return ERROR_MORE_DATA;
    int written = Utf8ToWide(plain.data(), bytes, static_cast<wchar_t*>(data), static_cast<int>(capacity));
    if (written <= 0) return LastErrorOr(ERROR_INVALID_DATA);
    *size = static_cast<ULONG>(written) * sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG DecodeMultiString(const std::vector<BYTE>& plain, void* data, ULONG* size, ULONG capacityBytes)
{
    struct Part {
        size_t at;
        size_t bytes;
        int chars;
    };
    std::vector<Part> parts;
    size_t neededChars = 1;   // the list's final terminator
    for (size_t at = 0; at < plain.size() && plain[at] != 0;) {
        const BYTE* end = static_cast<const BYTE*>(std::memchr(plain.data() + at, 0, plain.size() - at));
        if (!end) return ERROR_INVALID_DATA;
        const size_t bytes = static_cast<size_t>(end - (plain.data() + at)) + 1;
        int chars = Utf8ToWide(plain.data() + at, bytes, nullptr, 0);
        if (chars <= 0) return LastErrorOr(ERROR_INVALID_DATA);
        parts.push_back({at, bytes, chars});
        neededChars += static_cast<size_t>(chars);
        at += bytes;
    }
    if (neededChars > ULONG_MAX / sizeof(wchar_t)) return ERROR_INVALID_DATA;
    *size = static_cast<ULONG>(neededChars * sizeof(wchar_t));
    if (!data) return ERROR_SUCCESS;
    const size_t capacity = capacityBytes / sizeof(wchar_t);
    if (neededChars > capacity) {
        // Never hand back a list cut off without its terminators.
        std::memset(data, 0, capacityBytes);
        return ERROR_MORE_DATA;
    }
    wchar_t* out = static_cast<wchar_t*>(data);
    for (const Part& part : parts) {
        if (Utf8ToWide(plain.data() + part.at, part.bytes, out, part.chars) != part.chars)
            return LastErrorOr(ERROR_INVALID_DATA);
        out += part.chars;
    }
    *out = L'\0';
    return ERROR_SUCCESS;
}

} // namespace

LONG CObfuscatedRegKeyImpl::PackRecord(const void* data, DWORD length, DWORD valueType, BYTE* record,
                                       DWORD capacity)
{
    if (static_cast<ULONGLONG>(capacity) < static_cast<ULONGLONG>(length) + kHeader) return ERROR_INSUFFICIENT_BUFFER;
    if (!record) return ERROR_INVALID_PARAMETER;
    RecordCipher cipher;
    if (!cipher.Encipher(data, record + kHeader, length)) return ERROR_ENCRYPTION_FAILED;
    std::memcpy(record, kMagic, sizeof kMagic);
    PutU32(record + kVersionOffset, kRecordVersion);
    PutU32(record + kLengthOffset, length);
    PutU32(record + kTypeOffset, valueType);
    std::memset(record + kDigestOffset, 0, kDigestSize);
    unsigned char digest[kDigestSize];
    if (ComputeMD5(record, length + kHeader, digest, kDigestSize) != 0) return ERROR_ENCRYPTION_FAILED;
    std::memcpy(record + kDigestOffset, digest, kDigestSize);
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::UnpackRecord(const BYTE* record, DWORD recordSize, DWORD* type, void* data,
                                         DWORD* length)
{
    if (!record || recordSize < kHeader) return ERROR_INVALID_DATA;

    // The digest was taken while its own field held zeros.
    static const unsigned char zeros[kDigestSize] = {};
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, record, kDigestOffset);
    MD5Update(&context, zeros, kDigestSize);
    MD5Update(&context, record + kHeader, recordSize - kHeader);
    MD5Final(&context);
    const DWORD dataLength = GetU32(record + kLengthOffset);
    if (std::memcmp(context.digest, record + kDigestOffset, kDigestSize) != 0 ||
        static_cast<ULONGLONG>(dataLength) + kHeader != recordSize || std::memcmp(record, kMagic, sizeof kMagic) != 0)
        return ERROR_INVALID_DATA;

    if (type) *type = GetU32(record + kTypeOffset);
    if (length) {
        const DWORD capacity = *length;
        *length = dataLength;
        if (data) {
            if (dataLength > capacity) return ERROR_MORE_DATA;
            RecordCipher cipher;
            if (dataLength > 0 && !cipher.Decipher(record + kHeader, data, dataLength)) return ERROR_DECRYPTION_FAILED;
        }
    }
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::ReadRawRecord(LPCWSTR name, std::vector<BYTE>& record)
{
    AnsiName ansi;
    LONG result = ansi.Convert(name);
    if (result != ERROR_SUCCESS) return result;
    try {
        record.assign(kFirstReadSize, 0);
        DWORD type = REG_NONE;
        DWORD size = kFirstReadSize;
        result = RegQueryValueExA(m_key, ansi.Get(), nullptr, &type, record.data(), &size);
        if (result == ERROR_MORE_DATA) {
            record.assign(size, 0);
            result = RegQueryValueExA(m_key, ansi.Get(), nullptr, &type, record.data(), &size);
        }
        if (result != ERROR_SUCCESS) return result;
        if (type != REG_BINARY) return ERROR_INVALID_DATA;
        record.resize(size);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::ReadRecord(LPCWSTR name, void* data, DWORD* length, DWORD* type)
{
    std::vector<BYTE> record;
    LONG result = ReadRawRecord(name, record);
    if (result != ERROR_SUCCESS) return result;
    return UnpackRecord(record.data(), static_cast<DWORD>(record.size()), type, data, length);
}

LONG CObfuscatedRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size)
{
    if (!type && !size) return ERROR_INVALID_PARAMETER;
    const ULONG capacity = size ? *size : 0;

    // One read serves both the header and the data, so they always belong to the same record.
    std::vector<BYTE> record;
    LONG result = ReadRawRecord(name, record);
    if (result != ERROR_SUCCESS) return result;
    DWORD storedType = REG_NONE;
    DWORD length = 0;
    result = UnpackRecord(record.data(), static_cast<DWORD>(record.size()), &storedType, nullptr, &length);
    if (result != ERROR_SUCCESS) return result;
    if (type) *type = storedType;
    if (!size) return ERROR_SUCCESS;

    std::vector<BYTE> plain;
    try {
        plain.assign(length, 0);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    result = UnpackRecord(record.data(), static_cast<DWORD>(record.size()), nullptr, plain.data(), &length);
    if (result != ERROR_SUCCESS) return result;

    try {
        if (storedType == REG_SZ) return DecodeString(plain, data, size, capacity);
        if (storedType == REG_MULTI_SZ) return DecodeMultiString(plain, data, size, capacity);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    *size = length;
    if (!data) return ERROR_SUCCESS;
    if (length > capacity) return ERROR_MORE_DATA;
    if (length > 0) std::memcpy(data, plain.data(), length);
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size)
{
    if (!data || size == 0) return ERROR_INVALID_PARAMETER;
    std::string encoded;
    try {
        LONG result = EncodeValue(type, data, size, encoded);
        if (result != ERROR_SUCCESS) return result;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    if (encoded.size() > MAXDWORD - kHeader) return ERROR_INVALID_PARAMETER;
    const DWORD length = static_cast<DWORD>(encoded.size());

    std::vector<BYTE> record;
    try {
        record.assign(static_cast<size_t>(length) + kHeader, 0);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    LONG result = PackRecord(encoded.data(), length, type, record.data(), static_cast<DWORD>(record.size()));
    if (result != ERROR_SUCCESS) return result;

    AnsiName ansi;
    result = ansi.Convert(name);
    if (result != ERROR_SUCCESS) return result;
    return RegSetValueExA(m_key, ansi.Get(), 0, REG_BINARY, record.data(), static_cast<DWORD>(record.size()));
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

CObfuscatedRegKey::~CObfuscatedRegKey() = default;

} // namespace Lumetra
