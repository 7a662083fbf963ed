#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/ValueCipher.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using Lumetra::CObfuscatedRegKey;
using Lumetra::CObfuscatedRegKeyImpl;
using Lumetra::CRegKey;
using TestUtil::ScratchRegKey;

namespace {

std::vector<BYTE> Bytes(const char* data, size_t size) { return std::vector<BYTE>(data, data + size); }

void PutU32(std::vector<BYTE>& at, size_t offset, DWORD value)
{
    for (int n = 0; n < 4; ++n) at[offset + n] = static_cast<BYTE>(value >> (8 * n));
}

// A record laid out by hand: magic, version, length, type, MD5 over the record with a zero
// digest field, then the data enciphered under the registry key text.
std::vector<BYTE> MakeRecord(DWORD type, const std::vector<BYTE>& plain, DWORD version = 1)
{
    static const char key[] = "{3A7C91D2-5E04-4b8f-A2C6-81F0D93B7E15}";
    std::vector<BYTE> record(32 + plain.size(), 0);
    std::memcpy(record.data(), "OVRG", 4);
    PutU32(record, 4, version);
    PutU32(record, 8, static_cast<DWORD>(plain.size()));
    PutU32(record, 12, type);
    Lumetra::CValueCipher cipher(key, 38, 1);
    if (!plain.empty()) cipher.Encipher(plain.data(), record.data() + 32, static_cast<DWORD>(plain.size()));
    unsigned char digest[16];
    Lumetra::ComputeMD5(record.data(), static_cast<DWORD>(record.size()), digest, 16);
    std::memcpy(record.data() + 16, digest, 16);
    return record;
}

std::vector<BYTE> ReadRaw(const ScratchRegKey& scratch, const wchar_t* name, DWORD expectedType = REG_BINARY)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_TRUE(scratch.ReadRaw(name, type, data)) << TestUtil::Narrow(name);
    EXPECT_EQ(type, expectedType);
    return data;
}

void WriteRaw(const ScratchRegKey& scratch, const wchar_t* name, const std::vector<BYTE>& data)
{
    ASSERT_TRUE(scratch.WriteRaw(name, REG_BINARY, data.data(), static_cast<DWORD>(data.size())));
}

} // namespace

TEST(ObfuscatedRegKeyRecord, DwordIsStoredAsA36ByteBinaryRecord)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(L"five", 5), ERROR_SUCCESS);
    std::vector<BYTE> raw = ReadRaw(scratch, L"five");
    EXPECT_EQ(raw.size(), 36u);
    EXPECT_EQ(raw, MakeRecord(REG_DWORD, {5, 0, 0, 0}));

    DWORD value = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"five", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 5u);

    CRegKey plain;
    ASSERT_EQ(plain.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    EXPECT_EQ(plain.QueryDWORDValue(L"five", value), ERROR_INVALID_DATA);
    ASSERT_EQ(plain.SetDWORDValue(L"clear", 7), ERROR_SUCCESS);
    EXPECT_EQ(key.QueryDWORDValue(L"clear", value), ERROR_INVALID_DATA);
    EXPECT_EQ(key.QueryDWORDValue(L"absent", value), ERROR_FILE_NOT_FOUND);
}

TEST(ObfuscatedRegKeyRecord, TextIsKeptAsUtf8AndExpandTextAsUtf16)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);

    const std::wstring text = L"Gr\u00fc\u00dfe \u4e2d";
    ASSERT_EQ(key.SetStringValue(L"s", text.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"s"), MakeRecord(REG_SZ, Bytes("Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\xAD", 12)));

    ASSERT_EQ(key.SetStringValue(L"e", L"%A%", REG_EXPAND_SZ), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"e"), MakeRecord(REG_EXPAND_SZ, Bytes("%\0A\0%\0\0", 8)));

    ASSERT_EQ(key.SetMultiStringValue(L"m", L"a\0\u00e9\0"), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"m"), MakeRecord(REG_MULTI_SZ, Bytes("a\0\xC3\xA9\0", 6)));
    ASSERT_EQ(key.SetMultiStringValue(L"none", L"\0"), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"none"), MakeRecord(REG_MULTI_SZ, Bytes("", 1)));

    std::wstring read;
    EXPECT_EQ(key.QueryStringValue(L"s", read), ERROR_SUCCESS);
    EXPECT_EQ(read, text);
    EXPECT_EQ(key.QueryStringValue(L"e", read), ERROR_SUCCESS);
    EXPECT_EQ(read, L"%A%");
    wchar_t list[8];
    ULONG chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"m", list, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_EQ(std::memcmp(list, L"a\0\u00e9\0", 5 * sizeof(wchar_t)), 0);
    chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"none", list, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 1u);
    EXPECT_EQ(list[0], L'\0');
}

