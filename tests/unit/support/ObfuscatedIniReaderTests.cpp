#include "Lumetra/ObfuscatedIniReader.h"
#include "Lumetra/ValueCipher.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using Lumetra::CObfuscatedIniReader;
using Bytes = std::vector<BYTE>;

namespace {

Bytes EncipherIni(const Bytes& plain)
{
    Lumetra::CValueCipher cipher(Lumetra::g_pszIniValueKey, 38, 1);
    Bytes out(plain.size());
    EXPECT_TRUE(cipher.Encipher(plain.data(), out.data(), static_cast<DWORD>(plain.size())));
    return out;
}

Bytes DecipherIni(const Bytes& enciphered)
{
    Lumetra::CValueCipher cipher(Lumetra::g_pszIniValueKey, 38, 1);
    Bytes out(enciphered.size());
    EXPECT_TRUE(cipher.Decipher(enciphered.data(), out.data(), static_cast<DWORD>(enciphered.size())));
    return out;
}

// The 36-byte header laid out field by field: magic, version, length, type, flags, MD5 of the data.
Bytes Header(const Bytes& enciphered, BYTE type, BYTE version = 1, BYTE flags = 1)
{
    Bytes h = {'O', 'V', 'R', 'G', version, 0, 0, 0, static_cast<BYTE>(enciphered.size()), 0, 0, 0,
               type, 0, 0, 0, flags, 0, 0, 0};
    h.resize(36);
    EXPECT_EQ(Lumetra::ComputeMD5(enciphered.data(), static_cast<DWORD>(enciphered.size()), &h[20], 16), 0);
    return h;
}

// The structure form: upper-case hexadecimal bytes, then their sum modulo 256.
std::string Struct(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    unsigned sum = 0;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
        sum += b;
    }
    out += digits[(sum >> 4) & 15];
    out += digits[sum & 15];
    return out;
}

Bytes FromStruct(const std::string& text)
{
    Bytes out;
    const size_t digits = text.size() < 2 ? 0 : text.size() - 2;  // the checksum byte is no data
    for (size_t i = 0; i + 2 <= digits; i += 2)
        out.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// The value of "name=" on its own line of a file's text, or "<missing>".
std::string ValueOf(const std::string& file, const std::string& name)
{
    const std::string probe = "\n" + name + "=";
    size_t at = ("\n" + file).find(probe);
    if (at == std::string::npos) return "<missing>";
    at += probe.size() - 1;
    return file.substr(at, file.find("\r\n", at) - at);
}

struct ThreadCodePage932 {
    LCID previous = GetThreadLocale();
    bool ok = SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)) != FALSE;
    ~ThreadCodePage932() { SetThreadLocale(previous); }
};

} // namespace

TEST(ObfuscatedIniReader, NumberRecordIsBitExact)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"log.ini");
    CObfuscatedIniReader writer(true);
    EXPECT_FALSE(writer.Load(path));
    ASSERT_TRUE(writer.SetDWORDValue(L"Config", L"MaxEntries", 3));

    const Bytes data = EncipherIni({3, 0, 0, 0});
    const std::string file = TestUtil::ReadFileBytes(path);
    EXPECT_EQ(file, "[Config]\r\n_MaxEntries=" + Struct(Header(data, 4)) + "\r\nMaxEntries=" + Struct(data) + "\r\n");
    EXPECT_EQ(ValueOf(file, "_MaxEntries").size(), 74u);
    EXPECT_EQ(ValueOf(file, "_MaxEntries").substr(0, 8), "4F565247");
    EXPECT_EQ(ValueOf(file, "MaxEntries").size(), 10u);

    DWORD number = 0;
    EXPECT_TRUE(writer.GetValue(L"Config", L"MaxEntries", number));
    EXPECT_EQ(number, 3u);
    CObfuscatedIniReader reader(true);
    ASSERT_TRUE(reader.Load(path));
    number = 0;
    std::wstring text;
    EXPECT_TRUE(reader.GetValue(L"Config", L"MaxEntries", number));
    EXPECT_EQ(number, 3u);
    EXPECT_TRUE(reader.GetValue(L"Config", L"MaxEntries", text));
    EXPECT_EQ(text, L"3");
}

