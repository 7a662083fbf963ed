#include "registry/CAUtils.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/RegKey.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <exception>
#include <mutex>

namespace {

constexpr wchar_t kSource[] = L"CAUtils";
// Stands in for the data of enciphered values in log lines: they are enciphered to stay private.
constexpr wchar_t kHiddenValue[] = L"<enciphered>";
// A value that grows between the size query and the read is queried again, a few times at most.
constexpr int kReadAttempts = 8;

struct Redirection {
    bool active = false;
    HKEY root = nullptr;
    std::wstring prefix;
};

std::mutex& RedirectionLock()
{
    static std::mutex lock;
    return lock;
}

Redirection& CurrentRedirection()
{
    static Redirection redirection;
    return redirection;
}

DWORD LastErrorOr(DWORD fallback)
{
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

// 122 from any step reaches the caller as 234, as the registry itself reports a short buffer.
DWORD Reported(DWORD result) { return result == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : result; }

template <typename Body>
DWORD Guarded(Body body)
{
    try {
        return Reported(body());
    } catch (const std::exception&) {
        return ERROR_OUTOFMEMORY;
    }
}

// Shared shape of the two conversions: convert(out, capacity) is the platform call.
template <typename Out, typename Convert>
DWORD ConvertText(bool haveText, Out* buffer, DWORD* size, int length, Convert convert)
{
    if (!haveText || !size) return ERROR_INVALID_PARAMETER;
    if (length == 0) {
        *size = 0;
        return ERROR_SUCCESS;
    }
    const int needed = convert(nullptr, 0);
    if (needed <= 0) {
        *size = 0;
        return LastErrorOr(ERROR_NO_UNICODE_TRANSLATION);
    }
    if (!buffer) {
        *size = static_cast<DWORD>(needed);
        return ERROR_SUCCESS;
    }
    if (*size < static_cast<DWORD>(needed)) {
        *size = static_cast<DWORD>(needed);
        return ERROR_MORE_DATA;
    }
    std::memset(buffer, 0, static_cast<size_t>(*size) * sizeof(Out));
    const int written = convert(buffer, static_cast<int>(std::min<DWORD>(*size, INT_MAX)));
    if (written <= 0) {
        *size = 0;
        return LastErrorOr(ERROR_NO_UNICODE_TRANSLATION);
    }
    *size = static_cast<DWORD>(written);
    return ERROR_SUCCESS;
}

DWORD ConvertTo(const wchar_t* text, char* buffer, DWORD* size, int length)
{
    return WideToAnsi(CP_THREAD_ACP, text, buffer, size, length);
}

DWORD ConvertTo(const char* text, wchar_t* buffer, DWORD* size, int length)
{
    return AnsiToWide(CP_THREAD_ACP, text, buffer, size, length);
}

// Plain text is already in its stored form: the registry keeps UTF-16 whichever functions wrote it.
DWORD AppendConverted(const wchar_t* text, size_t length, std::wstring& out)
{
    out.append(text, length);
    return ERROR_SUCCESS;
}

// Between UTF-16 and the thread's ANSI code page: exactly `length` units, no terminator added.
template <typename In, typename Out>
DWORD AppendConverted(const In* text, size_t length, std::basic_string<Out>& out)
{
    if (length == 0) return ERROR_SUCCESS;
    if (length > INT_MAX) return ERROR_INVALID_PARAMETER;
    DWORD size = 0;
    DWORD result = ConvertTo(text, static_cast<Out*>(nullptr), &size, static_cast<int>(length));
    if (result != ERROR_SUCCESS) return result;
    const size_t at = out.size();
    out.resize(at + size);
    result = ConvertTo(text, &out[at], &size, static_cast<int>(length));
    out.resize(at + size);
    return result;
}

// One string (REG_SZ, REG_EXPAND_SZ) or each string of a list (REG_MULTI_SZ), each with its
// terminator, a list with its final one. Text is taken no further than `total` units, up to its
// first NUL: a value need not end in one, and an unterminated one cannot run past its buffer.
template <typename In, typename Out>
DWORD ConvertStrings(DWORD type, const In* text, size_t total, std::basic_string<Out>& out)
{
    size_t at = 0;
    do {
        const size_t length = static_cast<size_t>(std::find(text + at, text + total, In()) - (text + at));
        DWORD result = AppendConverted(text + at, length, out);
        if (result != ERROR_SUCCESS) return result;
        out.push_back(Out());
        at += length + 1;
    } while (type == REG_MULTI_SZ && at < total && text[at] != In());
    if (type == REG_MULTI_SZ) out.push_back(Out());
    return ERROR_SUCCESS;
}

// A path or name for the registry functions; empty text goes as null (the root key itself, the
// key's default value). Wide, so that no code page can turn one name into another; a name that
// narrows without loss reaches the same key or value as through the ANSI functions.
const wchar_t* NameArgument(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

// One value's key, opened (or created) at its redirected location, and the value's name.
class ValueLocation {
public:
    DWORD Open(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, REGSAM access, bool create)
    {
        std::wstring path = keyPath;
        ResolveRegistryLocation(root, path);
        m_name = valueName;
        HKEY opened = nullptr;
        DWORD result = static_cast<DWORD>(
            create ? RegCreateKeyExW(root, NameArgument(path), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                     &opened, nullptr)
                   : RegOpenKeyExW(root, NameArgument(path), 0, access, &opened));
        if (result == ERROR_SUCCESS) m_key.Attach(opened);
        return result;
    }
    HKEY Key() const { return m_key.GetHandle(); }
    const wchar_t* Name() const { return NameArgument(m_name); }

private:
    Lumetra::CRegKey m_key;
    std::wstring m_name;
};

// Which values hold text. Plain text (REG_EXPAND_SZ too) is stored as UTF-16; a record holds
// REG_SZ and REG_MULTI_SZ in the thread's ANSI code page and keeps any other type as the
// caller's bytes, as the support library does.
bool IsText(DWORD type, DWORD options)
{
    return type == REG_SZ || type == REG_MULTI_SZ || (type == REG_EXPAND_SZ && options == kRegistryPlainValue);
}

DWORD ToStoredForm(DWORD type, const void* data, DWORD size, DWORD options, std::vector<BYTE>& out)
{
    const BYTE* bytes = static_cast<const BYTE*>(data);
    if (!IsText(type, options)) {
        out.assign(bytes, bytes + size);
        return ERROR_SUCCESS;
    }
    const wchar_t* text = static_cast<const wchar_t*>(data);
    const size_t units = size / sizeof(wchar_t);
    if (options == kRegistryEncipheredValue) {
        std::string narrow;
        DWORD result = ConvertStrings(type, text, units, narrow);
        out.assign(narrow.begin(), narrow.end());
        return result;
    }
    std::wstring wide;
    DWORD result = ConvertStrings(type, text, units, wide);
    const BYTE* stored = reinterpret_cast<const BYTE*>(wide.data());
    out.assign(stored, stored + wide.size() * sizeof(wchar_t));
    return result;
}

// 234 when a record of this data would pass what its readers take: kRegistryLargeStringLimit
// bytes of data, and of text as it comes back in UTF-16.
DWORD CheckReadBack(DWORD type, const std::vector<BYTE>& stored)
{
    if (stored.size() > kRegistryLargeStringLimit) return ERROR_MORE_DATA;
    if (!IsText(type, kRegistryEncipheredValue)) return ERROR_SUCCESS;
    DWORD units = 0;
    DWORD result = AnsiToWide(CP_THREAD_ACP, reinterpret_cast<const char*>(stored.data()), nullptr, &units,
                              static_cast<int>(stored.size()));
    if (result != ERROR_SUCCESS) return result;
    return units > kRegistryLargeStringLimit / sizeof(wchar_t) ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

// What a reader takes, known before any data is read: a plain value of another type is refused
// with 13, and one larger than `bytes` in its stored form (0: any size) with 234.
struct ReadLimit {
    DWORD bytes = 0;
    bool (*takesType)(DWORD type) = nullptr;
};

bool IsRecordType(DWORD type) { return type == REG_BINARY; }

// The size is asked first, so a value the reader refuses is never read; on 234 the query is
// repeated, so type and data always come from the same read.
DWORD QueryWhole(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& bytes, const ReadLimit& limit)
{
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        DWORD size = 0;
        LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
        if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
        if (limit.takesType && !limit.takesType(type)) return ERROR_INVALID_DATA;
        if (limit.bytes != 0 && size > limit.bytes) return ERROR_MORE_DATA;
        bytes.assign(std::max<DWORD>(size, 1), 0);
        result = RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
        bytes.resize(size);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

// Reads one value in its caller form: string types as UTF-16 bytes with terminator(s), other
// types as stored (deciphered when options is 1).
// limit: what the caller takes of the caller form (bytes, 0 for any size); a record may be
// longer by its header.
DWORD ReadValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD options, DWORD& type,
                std::vector<BYTE>& value, ReadLimit limit = ReadLimit())
{
    ValueLocation location;
    DWORD result = location.Open(root, keyPath, valueName, KEY_READ, false);
    if (result != ERROR_SUCCESS) return result;

    if (options == kRegistryEncipheredValue) {
        limit.takesType = &IsRecordType;
        if (limit.bytes != 0) limit.bytes += Lumetra::CObfuscatedRegKeyImpl::kRecordHeaderSize;
    }
    DWORD storedType = REG_NONE;
    std::vector<BYTE> stored;
    result = QueryWhole(location.Key(), location.Name(), storedType, stored, limit);
    if (result != ERROR_SUCCESS) return result;

    if (options == kRegistryEncipheredValue) {
        if (storedType != REG_BINARY) return ERROR_INVALID_DATA;
        const DWORD recordSize = static_cast<DWORD>(stored.size());
        DWORD length = 0;
        result = DecodeValueRecord(stored.data(), recordSize, &storedType, nullptr, &length);
        if (result != ERROR_SUCCESS) return result;
        std::vector<BYTE> plain(length, 0);
        result = DecodeValueRecord(stored.data(), recordSize, nullptr, plain.data(), &length);
        if (result != ERROR_SUCCESS) return result;
        stored.swap(plain);
    }
    type = storedType;
    if (!IsText(storedType, options)) {
        value.swap(stored);
        return ERROR_SUCCESS;
    }
    std::wstring text;
    if (options == kRegistryEncipheredValue) {
        result = ConvertStrings(storedType, reinterpret_cast<const char*>(stored.data()), stored.size(), text);
    } else {
        // An odd last byte is no character; the units are copied out as the bytes need not be aligned.
        std::wstring units(stored.size() / sizeof(wchar_t), L'\0');
        if (!units.empty()) std::memcpy(&units[0], stored.data(), units.size() * sizeof(wchar_t));
        result = ConvertStrings(storedType, units.data(), units.size(), text);
    }
    if (result != ERROR_SUCCESS) return result;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
    value.assign(bytes, bytes + text.size() * sizeof(wchar_t));
    return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// limit: largest UTF-16 byte count (terminator included) accepted, 0 for none.
DWORD ReadString(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value, DWORD options,
                 DWORD limit)
{
    value.clear();
    DWORD result = Guarded([&]() -> DWORD {
        DWORD type = REG_NONE;
        std::vector<BYTE> bytes;
        DWORD read = ReadValue(HKEY_LOCAL_MACHINE, keyPath, valueName, options, type, bytes, {limit, &IsStringType});
        if (read != ERROR_SUCCESS) return read;
        if (!IsStringType(type)) return ERROR_INVALID_DATA;
        const wchar_t* text = reinterpret_cast<const wchar_t*>(bytes.data());
        const size_t chars = wcsnlen(text, bytes.size() / sizeof(wchar_t));
        if (limit != 0 && (chars + 1) * sizeof(wchar_t) > limit) return ERROR_MORE_DATA;
        value.assign(text, chars);
        return ERROR_SUCCESS;
    });
    if (result == ERROR_SUCCESS && !value.empty()) {
        if (ETWLogging::IsLogLevelEnabled(1))
            ETWLogging::Log(1, kSource, L"StringValueFromRegistry", __LINE__, L"Reg key '%s', value: '%s'",
                            valueName.c_str(), options == kRegistryEncipheredValue ? kHiddenValue : value.c_str());
        return ERROR_SUCCESS;
    }
    value.clear();
    if (ETWLogging::IsLogLevelEnabled(1))
        ETWLogging::Log(1, kSource, L"StringValueFromRegistry", __LINE__,
                        L"Failure reading '%s' reg key. Error code: %lu", valueName.c_str(), result);
    return result;
}

} // namespace

void SetRegistryRedirection(HKEY root, const std::wstring& prefix)
{
    std::lock_guard<std::mutex> lock(RedirectionLock());
    Redirection& redirection = CurrentRedirection();
    redirection.active = true;
    redirection.root = root;
    redirection.prefix = prefix;
}

void ClearRegistryRedirection()
{
    std::lock_guard<std::mutex> lock(RedirectionLock());
    CurrentRedirection() = Redirection();
}

void ResolveRegistryLocation(HKEY& root, std::wstring& path)
{
    if (root != HKEY_LOCAL_MACHINE) return;
    std::lock_guard<std::mutex> lock(RedirectionLock());
    const Redirection& redirection = CurrentRedirection();
    if (!redirection.active) return;
    root = redirection.root;
    path = path.empty() ? redirection.prefix : redirection.prefix + L"\\" + path;
}

DWORD GetValueFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value, DWORD options)
{
    DWORD read = 0;
    DWORD result = Guarded([&]() -> DWORD {
        DWORD type = REG_NONE;
        std::vector<BYTE> bytes;
        DWORD status = ReadValue(HKEY_LOCAL_MACHINE, keyPath, valueName, options, type, bytes,
                                 {sizeof(DWORD), [](DWORD stored) { return stored == REG_DWORD; }});
        if (status != ERROR_SUCCESS) return status;
        if (type != REG_DWORD || bytes.size() != sizeof(DWORD)) return ERROR_INVALID_DATA;
        std::memcpy(&read, bytes.data(), sizeof read);
        return ERROR_SUCCESS;
    });
    if (result != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(1))
            ETWLogging::Log(1, kSource, L"GetValueFromRegistry", __LINE__,
                            L"Failure reading '%s' reg key. Error code: %lu", valueName.c_str(), result);
        return result;
    }
    if (ETWLogging::IsLogLevelEnabled(1)) {
        if (options == kRegistryEncipheredValue)
            ETWLogging::Log(1, kSource, L"GetValueFromRegistry", __LINE__, L"Reg key '%s', value: %s",
                            valueName.c_str(), kHiddenValue);
        else
            ETWLogging::Log(1, kSource, L"GetValueFromRegistry", __LINE__, L"Reg key '%s', value: %lu",
                            valueName.c_str(), read);
    }
    value = read;
    return ERROR_SUCCESS;
}

bool GetBoolFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, DWORD options, bool defaultValue)
{
    DWORD value = 0;
    if (GetValueFromRegistry(keyPath, valueName, value, options) != ERROR_SUCCESS) return defaultValue;
    return value != 0;
}

DWORD StringValueFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                              DWORD options, bool large)
{
    return ReadString(keyPath, valueName, value, options, large ? kRegistryLargeStringLimit : kRegistryStringLimit);
}