TEST(ObfuscatedRegKeyRecord, RecordsWrittenByOthersAreReadWhateverTheirVersion)
{
    ScratchRegKey scratch;
    WriteRaw(scratch, L"v7", MakeRecord(REG_SZ, Bytes("abc", 4), 7));
    WriteRaw(scratch, L"q", MakeRecord(REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}));
    WriteRaw(scratch, L"b", MakeRecord(REG_BINARY, {0xDE, 0xAD}));
    WriteRaw(scratch, L"unterminated", MakeRecord(REG_SZ, Bytes("abc", 3)));
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str(), KEY_READ), ERROR_SUCCESS);

    std::wstring text;
    EXPECT_EQ(key.QueryStringValue(L"v7", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"abc");
    ULONGLONG q = 0;
    EXPECT_EQ(key.QueryQWORDValue(L"q", q), ERROR_SUCCESS);
    EXPECT_EQ(q, 0x0102030405060708ULL);
    DWORD d = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"q", d), ERROR_INVALID_DATA);
    BYTE bin[4] = {};
    ULONG size = sizeof bin;
    EXPECT_EQ(key.QueryBinaryValue(L"b", bin, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(bin[0], 0xDE);
    EXPECT_EQ(bin[1], 0xAD);
    // A text record without its terminator is not a valid text; it must not be read past its end.
    EXPECT_EQ(key.QueryStringValue(L"unterminated", text), ERROR_INVALID_DATA);
}

TEST(ObfuscatedRegKeyRecord, AnyChangedByteMakesTheRecordUnreadable)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(L"v", 0x12345678), ERROR_SUCCESS);
    const std::vector<BYTE> good = ReadRaw(scratch, L"v");
    ASSERT_EQ(good.size(), 36u);

    DWORD value = 0;
    for (size_t at = 0; at < good.size(); ++at) {
        std::vector<BYTE> bad = good;
        bad[at] ^= 0x10;
        WriteRaw(scratch, L"v", bad);
        EXPECT_EQ(key.QueryDWORDValue(L"v", value), ERROR_INVALID_DATA) << "byte " << at;
    }
    std::vector<BYTE> shorter(good.begin(), good.end() - 1);
    WriteRaw(scratch, L"v", shorter);
    EXPECT_EQ(key.QueryDWORDValue(L"v", value), ERROR_INVALID_DATA);
    std::vector<BYTE> longer = good;
    longer.push_back(0);
    WriteRaw(scratch, L"v", longer);
    EXPECT_EQ(key.QueryDWORDValue(L"v", value), ERROR_INVALID_DATA);
    WriteRaw(scratch, L"v", std::vector<BYTE>(good.begin(), good.begin() + 31));
    EXPECT_EQ(key.QueryDWORDValue(L"v", value), ERROR_INVALID_DATA);

    WriteRaw(scratch, L"v", good);
    EXPECT_EQ(key.QueryDWORDValue(L"v", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 0x12345678u);
}

