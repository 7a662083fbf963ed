#include "Lumetra/ObfuscatedIniReader.h"

#include "Lumetra/ValueCipher.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace Lumetra {

namespace {

const char kMagic[4] = {'O', 'V', 'R', 'G'};
const wchar_t kHeaderPrefix[] = L"4F565247";  // "OVRG" as written by WritePrivateProfileStructW
const size_t kHeaderTextLength = 74;          // 36 bytes and the checksum byte, in hexadecimal
const DWORD kRecordVersion = 1;
const DWORD kDigestOffset = 20;

DWORD ReadLE32(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void WriteLE32(BYTE* p, DWORD value)
{
    p[0] = static_cast<BYTE>(value);
    p[1] = static_cast<BYTE>(value >> 8);
    p[2] = static_cast<BYTE>(value >> 16);
    p[3] = static_cast<BYTE>(value >> 24);
}

CValueCipher MakeCipher()
{
    return CValueCipher(g_pszIniValueKey, static_cast<int>(std::strlen(g_pszIniValueKey)), 1);
}

// Two hexadecimal digits per byte; reading stops where the text ends or stops being hexadecimal.
void ReadHexBytes(const std::wstring& text, BYTE* out, size_t count)
{
    for (size_t i = 0; i < count && 2 * i < text.size(); ++i) {
        unsigned int byte = 0;
        if (swscanf(text.c_str() + 2 * i, L"%2x", &byte) != 1) break;
        out[i] = static_cast<BYTE>(byte);
    }
}

std::wstring FormatSigned(DWORD value)
{
    wchar_t text[16] = {};
    _snwprintf(text, 15, L"%d", static_cast<int>(value));
    return text;
}

} // namespace

CObfuscatedIniReader::CObfuscatedIniReader(bool refusePlain) : m_refusePlain(refusePlain) {}

CObfuscatedIniReader::~CObfuscatedIniReader() = default;

bool CObfuscatedIniReader::Load(const std::wstring& path)
{
    try {
        m_headers.clear();
        m_sections.clear();
        if (!CBaseIniReader::Load(path)) {
            m_headers.clear();
            return false;
        }
        for (const auto& header : m_headers) ConvertEntry(header.first, header.second);
        m_headers.clear();
        return true;
    } catch (...) {
        m_headers.clear();
        return false;
    }
}

bool CObfuscatedIniReader::GetDWORDValue(const std::wstring& key, DWORD& value) const
{
    try {
        std::wstring text;
        if (!GetStringValue(key, text)) return false;
        value = static_cast<DWORD>(_wtol(text.c_str()));
        return true;
    } catch (...) {
        return false;
    }
}

bool CObfuscatedIniReader::GetStringValue(const std::wstring& key, std::wstring& value) const
{
    try {
        const Entry* entry = FindEntry(key);
        if (!entry || (m_refusePlain && !entry->enciphered)) return false;
        value = entry->value;
        return true;
    } catch (...) {
        return false;
    }
}

bool CObfuscatedIniReader::GetSection(const std::wstring& section, std::map<std::wstring, std::wstring>& values) const
{
    try {
        auto found = m_sections.find(section);
        if (found == m_sections.end()) return false;
        for (const auto& entry : found->second) values[entry.first] = entry.second.value;
        return true;
    } catch (...) {
        return false;
    }
}

bool CObfuscatedIniReader::SetDWORDValue(const std::wstring& section, const std::wstring& name, DWORD value)
{
    try {
        if (m_filePath.empty()) return false;
        BYTE data[4];
        WriteLE32(data, value);
        if (!WriteRecord(section, name, data, sizeof data, REG_DWORD)) return false;
        StoreEntry(section, name, Entry{FormatSigned(value), true, REG_DWORD});
        return true;
    } catch (...) {
        return false;
    }
}

bool CObfuscatedIniReader::SetStringValue(const std::wstring& section, const std::wstring& name,
                                          const std::wstring& value)
{
    try {
        if (m_filePath.empty()) return false;
        // The record holds the narrowed bytes, so its length is their count: in a multi-byte
        // code page that exceeds the number of UTF-16 characters.
        std::vector<BYTE> narrow;
        if (!value.empty()) {
            int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, value.data(), static_cast<int>(value.size()), nullptr,
                                            0, nullptr, nullptr);
            if (bytes <= 0) return false;
            narrow.resize(static_cast<size_t>(bytes));
            bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, value.data(), static_cast<int>(value.size()),
                                        reinterpret_cast<char*>(narrow.data()), bytes, nullptr, nullptr);
            if (bytes <= 0) return false;
            narrow.resize(static_cast<size_t>(bytes));
        }
        if (!WriteRecord(section, name, narrow.data(), static_cast<DWORD>(narrow.size()), REG_SZ)) return false;
        StoreEntry(section, name, Entry{value, true, REG_SZ});
        return true;
    } catch (...) {
        return false;
    }
}

bool CObfuscatedIniReader::AddEntry(const std::wstring& section, const std::wstring& name, const std::wstring& value,
                                    bool overwrite)
{
    try {
        auto found = m_sections.find(section);
        if (found != m_sections.end() && !overwrite && found->second.count(name)) return false;

        if (!name.empty() && name[0] == L'_' && value.size() == kHeaderTextLength &&
            value.compare(0, 8, kHeaderPrefix) == 0) {
            m_headers[section + L"." + name.substr(1)] = value;
            return false;
        }

        StoreEntry(section, name, Entry{value, false, REG_SZ});
        return true;
    } catch (...) {
        return false;
    }
}