DWORD GetStringFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                            DWORD options)
{
    return StringValueFromRegistry(keyPath, valueName, value, options, false);
}

DWORD GetLargeStringFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                                 DWORD options)
{
    return StringValueFromRegistry(keyPath, valueName, value, options, true);
}

DWORD GetWholeStringFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                                 DWORD options)
{
    return ReadString(keyPath, valueName, value, options, 0);
}

DWORD SaveStringValueToRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring value,
                                DWORD options)
{
    // An empty text goes down with size 0: plainly an empty value, enciphered a refusal.
    const size_t bytes = value.empty() ? 0 : (value.size() + 1) * sizeof(wchar_t);
    DWORD result = bytes > MAXDWORD ? ERROR_INVALID_PARAMETER
                                    : WriteRegistryValue(HKEY_LOCAL_MACHINE, keyPath, valueName, REG_SZ,
                                                         value.c_str(), static_cast<DWORD>(bytes), options);
    if (result != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"SaveStringValueToRegistry", __LINE__, L"Error saving '%s' key to the registry",
                            valueName.c_str());
    } else if (ETWLogging::IsLogLevelEnabled(1)) {
        ETWLogging::Log(1, kSource, L"SaveStringValueToRegistry", __LINE__,
                        L"Registry key: '%s' is saved successfully to registry with value %s", valueName.c_str(),
                        options == kRegistryEncipheredValue ? kHiddenValue : value.c_str());
    }
    return result;
}