TEST(ObfuscatedIniReader, TextRecordIsBitExactAndRoundTrips)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"t.ini");
    const std::string plain = "C:\\Logs\\a b=c;d";
    CObfuscatedIniReader writer(true);
    EXPECT_FALSE(writer.Load(path));
    ASSERT_TRUE(writer.SetStringValue(L"Paths", L"Root", TestUtil::Widen(plain)));
    ASSERT_TRUE(writer.SetDWORDValue(L"Paths", L"Negative", static_cast<DWORD>(-2)));

    const Bytes data = EncipherIni(Bytes(plain.begin(), plain.end()));
    const std::string file = TestUtil::ReadFileBytes(path);
    EXPECT_EQ(ValueOf(file, "_Root"), Struct(Header(data, 1)));
    EXPECT_EQ(ValueOf(file, "Root"), Struct(data));

    CObfuscatedIniReader reader(true);
    ASSERT_TRUE(reader.Load(path));
    std::wstring text;
    DWORD number = 0;
    EXPECT_TRUE(reader.GetValue(L"Paths", L"Root", text));
    EXPECT_EQ(text, TestUtil::Widen(plain));
    EXPECT_TRUE(reader.GetValue(L"Paths", L"Negative", text));
    EXPECT_EQ(text, L"-2");
    EXPECT_TRUE(reader.GetValue(L"Paths", L"Negative", number));
    EXPECT_EQ(number, static_cast<DWORD>(-2));
}

TEST(ObfuscatedIniReader, MultiByteTextStoresEveryNarrowByte)
{
    ThreadCodePage932 codePage;
    ASSERT_TRUE(codePage.ok);
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"mb.ini");
    const std::wstring text = L"\x65E5\x672C\x8A9E";  // three characters, six Shift-JIS bytes
    const Bytes shiftJis = {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA};

    CObfuscatedIniReader writer(true);
    EXPECT_FALSE(writer.Load(path));
    ASSERT_TRUE(writer.SetStringValue(L"S", L"t", text));
    const std::string file = TestUtil::ReadFileBytes(path);
    const Bytes data = FromStruct(ValueOf(file, "t"));
    EXPECT_EQ(data.size(), 6u);
    EXPECT_EQ(DecipherIni(data), shiftJis);
    EXPECT_EQ(ValueOf(file, "_t"), Struct(Header(EncipherIni(shiftJis), 1)));

    CObfuscatedIniReader reader(true);
    ASSERT_TRUE(reader.Load(path));
    std::wstring back;
    EXPECT_TRUE(reader.GetValue(L"S", L"t", back));
    EXPECT_EQ(back, text);
}

TEST(ObfuscatedIniReader, ReadsRecordsWrittenElsewhere)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"peer.ini");
    const std::string value = "peer value";
    const Bytes text = EncipherIni(Bytes(value.begin(), value.end()));
    const Bytes number = EncipherIni({0xFE, 0xFF, 0xFF, 0xFF});
    // Data key before its header key, and a header in the empty section above all sections.
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, "Top=" + Struct(number) + "\n_Top=" + Struct(Header(number, 4)) +
                                                   "\n[A]\nv=" + Struct(text) + "\n_v=" + Struct(Header(text, 1)) +
                                                   "\nplain=1\n"));
    CObfuscatedIniReader reader(true);
    ASSERT_TRUE(reader.Load(path));
    std::wstring got;
    DWORD n = 0;
    EXPECT_TRUE(reader.GetValue(L"A", L"v", got));
    EXPECT_EQ(got, L"peer value");
    EXPECT_TRUE(reader.GetValue(L"", L"Top", n));
    EXPECT_EQ(n, 0xFFFFFFFEu);
    EXPECT_FALSE(reader.GetValue(L"A", L"plain", got));
    EXPECT_FALSE(reader.GetValue(L"A", L"_v", got));  // headers are not entries
}