DWORD CObfuscatedIniReader::PackRecord(const BYTE* data, DWORD length, DWORD valueType, BYTE* enciphered,
                                       DWORD capacity, BYTE* header)
{
    if (capacity < length || !header) return ERROR_INVALID_PARAMETER;

    CValueCipher cipher = MakeCipher();
    if (!cipher.Encipher(data, enciphered, length)) return 6000;

    std::memcpy(header, kMagic, sizeof kMagic);
    WriteLE32(header + 4, kRecordVersion);
    WriteLE32(header + 8, length);
    WriteLE32(header + 12, valueType);
    WriteLE32(header + 16, 1);
    std::memset(header + kDigestOffset, 0, 16);
    if (ComputeMD5(enciphered, length, header + kDigestOffset, 16) != 0) return 6000;
    return ERROR_SUCCESS;
}

DWORD CObfuscatedIniReader::UnpackRecord(const BYTE* enciphered, DWORD length, BYTE* plain, DWORD capacity,
                                         BYTE* header)
{
    if (!header) return ERROR_INVALID_PARAMETER;

    CValueCipher cipher = MakeCipher();
    unsigned char digest[16];
    std::memcpy(digest, header + kDigestOffset, sizeof digest);
    std::memset(header + kDigestOffset, 0, sizeof digest);
    if (CompareMD5(enciphered, length, digest, sizeof digest) != 0 || ReadLE32(header + 8) != length ||
        std::memcmp(header, kMagic, sizeof kMagic) != 0)
        return ERROR_INVALID_DATA;

    if (!plain) return ERROR_SUCCESS;
    if (length > capacity) return ERROR_MORE_DATA;
    if (!cipher.Decipher(enciphered, plain, length)) return 6001;
    return ERROR_SUCCESS;
}

const CObfuscatedIniReader::Entry* CObfuscatedIniReader::FindEntry(const std::wstring& key) const
{
    std::wstring section;
    std::wstring name;
    const size_t dot = key.find(L'.');
    if (dot != std::wstring::npos) {
        section = key.substr(0, dot);
        name = key.substr(dot + 1);
    }
    auto found = m_sections.find(section);
    if (found == m_sections.end()) return nullptr;
    auto entry = found->second.find(name);
    return entry == found->second.end() ? nullptr : &entry->second;
}

CObfuscatedIniReader::Entry* CObfuscatedIniReader::FindEntry(const std::wstring& key)
{
    return const_cast<Entry*>(static_cast<const CObfuscatedIniReader*>(this)->FindEntry(key));
}

bool CObfuscatedIniReader::ConvertEntry(const std::wstring& key, const std::wstring& headerText)
{
    try {
        Entry* entry = FindEntry(key);
        if (!entry) return false;

        BYTE header[kRecordHeaderSize] = {};
        ReadHexBytes(headerText, header, sizeof header);
        if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || ReadLE32(header + 4) != kRecordVersion ||
            ReadLE32(header + 16) == 0)
            return false;

        const DWORD type = ReadLE32(header + 12);
        if (type == REG_SZ) {
            // The structure form is two digits per byte plus a two-digit checksum.
            const DWORD length = entry->value.empty() ? 0 : static_cast<DWORD>((entry->value.size() - 1) / 2);
            std::vector<BYTE> data(length);
            ReadHexBytes(entry->value, data.data(), length);
            std::vector<BYTE> plain(static_cast<size_t>(length) + 1);
            if (UnpackRecord(data.data(), length, plain.data(), length + 1, header) != ERROR_SUCCESS) return false;
            plain[length] = 0;

            const char* text = reinterpret_cast<const char*>(plain.data());
            int count = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
            if (count <= 0) return false;
            std::wstring wide(static_cast<size_t>(count), L'\0');
            count = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &wide[0], count);
            if (count <= 0) return false;
            wide.resize(static_cast<size_t>(count - 1));
            *entry = Entry{wide, true, REG_SZ};
            return true;
        }
        if (type == REG_DWORD) {
            BYTE data[4] = {};
            ReadHexBytes(entry->value, data, sizeof data);
            BYTE plain[4] = {};
            if (UnpackRecord(data, sizeof data, plain, sizeof plain, header) != ERROR_SUCCESS) return false;
            *entry = Entry{FormatSigned(ReadLE32(plain)), true, REG_DWORD};
            return true;
        }
        return false;
    } catch (...) {
        return false;
    }
}

bool CObfuscatedIniReader::WriteRecord(const std::wstring& section, const std::wstring& name, const BYTE* data,
                                       DWORD length, DWORD valueType)
{
    std::vector<BYTE> enciphered(length);
    BYTE header[kRecordHeaderSize];
    if (PackRecord(data, length, valueType, enciphered.data(), length, header) != ERROR_SUCCESS) return false;
    const std::wstring headerName = L"_" + name;
    if (!WritePrivateProfileStructW(section.c_str(), headerName.c_str(), header, kRecordHeaderSize,
                                    m_filePath.c_str()))
        return false;
    return WritePrivateProfileStructW(section.c_str(), name.c_str(), enciphered.data(), length, m_filePath.c_str()) !=
           FALSE;
}

void CObfuscatedIniReader::StoreEntry(const std::wstring& section, const std::wstring& name, const Entry& entry)
{
    m_sections[section][name] = entry;
}

} // namespace Lumetra