DWORD SaveValueToRegistry(const std::wstring& keyPath, const std::wstring& valueName, DWORD value, DWORD options)
{
    DWORD result = WriteRegistryValue(HKEY_LOCAL_MACHINE, keyPath, valueName, REG_DWORD, &value, sizeof value, options);
    if (result != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"SaveValueToRegistry", __LINE__,
                            L"Error saving '%s' key to the registry. Error returned: '%d'", valueName.c_str(),
                            static_cast<int>(result));
    } else if (ETWLogging::IsLogLevelEnabled(1)) {
        if (options == kRegistryEncipheredValue)
            ETWLogging::Log(1, kSource, L"SaveValueToRegistry", __LINE__,
                            L"Registry key: '%s' is saved successfully with value: '%s'", valueName.c_str(),
                            kHiddenValue);
        else
            ETWLogging::Log(1, kSource, L"SaveValueToRegistry", __LINE__,
                            L"Registry key: '%s' is saved successfully with value: '%lu'", valueName.c_str(), value);
    }
    return result;
}

DWORD ReadRegistryValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD* type,
                        void* buffer, DWORD* size, DWORD options)
{
    if ((options == kRegistryEncipheredValue && !type && !size) || (buffer && !size)) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> DWORD {
        DWORD storedType = REG_NONE;
        std::vector<BYTE> value;
        DWORD result = ReadValue(root, keyPath, valueName, options, storedType, value);
        if (result != ERROR_SUCCESS) return result;
        if (type) *type = storedType;
        if (!size) return ERROR_SUCCESS;
        const DWORD capacity = *size;
        *size = static_cast<DWORD>(value.size());
        if (!buffer) return ERROR_SUCCESS;
        if (value.size() > capacity) return ERROR_MORE_DATA;
        std::memcpy(buffer, value.data(), value.size());
        if (IsText(storedType, options))
            std::memset(static_cast<BYTE*>(buffer) + value.size(), 0, capacity - value.size());
        return ERROR_SUCCESS;
    });
}

