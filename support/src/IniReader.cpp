#include "Lumetra/IniReader.h"

#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <memory>

namespace Lumetra {

namespace {

std::wstring Trim(const std::wstring& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::wstring WidenThreadAcp(const char* text)
{
    int count = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (count <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(count), L'\0');
    count = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &wide[0], count);
    wide.resize(count > 0 ? static_cast<size_t>(count - 1) : 0);
    return wide;
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

} // namespace

CBaseIniReader::CBaseIniReader() = default;

CBaseIniReader::~CBaseIniReader() = default;

bool CBaseIniReader::Load(const std::wstring& path)
{
    try {
        if (path.empty()) return false;
        m_filePath = path;
        // Lines above the first section line of this file belong to the empty section, whatever
        // an earlier file ended with.
        m_currentSection.clear();

        FILE* raw = nullptr;
        errno_t err = _wfopen_s(&raw, path.c_str(), L"r");
        if (err != 0 || !raw) {
            if (err != ENOENT) m_filePath.clear();
            return false;
        }
        std::unique_ptr<FILE, FileCloser> file(raw);
        char line[1024];
        while (fgets(line, sizeof line, file.get())) ParseLine(line);
        return true;
    } catch (...) {
        return false;
    }
}

bool CBaseIniReader::GetValue(const std::wstring& section, const std::wstring& name, DWORD& value) const
{
    try {
        return GetDWORDValue(section + L"." + name, value);
    } catch (...) {
        return false;
    }
}

bool CBaseIniReader::GetValue(const std::wstring& section, const std::wstring& name, std::wstring& value) const
{
    try {
        return GetStringValue(section + L"." + name, value);
    } catch (...) {
        return false;
    }
}

bool CBaseIniReader::SetDWORDValue(const std::wstring& section, const std::wstring& name, DWORD value)
{
    try {
        wchar_t text[16] = {};
        _snwprintf(text, 15, L"%d", static_cast<int>(value));
        return SetStringValue(section, name, text);
    } catch (...) {
        return false;
    }
}

bool CBaseIniReader::SetStringValue(const std::wstring& section, const std::wstring& name, const std::wstring& value)
{
    try {
        if (m_filePath.empty()) return false;
        if (!WritePrivateProfileStringW(section.c_str(), name.c_str(), value.c_str(), m_filePath.c_str()))
            return false;
        return AddEntry(section, name, value, true);
    } catch (...) {
        return false;
    }
}

void CBaseIniReader::ParseLine(const char* line)
{
    if (!line) return;
    try {
        const std::wstring text = Trim(WidenThreadAcp(line));
        if (text.empty() || text[0] == L';') return;

        // Checked before the '=' test: "[a=b]" is the section "a=b".
        if (text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
            std::wstring section = Trim(text.substr(1, text.size() - 2));
            if (!section.empty()) {
                m_currentSection = section;
                ++m_sectionCount;
            }
            return;
        }

        const size_t equals = text.find(L'=');
        if (equals == std::wstring::npos) return;
        if (AddEntry(m_currentSection, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)), false))
            ++m_entryCount;
    } catch (...) {
        // A line that cannot be handled is skipped like any other unusable line.
    }
}

} // namespace Lumetra
