// INI reader whose values are written enciphered as OVRG records and deciphered on load.
#pragma once
#include "Lumetra/IniReader.h"

#include <map>
#include <string>

namespace Lumetra {

// Each value N of a section is two keys, both hexadecimal structures written by
// WritePrivateProfileStructW: "_N" holds the 36-byte record header, N the enciphered bytes.
//
// Header (little-endian): "OVRG", version 1, data length n, type (1 text, 4 number), flags 1,
// MD5 of the n enciphered bytes. Text is stored in the thread's ANSI code page without
// terminator, numbers as 4 bytes. Values without a valid record stay as their file text.
class CObfuscatedIniReader : public CBaseIniReader {
public:
    static constexpr DWORD kRecordHeaderSize = 36;

    // With refusePlain, look-ups by key only answer values that were stored enciphered.
    explicit CObfuscatedIniReader(bool refusePlain);
    ~CObfuscatedIniReader() override;

    bool Load(const std::wstring& path) override;

    bool GetDWORDValue(const std::wstring& key, DWORD& value) const override;
    bool GetStringValue(const std::wstring& key, std::wstring& value) const override;
    // Every entry's text, deciphered or not, whatever refusePlain says.
    bool GetSection(const std::wstring& section, std::map<std::wstring, std::wstring>& values) const override;

    bool SetDWORDValue(const std::wstring& section, const std::wstring& name, DWORD value) override;
    // An empty text cannot be stored.
    bool SetStringValue(const std::wstring& section, const std::wstring& name, const std::wstring& value) override;

    bool AddEntry(const std::wstring& section, const std::wstring& name, const std::wstring& value,
                  bool overwrite) override;

    // Enciphers length bytes into `enciphered` and fills the 36-byte header.
    // 0, 87 (bad arguments or capacity below length) or 6000 (enciphering or digest failed).
    static DWORD PackRecord(const BYTE* data, DWORD length, DWORD valueType, BYTE* enciphered, DWORD capacity,
                            BYTE* header);
    // Checks magic, length and digest (zeroing the header's digest field) and, when `plain` is
    // given, deciphers into it. 0, 13 (not a valid record), 234 (capacity too small), 6001, 87.
    static DWORD UnpackRecord(const BYTE* enciphered, DWORD length, BYTE* plain, DWORD capacity, BYTE* header);

protected:
    struct Entry {
        std::wstring value;
        bool enciphered = false;
        DWORD type = REG_SZ;
    };

    // Splits the key at its first full stop into section and name (no full stop: both empty).
    const Entry* FindEntry(const std::wstring& key) const;
    Entry* FindEntry(const std::wstring& key);
    // Replaces the loaded hexadecimal text of the key's entry by its deciphered value.
    bool ConvertEntry(const std::wstring& key, const std::wstring& headerText);

private:
    bool WriteRecord(const std::wstring& section, const std::wstring& name, const BYTE* data, DWORD length,
                     DWORD valueType);
    void StoreEntry(const std::wstring& section, const std::wstring& name, const Entry& entry);

    std::map<std::wstring, std::map<std::wstring, Entry>> m_sections;
    std::map<std::wstring, std::wstring> m_headers;  // "section.name" -> header text, during Load only
    bool m_refusePlain;
};

} // namespace Lumetra