DWORD WriteRegistryValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD type,
                         const void* data, DWORD size, DWORD options)
{
    const bool empty = !data || size == 0;
    if (options == kRegistryEncipheredValue && empty) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> DWORD {
        DWORD result = ERROR_SUCCESS;
        std::vector<BYTE> stored;
        std::vector<BYTE> record;
        const BYTE* bytes = static_cast<const BYTE*>(data);
        DWORD storedType = type;
        DWORD storedSize = size;
        if (!empty) {
            result = ToStoredForm(type, data, size, options, stored);
            if (result != ERROR_SUCCESS) return result;
            if (stored.size() > MAXDWORD - Lumetra::CObfuscatedRegKeyImpl::kRecordHeaderSize)
                return ERROR_INVALID_PARAMETER;
            bytes = reinterpret_cast<const BYTE*>(stored.data());
            storedSize = static_cast<DWORD>(stored.size());
            if (options == kRegistryEncipheredValue) {
                // A record the readers refuse could never be read back: the earlier value stays.
                result = CheckReadBack(type, stored);
                if (result != ERROR_SUCCESS) return result;
                result = EncodeValueRecord(stored.data(), storedSize, type, record);
                if (result != ERROR_SUCCESS) return result;
                bytes = record.data();
                storedSize = static_cast<DWORD>(record.size());
                storedType = REG_BINARY;
            }
        }

        ValueLocation location;
        result = location.Open(root, keyPath, valueName, KEY_ALL_ACCESS, true);
        if (result != ERROR_SUCCESS) return result;
        return static_cast<DWORD>(RegSetValueExW(location.Key(), location.Name(), 0, storedType, bytes, storedSize));
    });
}