TEST(ObfuscatedIniReader, TamperedOrMalformedRecordsStayRaw)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"tamper.ini");
    const Bytes data = EncipherIni({7, 0, 0, 0});
    using Mutation = std::function<void(Bytes& header, std::string& dataText)>;
    const std::vector<std::pair<const char*, Mutation>> cases = {
        {"data digit", [](Bytes&, std::string& d) { d[1] = d[1] == '0' ? '1' : '0'; }},
        {"digest", [](Bytes& h, std::string&) { h[35] ^= 0x01; }},
        {"version", [](Bytes& h, std::string&) { h[4] = 2; }},
        {"flags", [](Bytes& h, std::string&) { h[16] = 0; }},
        {"length", [](Bytes& h, std::string&) { h[8] = 5; }},
        {"type", [](Bytes& h, std::string&) { h[12] = 7; }},
        {"magic", [](Bytes& h, std::string&) { h[3] = 'H'; }},
    };
    auto load = [&](const Mutation& mutate, CObfuscatedIniReader& reader, std::string& dataText) {
        Bytes header = Header(data, 4);
        dataText = Struct(data);
        if (mutate) mutate(header, dataText);
        ASSERT_TRUE(TestUtil::WriteFileBytes(
            path, "[Config]\r\n_MaxEntries=" + Struct(header) + "\r\nMaxEntries=" + dataText + "\r\n"));
        ASSERT_TRUE(reader.Load(path));
    };

    {  // the untouched record reads back, so each case below fails for its own reason
        CObfuscatedIniReader reader(true);
        std::string dataText;
        load(nullptr, reader, dataText);
        DWORD n = 0;
        EXPECT_TRUE(reader.GetValue(L"Config", L"MaxEntries", n));
        EXPECT_EQ(n, 7u);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        std::string dataText;
        CObfuscatedIniReader strict(true);
        load(c.second, strict, dataText);
        DWORD n = 0;
        EXPECT_FALSE(strict.GetValue(L"Config", L"MaxEntries", n));
        std::map<std::wstring, std::wstring> section;
        EXPECT_TRUE(strict.GetSection(L"Config", section));
        EXPECT_EQ(section[L"MaxEntries"], TestUtil::Widen(dataText));

        CObfuscatedIniReader lenient(false);
        load(c.second, lenient, dataText);
        std::wstring raw;
        EXPECT_TRUE(lenient.GetValue(L"Config", L"MaxEntries", raw));
        EXPECT_EQ(raw, TestUtil::Widen(dataText));
    }
}

TEST(ObfuscatedIniReader, RefusePlainAndEntryRules)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"plain.ini");
    const std::string notHeader(74, 'A');
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, "top=1\n[Config]\nMaxEntries=5\nMaxEntries=6\n_x=" + notHeader +
                                                   "\n_y=" + std::string("4F565247") + std::string(64, '0') +
                                                   "\n_z=4F565247" + std::string(66, '0') + "\nsub.name=dot\n"));
    CObfuscatedIniReader strict(true);
    CObfuscatedIniReader lenient(false);
    ASSERT_TRUE(strict.Load(path));
    ASSERT_TRUE(lenient.Load(path));

    DWORD n = 0;
    std::wstring text;
    EXPECT_FALSE(strict.GetValue(L"Config", L"MaxEntries", n));
    EXPECT_TRUE(lenient.GetValue(L"Config", L"MaxEntries", n));
    EXPECT_EQ(n, 5u);  // first occurrence wins
    EXPECT_TRUE(lenient.GetValue(L"", L"top", text));
    EXPECT_EQ(text, L"1");
    EXPECT_TRUE(lenient.GetValue(L"Config", L"sub.name", text));
    EXPECT_EQ(text, L"dot");

    // 74 characters of other digits, or the magic at the wrong length: ordinary entries.
    // "_z" looks like a header (74 characters) and so is no entry.
    std::map<std::wstring, std::wstring> section{{L"MaxEntries", L"stale"}, {L"keep", L"me"}};
    EXPECT_TRUE(strict.GetSection(L"Config", section));
    EXPECT_EQ(section[L"MaxEntries"], L"5");
    EXPECT_EQ(section[L"_x"], TestUtil::Widen(notHeader));
    EXPECT_EQ(section[L"_y"].size(), 72u);
    EXPECT_EQ(section.count(L"_z"), 0u);
    EXPECT_EQ(section[L"keep"], L"me");
    EXPECT_FALSE(strict.GetSection(L"Missing", section));
}