TEST(ObfuscatedRegKeyBuffers, StringQueriesReportTheNeededSize)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"s", L"h\u00e9llo"), ERROR_SUCCESS);

    wchar_t buffer[16];
    ULONG chars = 0;
    EXPECT_EQ(key.QueryStringValue(L"s", nullptr, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 6u);
    chars = 5;
    EXPECT_EQ(key.QueryStringValue(L"s", buffer, &chars), ERROR_MORE_DATA);
    EXPECT_EQ(chars, 6u);
    chars = 6;
    EXPECT_EQ(key.QueryStringValue(L"s", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 6u);
    EXPECT_STREQ(buffer, L"h\u00e9llo");

    DWORD type = 0;
    ULONG bytes = 0;
    EXPECT_EQ(key.QueryValue(L"s", &type, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(key.QueryValue(L"s", nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(ObfuscatedRegKeyBuffers, MultiStringThatDoesNotFitLeavesTheBufferZeroed)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetMultiStringValue(L"m", L"one\0two\0"), ERROR_SUCCESS);

    wchar_t buffer[9];
    std::wmemset(buffer, L'x', 9);
    ULONG chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"m", buffer, &chars), ERROR_MORE_DATA);
    EXPECT_EQ(chars, 9u);
    for (int n = 0; n < 8; ++n) EXPECT_EQ(buffer[n], L'\0') << n;
    EXPECT_EQ(buffer[8], L'x');

    chars = 9;
    EXPECT_EQ(key.QueryMultiStringValue(L"m", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 9u);
    EXPECT_EQ(std::memcmp(buffer, L"one\0two\0", sizeof buffer), 0);
}

TEST(ObfuscatedRegKeyValues, TypedValuesRoundTrip)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    const GUID id = {0xB41E6C09, 0x27D3, 0x4F5A, {0x9C, 0x1E, 0x6A, 0x0D, 0x52, 0xF8, 0xC7, 0xB3}};
    const BYTE blob[3] = {0, 1, 0xFF};
    ASSERT_EQ(key.SetQWORDValue(L"q", 0xFFFFFFFF00000001ULL), ERROR_SUCCESS);
    ASSERT_EQ(key.SetBinaryValue(L"b", blob, sizeof blob), ERROR_SUCCESS);
    ASSERT_EQ(key.SetGUIDValue(L"g", id), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"empty", L""), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"empty"), MakeRecord(REG_SZ, {0}));

    ULONGLONG q = 0;
    EXPECT_EQ(key.QueryQWORDValue(L"q", q), ERROR_SUCCESS);
    EXPECT_EQ(q, 0xFFFFFFFF00000001ULL);
    BYTE read[8] = {};
    ULONG size = 2;
    EXPECT_EQ(key.QueryBinaryValue(L"b", read, &size), ERROR_MORE_DATA);
    size = sizeof read;
    EXPECT_EQ(key.QueryBinaryValue(L"b", read, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(read, blob, 3), 0);
    GUID gotId = {};
    EXPECT_EQ(key.QueryGUIDValue(L"g", gotId), ERROR_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(gotId, id));
    std::wstring text = L"x";
    EXPECT_EQ(key.QueryStringValue(L"empty", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"");

    // A refused write leaves the stored value alone.
    EXPECT_EQ(key.SetValue(L"q", REG_QWORD, nullptr, 8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryQWORDValue(L"q", q), ERROR_SUCCESS);
    EXPECT_EQ(q, 0xFFFFFFFF00000001ULL);
}

TEST(ObfuscatedRegKeyValues, TextArgumentIsReadNoFurtherThanItsSize)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    const wchar_t text[] = L"abcdef";
    ASSERT_EQ(key.SetValue(L"s", REG_SZ, text, 3 * sizeof(wchar_t)), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"s"), MakeRecord(REG_SZ, Bytes("abc", 4)));
    const wchar_t list[] = {L'a', L'\0', L'b', L'c'};
    ASSERT_EQ(key.SetValue(L"m", REG_MULTI_SZ, list, sizeof list), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(scratch, L"m"), MakeRecord(REG_MULTI_SZ, Bytes("a\0bc\0", 6)));
}

TEST(ObfuscatedRegKeyValues, NamesAreNarrowedButTextIsNot)
{
    ScratchRegKey scratch;
    CObfuscatedRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    const std::wstring name = L"n\u4e2d";
    const std::wstring text = L"\u4e2d\u6587 \U0001F600";
    ASSERT_EQ(key.SetStringValue(name.c_str(), text.c_str()), ERROR_SUCCESS);
    std::wstring read;
    EXPECT_EQ(key.QueryStringValue(name.c_str(), read), ERROR_SUCCESS);
    EXPECT_EQ(read, text);

    DWORD type = 0;
    std::vector<BYTE> raw;
    EXPECT_FALSE(scratch.ReadRaw(name, type, raw));   // stored under the narrowed name
    // Another name the ANSI code page cannot hold narrows to the same stored name.
    EXPECT_EQ(key.QueryStringValue(L"n\u6587", read), ERROR_SUCCESS);
    EXPECT_EQ(read, text);
}

TEST(ObfuscatedRegKeyRecord, PackAndUnpackCheckTheirBuffers)
{
    const BYTE data[4] = {1, 2, 3, 4};
    BYTE record[40] = {};
    EXPECT_EQ(CObfuscatedRegKeyImpl::PackRecord(data, 4, REG_BINARY, record, 35), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(CObfuscatedRegKeyImpl::PackRecord(data, 4, REG_BINARY, record, 36), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(record, record + 36), MakeRecord(REG_BINARY, {1, 2, 3, 4}));

    DWORD type = 0;
    BYTE out[4] = {};
    DWORD length = 3;
    EXPECT_EQ(CObfuscatedRegKeyImpl::UnpackRecord(record, 36, &type, out, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(CObfuscatedRegKeyImpl::UnpackRecord(record, 36, &type, out, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(out[0], 0);
    length = 4;
    EXPECT_EQ(CObfuscatedRegKeyImpl::UnpackRecord(record, 36, nullptr, out, &length), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(out, data, 4), 0);
    EXPECT_EQ(CObfuscatedRegKeyImpl::UnpackRecord(record, 31, &type, out, &length), ERROR_INVALID_DATA);
}