DWORD DeleteRegistryValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName)
{
    return Guarded([&]() -> DWORD {
        ValueLocation location;
        DWORD result = location.Open(root, keyPath, valueName, KEY_WRITE, false);
        if (result != ERROR_SUCCESS) return result;
        return static_cast<DWORD>(RegDeleteValueW(location.Key(), location.Name()));
    });
}

DWORD EncodeValueRecord(const void* data, DWORD size, DWORD type, std::vector<BYTE>& record)
{
    if (!data || size == 0) return ERROR_INVALID_PARAMETER;
    if (size > MAXDWORD - Lumetra::CObfuscatedRegKeyImpl::kRecordHeaderSize) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> DWORD {
        record.assign(static_cast<size_t>(size) + Lumetra::CObfuscatedRegKeyImpl::kRecordHeaderSize, 0);
        DWORD result = static_cast<DWORD>(Lumetra::CObfuscatedRegKeyImpl::PackRecord(
            data, size, type, record.data(), static_cast<DWORD>(record.size())));
        if (result != ERROR_SUCCESS) record.clear();
        return result;
    });
}

DWORD DecodeValueRecord(const BYTE* record, DWORD recordSize, DWORD* type, void* buffer, DWORD* size)
{
    if (buffer && !size) return ERROR_INVALID_PARAMETER;
    DWORD length = 0;
    LONG result = Lumetra::CObfuscatedRegKeyImpl::UnpackRecord(record, recordSize, type, nullptr, &length);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    // The cipher refuses empty data: such a record has never been written by a sound writer.
    if (length == 0) return ERROR_DECRYPTION_FAILED;
    if (!size) return ERROR_SUCCESS;
    const DWORD capacity = *size;
    *size = length;
    if (!buffer) return ERROR_SUCCESS;
    if (length > capacity) return ERROR_MORE_DATA;
    return static_cast<DWORD>(Lumetra::CObfuscatedRegKeyImpl::UnpackRecord(record, recordSize, nullptr, buffer, size));
}