TEST(ObfuscatedIniReader, WritesAndReloads)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"w.ini");
    CObfuscatedIniReader reader(true);

    EXPECT_FALSE(reader.SetDWORDValue(L"S", L"n", 1));  // no file yet
    EXPECT_FALSE(reader.Load(path));
    EXPECT_FALSE(reader.SetStringValue(L"S", L"empty", L""));
    EXPECT_FALSE(TestUtil::FileExists(path));

    // A plain value is replaced by an enciphered one, in memory and on disk.
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, "[S]\r\nn=9\r\nother=1\r\n"));
    ASSERT_TRUE(reader.Load(path));
    DWORD n = 0;
    EXPECT_FALSE(reader.GetValue(L"S", L"n", n));
    ASSERT_TRUE(reader.SetDWORDValue(L"S", L"n", 10));
    EXPECT_TRUE(reader.GetValue(L"S", L"n", n));
    EXPECT_EQ(n, 10u);
    ASSERT_TRUE(reader.SetDWORDValue(L"S", L"n", 11));

    CObfuscatedIniReader again(true);
    ASSERT_TRUE(again.Load(path));
    EXPECT_TRUE(again.GetValue(L"S", L"n", n));
    EXPECT_EQ(n, 11u);

    // Loading another file forgets what the first one held.
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"other.ini"), "[T]\r\nx=1\r\n"));
    ASSERT_TRUE(again.Load(dir.File(L"other.ini")));
    EXPECT_FALSE(again.GetValue(L"S", L"n", n));
}

TEST(ObfuscatedIniReader, PackAndUnpackCodes)
{
    const BYTE plain[3] = {'a', 'b', 'c'};
    BYTE enciphered[3];
    BYTE header[36];
    EXPECT_EQ(CObfuscatedIniReader::PackRecord(plain, 3, 1, enciphered, 2, header), 87u);
    EXPECT_EQ(CObfuscatedIniReader::PackRecord(plain, 0, 1, enciphered, 3, header), 6000u);
    ASSERT_EQ(CObfuscatedIniReader::PackRecord(plain, 3, 1, enciphered, 3, header), 0u);
    EXPECT_EQ(Bytes(header, header + 36), Header(EncipherIni({'a', 'b', 'c'}), 1));

    BYTE saved[36];
    std::memcpy(saved, header, 36);
    BYTE out[3] = {};
    EXPECT_EQ(CObfuscatedIniReader::UnpackRecord(enciphered, 3, nullptr, 0, header), 0u);
    std::memcpy(header, saved, 36);
    EXPECT_EQ(CObfuscatedIniReader::UnpackRecord(enciphered, 3, out, 2, header), 234u);
    std::memcpy(header, saved, 36);
    EXPECT_EQ(CObfuscatedIniReader::UnpackRecord(enciphered, 2, out, 3, header), 13u);
    std::memcpy(header, saved, 36);
    ASSERT_EQ(CObfuscatedIniReader::UnpackRecord(enciphered, 3, out, 3, header), 0u);
    EXPECT_EQ(std::memcmp(out, plain, 3), 0);
    std::memcpy(header, saved, 36);
    enciphered[2] ^= 0x80;
    EXPECT_EQ(CObfuscatedIniReader::UnpackRecord(enciphered, 3, out, 3, header), 13u);
}
