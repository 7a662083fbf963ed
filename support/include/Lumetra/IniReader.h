// Reader of INI settings files: our own line parser, writes through the Windows profile functions.
#pragma once
#include <windows.h>

#include <map>
#include <string>

namespace Lumetra {

// Parses a file into entries that a subclass stores; look-ups take the key "section.name".
//
// Format: lines of at most 1023 bytes (longer ones are split), in the thread's ANSI code page,
// trimmed of white space; empty lines and lines starting with ';' are skipped; "[name]" opens a
// section ("[]" changes nothing); otherwise "name = value" splits at the first '='. Entries above
// any section line belong to the section with the empty name.
class CBaseIniReader {
public:
    CBaseIniReader();
    virtual ~CBaseIniReader();

    // False for an empty path or a file that cannot be opened. A missing file keeps the path,
    // so that later writes create it; any other open failure forgets it.
    virtual bool Load(const std::wstring& path);

    virtual bool GetValue(const std::wstring& section, const std::wstring& name, DWORD& value) const;
    virtual bool GetValue(const std::wstring& section, const std::wstring& name, std::wstring& value) const;
    virtual bool GetDWORDValue(const std::wstring& key, DWORD& value) const = 0;
    virtual bool GetStringValue(const std::wstring& key, std::wstring& value) const = 0;
    virtual bool GetSection(const std::wstring& section, std::map<std::wstring, std::wstring>& values) const = 0;

    // Written as signed decimal text.
    virtual bool SetDWORDValue(const std::wstring& section, const std::wstring& name, DWORD value);
    // Writes to the file of the last Load at once and stores the value; false without a path.
    virtual bool SetStringValue(const std::wstring& section, const std::wstring& name, const std::wstring& value);

    // Stores one entry; while loading, overwrite is false so the first occurrence wins.
    virtual bool AddEntry(const std::wstring& section, const std::wstring& name, const std::wstring& value,
                          bool overwrite) = 0;
    // One narrow line (or a 1023-byte chunk of a longer one), as read from the file.
    virtual void ParseLine(const char* line);

protected:
    std::wstring m_filePath;
    std::wstring m_currentSection;
    UINT32 m_entryCount = 0;
    UINT32 m_sectionCount = 0;
};

} // namespace Lumetra