KeyValueMap TranslateKeys(const KeyValueMap& input, const KeyValueMap& dictionary)
{
    KeyValueMap result;
    for (const auto& entry : input) {
        auto name = dictionary.find(entry.first);
        if (name != dictionary.end()) result[name->second] = entry.second;
    }
    return result;
}

bool IsBstrEmpty(BSTR text) { return !text || text[0] == L'\0'; }

DWORD AnsiToWide(UINT codePage, const char* text, wchar_t* buffer, DWORD* chars, int length)
{
    return ConvertText(text != nullptr, buffer, chars, length, [&](wchar_t* out, int capacity) {
        return MultiByteToWideChar(codePage, 0, text, length, out, capacity);
    });
}

DWORD WideToAnsi(UINT codePage, const wchar_t* text, char* buffer, DWORD* size, int length)
{
    return ConvertText(text != nullptr, buffer, size, length, [&](char* out, int capacity) {
        return WideCharToMultiByte(codePage, 0, text, length, out, capacity, nullptr, nullptr);
    });
}

bool NarrowsWithoutLoss(const std::wstring& text)
{
    try {
        std::string narrow;
        std::wstring back;
        return AppendConverted(text.c_str(), text.size(), narrow) == ERROR_SUCCESS &&
               AppendConverted(narrow.data(), narrow.size(), back) == ERROR_SUCCESS && back == text;
    } catch (const std::exception&) {
        return false;
    }
}
