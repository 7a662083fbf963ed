#include "Platform/Registrar.h"

#include <cwctype>
#include <vector>

#include "Lumetra/RegKey.h"

namespace Platform {

namespace {

const HRESULT kBadScript = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

std::wstring Upper(std::wstring text)
{
    for (auto& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

bool Is(const std::wstring& word, const wchar_t* keyword) { return Upper(word) == Upper(keyword); }

struct Value {
    std::wstring name;
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

struct Key {
    enum Modifier { kPlain, kForceRemove, kNoRemove, kDelete } modifier = kPlain;
    std::wstring name;
    bool hasDefault = false;
    Value defaultValue;
    std::vector<Value> values;
    std::vector<Key> subkeys;
};

struct RootBlock {
    HKEY root = nullptr;
    std::vector<Key> keys;
};

struct Token {
    enum Kind { kEnd, kWord, kQuoted, kOpen, kClose, kEquals } kind = kEnd;
    std::wstring text;
};

class Parser {
public:
    Parser(const std::wstring& text, const std::map<std::wstring, std::wstring>& replacements)
        : m_text(text), m_replacements(replacements) {}

    bool ParseScript(std::vector<RootBlock>& blocks)
    {
        for (;;) {
            Token t = Next();
            if (t.kind == Token::kEnd) return m_ok;
            RootBlock block;
            if (t.kind != Token::kWord || !RootFromName(t.text, block.root)) return false;
            if (Next().kind != Token::kOpen || !ParseBody(block.keys, nullptr)) return false;
            blocks.push_back(std::move(block));
        }
    }

private:
    static bool RootFromName(const std::wstring& name, HKEY& root)
    {
        static const struct { const wchar_t* shortName; const wchar_t* longName; HKEY root; } kRoots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {L"HKU", L"HKEY_USERS", HKEY_USERS},
        };
        for (const auto& r : kRoots) {
            if (Is(name, r.shortName) || Is(name, r.longName)) {
                root = r.root;
                return true;
            }
        }
        return false;
    }

    // Keys and (inside a key) values up to the closing brace.
    bool ParseBody(std::vector<Key>& keys, std::vector<Value>* values)
    {
        for (;;) {
            Token t = Next();
            if (t.kind == Token::kClose) return true;
            if (t.kind == Token::kWord && Is(t.text, L"val")) {
                Value value;
                Token name = Next();
                if (!values || !IsName(name) || Next().kind != Token::kEquals || !ParseTypedData(value)) return false;
                value.name = name.text;
                values->push_back(std::move(value));
                continue;
            }
            Key key;
            while (t.kind == Token::kWord && ModifierFromWord(t.text, key.modifier)) t = Next();
            if (!IsName(t)) return false;
            key.name = t.text;
            if (Peek().kind == Token::kEquals) {
                Next();
                key.hasDefault = true;
                if (!ParseTypedData(key.defaultValue)) return false;
            }
            if (Peek().kind == Token::kOpen) {
                Next();
                if (!ParseBody(key.subkeys, &key.values)) return false;
            }
            keys.push_back(std::move(key));
        }
    }

    static bool ModifierFromWord(const std::wstring& word, Key::Modifier& modifier)
    {
        if (Is(word, L"ForceRemove")) modifier = Key::kForceRemove;
        else if (Is(word, L"NoRemove")) modifier = Key::kNoRemove;
        else if (Is(word, L"Delete")) modifier = Key::kDelete;
        else return false;
        return true;
    }

    static bool IsName(const Token& t) { return t.kind == Token::kWord || t.kind == Token::kQuoted; }

    bool ParseTypedData(Value& value)
    {
        Token type = Next();
        Token data = Next();
        if (type.kind != Token::kWord || !IsName(data)) return false;
        const std::wstring& text = data.text;
        if (Is(type.text, L"s") || Is(type.text, L"e")) {
            value.type = Is(type.text, L"s") ? REG_SZ : REG_EXPAND_SZ;
            const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
            value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
            return true;
        }
        if (Is(type.text, L"d")) {
            wchar_t* end = nullptr;
            unsigned long long number = wcstoull(text.c_str(), &end, 0);
            if (text.empty() || *end != L'\0' || number > 0xFFFFFFFFull || text[0] == L'-') return false;
            DWORD dword = static_cast<DWORD>(number);
            const BYTE* bytes = reinterpret_cast<const BYTE*>(&dword);
            value.type = REG_DWORD;
            value.data.assign(bytes, bytes + sizeof(dword));
            return true;
        }
        if (Is(type.text, L"b")) {
            if (text.size() % 2 != 0) return false;
            value.type = REG_BINARY;
            for (size_t i = 0; i < text.size(); i += 2) {
                if (!std::iswxdigit(text[i]) || !std::iswxdigit(text[i + 1])) return false;
                value.data.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
            }
            return true;
        }
        return false;
    }

    Token Peek()
    {
        if (!m_hasPeeked) {
            m_peeked = Lex();
            m_hasPeeked = true;
        }
        return m_peeked;
    }

    Token Next()
    {
        if (m_hasPeeked) {
            m_hasPeeked = false;
            return m_peeked;
        }
        return Lex();
    }

    // A failed replacement ends the token stream and marks the script bad.
    Token Lex()
    {
        Token t;
        while (m_pos < m_text.size() && std::iswspace(m_text[m_pos])) ++m_pos;
        if (m_pos >= m_text.size() || !m_ok) return t;
        if (m_text[m_pos] == L'\'') {
            ++m_pos;
            for (;;) {
                if (m_pos >= m_text.size()) return Fail();
                if (m_text[m_pos] == L'\'') {
                    if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == L'\'') {
                        t.text += L'\'';
                        m_pos += 2;
                        continue;
                    }
                    ++m_pos;
                    t.kind = Token::kQuoted;
                    return t;
                }
                if (!Append(t.text)) return Fail();
            }
        }
        // Bare tokens end only at white space, so "{GUID}" is a name and "{" a brace.
        while (m_pos < m_text.size() && !std::iswspace(m_text[m_pos])) {
            if (!Append(t.text)) return Fail();
        }
        t.kind = t.text == L"{" ? Token::kOpen : t.text == L"}" ? Token::kClose : t.text == L"=" ? Token::kEquals : Token::kWord;
        return t;
    }

    // Appends the character at m_pos, or the replacement that starts there.
    bool Append(std::wstring& out)
    {
        if (m_text[m_pos] != L'%') {
            out += m_text[m_pos++];
            return true;
        }
        size_t close = m_text.find(L'%', m_pos + 1);
        if (close == std::wstring::npos) return false;
        std::wstring name = m_text.substr(m_pos + 1, close - m_pos - 1);
        m_pos = close + 1;
        if (name.empty()) {
            out += L'%';
            return true;
        }
        auto found = m_replacements.find(Upper(name));
        if (found == m_replacements.end()) return false;
        out += found->second;
        return true;
    }

    Token Fail()
    {
        m_ok = false;
        return Token();
    }

    const std::wstring& m_text;
    const std::map<std::wstring, std::wstring>& m_replacements;
    size_t m_pos = 0;
    bool m_ok = true;
    bool m_hasPeeked = false;
    Token m_peeked;
};

HRESULT FromWin32(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

// Only a key that is not there counts as deleted: an error below it (a subkey or link that
// cannot be opened) stays the answer.
LONG Deleted(LONG result, HKEY parent, const std::wstring& name, REGSAM view)
{
    Lumetra::CRegKey key;
    if (result != ERROR_FILE_NOT_FOUND || key.Open(parent, name.c_str(), KEY_READ | view) != ERROR_FILE_NOT_FOUND)
        return result;
    return ERROR_SUCCESS;
}

LONG DeleteTree(HKEY parent, const std::wstring& name)
{
    Lumetra::CRegKey key;
    key.Attach(parent);
    LONG result = key.RecurseDeleteKey(name.c_str());
    key.Detach();
    return Deleted(result, parent, name, 0);
}

LONG SetValue(Lumetra::CRegKey& key, const Value& value)
{
    return key.SetValue(value.name.c_str(), value.type, value.data.data(), static_cast<ULONG>(value.data.size()));
}

bool KeyExists(HKEY parent, const std::wstring& name)
{
    Lumetra::CRegKey key;
    return key.Open(parent, name.c_str(), KEY_READ) == ERROR_SUCCESS;
}

// Where the journal finds a key: root and path from it. A key that stays (NoRemove, when it
// exists) keeps its tree, so only the values the script names are saved; any other is saved
// whole before it is written, and nothing below it needs saving again.
struct JournalPlace {
    RegistryJournal* journal;
    HKEY root;
    std::wstring path;
};

LONG SaveBeforeWriting(HKEY parent, const Key& k, JournalPlace& place)
{
    if (!place.journal) return ERROR_SUCCESS;
    place.path = place.path.empty() ? k.name : place.path + L"\\" + k.name;
    if (k.modifier == Key::kNoRemove && KeyExists(parent, k.name)) {
        LONG result = k.hasDefault ? place.journal->SaveValue(place.root, place.path, L"") : ERROR_SUCCESS;
        for (size_t i = 0; result == ERROR_SUCCESS && i < k.values.size(); ++i)
            result = place.journal->SaveValue(place.root, place.path, k.values[i].name);
        return result;
    }
    LONG result = place.journal->SaveTree(place.root, place.path);
    place.journal = nullptr;
    return result;
}

HRESULT RegisterKey(HKEY parent, const Key& k, JournalPlace place)
{
    LONG saved = SaveBeforeWriting(parent, k, place);
    if (saved != ERROR_SUCCESS) return FromWin32(saved);
    if (k.modifier == Key::kDelete || k.modifier == Key::kForceRemove) {
        LONG result = DeleteTree(parent, k.name);
        if (result != ERROR_SUCCESS) return FromWin32(result);
        if (k.modifier == Key::kDelete) return S_OK;
    }
    Lumetra::CRegKey key;
    LONG result = key.Create(parent, k.name.c_str());
    if (result == ERROR_SUCCESS && k.hasDefault) result = SetValue(key, k.defaultValue);
    for (size_t i = 0; result == ERROR_SUCCESS && i < k.values.size(); ++i) result = SetValue(key, k.values[i]);
    if (result != ERROR_SUCCESS) return FromWin32(result);
    for (const Key& sub : k.subkeys) {
        HRESULT hr = RegisterKey(key.GetHandle(), sub, place);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// Best effort: carries on past a failure and reports the first one.
HRESULT UnregisterKey(HKEY parent, const Key& k)
{
    if (k.modifier == Key::kDelete) return S_OK;
    if (k.modifier == Key::kForceRemove) return FromWin32(DeleteTree(parent, k.name));
    Lumetra::CRegKey key;
    LONG result = key.Open(parent, k.name.c_str());
    if (result == ERROR_FILE_NOT_FOUND) return S_OK;
    if (result != ERROR_SUCCESS) return FromWin32(result);
    HRESULT first = S_OK;
    for (const Key& sub : k.subkeys) {
        HRESULT hr = UnregisterKey(key.GetHandle(), sub);
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    if (k.modifier == Key::kNoRemove) {
        for (const Value& value : k.values) key.DeleteValue(value.name.c_str());
        return first;
    }
    key.Close();
    // Fails, as meant, while keys the script does not name remain below.
    RegDeleteKeyW(parent, k.name.c_str());
    return first;
}

} // namespace

void Registrar::AddReplacement(const std::wstring& name, const std::wstring& value)
{
    m_replacements[Upper(name)] = value;
}

HRESULT Registrar::RegisterScript(const std::wstring& script) { return Run(script, true); }

HRESULT Registrar::UnregisterScript(const std::wstring& script) { return Run(script, false); }

HRESULT Registrar::ResourceRegister(HMODULE module, UINT id, bool doRegister)
{
    std::wstring script;
    HRESULT hr = LoadScript(module, id, script);
    return FAILED(hr) ? hr : Run(script, doRegister);
}

HRESULT Registrar::Run(const std::wstring& script, bool doRegister)
{
    std::vector<RootBlock> blocks;
    try {
        if (!Parser(script, m_replacements).ParseScript(blocks)) return kBadScript;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT first = S_OK;
    for (const RootBlock& block : blocks) {
        HKEY root = block.root;
        JournalPlace place{m_journal, root, std::wstring()};
        Lumetra::CRegKey userClasses;
        auto mapped = m_rootMap.find(root);
        if (mapped != m_rootMap.end()) {
            root = place.root = mapped->second;
        } else if (m_perUser && root == HKEY_CLASSES_ROOT) {
            place = JournalPlace{m_journal, HKEY_CURRENT_USER, L"Software\\Classes"};
            if (m_journal && !KeyExists(HKEY_CURRENT_USER, place.path)) {
                LONG result = m_journal->SaveTree(HKEY_CURRENT_USER, place.path);
                if (result != ERROR_SUCCESS) return FromWin32(result);
            }
            LONG result = userClasses.Create(HKEY_CURRENT_USER, L"Software\\Classes");
            if (result != ERROR_SUCCESS) return FromWin32(result);
            root = userClasses.GetHandle();
        }
        for (const Key& key : block.keys) {
            HRESULT hr = doRegister ? RegisterKey(root, key, place) : UnregisterKey(root, key);
            if (doRegister && FAILED(hr)) return hr;
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
    }
    return first;
}

namespace {

LONG ReadSavedValue(HKEY key, const std::wstring& name, RegistryJournal::SavedValue& value)
{
    value.name = name;
    for (;;) {
        DWORD size = 0;
        LONG result = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size);
        if (result != ERROR_SUCCESS) return result;
        value.data.resize(size);
        result = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.data.data(), &size);
        if (result == ERROR_MORE_DATA) continue;
        value.data.resize(size);
        return result;
    }
}

// The values and subkeys of an open key; an error anywhere below fails the copy.
LONG ReadSavedKey(Lumetra::CRegKey& key, REGSAM view, RegistryJournal::SavedKey& saved)
{
    std::vector<wchar_t> text(32768);  // the longest value or key name and its terminator
    LONG result = ERROR_SUCCESS;
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(text.size());
        result = RegEnumValueW(key.GetHandle(), i, text.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        RegistryJournal::SavedValue value;
        if (result == ERROR_SUCCESS) result = ReadSavedValue(key.GetHandle(), std::wstring(text.data(), length), value);
        if (result != ERROR_SUCCESS) return result;
        saved.values.push_back(std::move(value));
    }
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(text.size());
        result = key.EnumKey(i, text.data(), &length);
        if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (result != ERROR_SUCCESS) return result;
        RegistryJournal::SavedKey sub;
        sub.name.assign(text.data(), length);
        Lumetra::CRegKey child;
        result = child.Open(key.GetHandle(), sub.name.c_str(), KEY_READ | view);
        if (result == ERROR_SUCCESS) result = ReadSavedKey(child, view, sub);
        if (result != ERROR_SUCCESS) return result;
        saved.subkeys.push_back(std::move(sub));
    }
}

LONG SetSavedValue(Lumetra::CRegKey& key, const RegistryJournal::SavedValue& value)
{
    return key.SetValue(value.name.c_str(), value.type, value.data.data(), static_cast<ULONG>(value.data.size()));
}

// Goes on past a failure; the first one.
LONG WriteSavedKey(HKEY parent, const RegistryJournal::SavedKey& saved, REGSAM view)
{
    Lumetra::CRegKey key;
    LONG first = key.Create(parent, saved.name.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | view);
    if (first != ERROR_SUCCESS) return first;
    for (const RegistryJournal::SavedValue& value : saved.values) {
        LONG result = SetSavedValue(key, value);
        if (first == ERROR_SUCCESS) first = result;
    }
    for (const RegistryJournal::SavedKey& sub : saved.subkeys) {
        LONG result = WriteSavedKey(key.GetHandle(), sub, view);
        if (first == ERROR_SUCCESS) first = result;
    }
    return first;
}

// Deleted through its parent opened in the view, whose deletion keeps to that view.
LONG DeleteSavedTree(HKEY root, const std::wstring& path, REGSAM view)
{
    const size_t cut = path.rfind(L'\\');
    if (!view || cut == std::wstring::npos) return DeleteTree(root, path);
    Lumetra::CRegKey parent;
    LONG result = parent.Open(root, path.substr(0, cut).c_str(), KEY_READ | view);
    if (result != ERROR_SUCCESS) return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    const std::wstring name = path.substr(cut + 1);
    return Deleted(parent.RecurseDeleteKey(name.c_str()), parent.GetHandle(), name, view);
}

bool IsAtOrBelow(const std::wstring& path, const std::wstring& top)
{
    if (path.size() < top.size() || (path.size() > top.size() && path[top.size()] != L'\\')) return false;
    return CompareStringOrdinal(path.c_str(), static_cast<int>(top.size()), top.c_str(), static_cast<int>(top.size()),
                                TRUE) == CSTR_EQUAL;
}

} // namespace

bool RegistryJournal::Covers(const Entry& entry, HKEY root, const std::wstring& path, REGSAM view) const
{
    return entry.tree && entry.root == root && entry.view == view && IsAtOrBelow(path, entry.path);
}

LONG RegistryJournal::SaveTree(HKEY root, const std::wstring& path, REGSAM view)
{
    if (root == HKEY_CLASSES_ROOT) {
        const std::wstring classes = L"Software\\Classes\\" + path;
        const LONG result = SaveTree(HKEY_LOCAL_MACHINE, classes, view);
        return result == ERROR_SUCCESS ? SaveTree(HKEY_CURRENT_USER, classes, view) : result;
    }
    for (const Entry& entry : m_entries) {
        if (Covers(entry, root, path, view)) return ERROR_SUCCESS;
    }
    try {
        Entry entry;
        entry.root = root;
        entry.path = path;
        entry.view = view;
        Lumetra::CRegKey key;
        LONG result = key.Open(root, path.c_str(), KEY_READ | view);
        entry.existed = result == ERROR_SUCCESS;
        if (entry.existed) result = ReadSavedKey(key, view, entry.saved);
        if (result != ERROR_SUCCESS && (entry.existed || result != ERROR_FILE_NOT_FOUND)) return result;
        entry.saved.name = path;
        m_entries.push_back(std::move(entry));
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG RegistryJournal::SaveValue(HKEY root, const std::wstring& path, const std::wstring& name)
{
    if (root == HKEY_CLASSES_ROOT) {
        const std::wstring classes = L"Software\\Classes\\" + path;
        const LONG result = SaveValue(HKEY_LOCAL_MACHINE, classes, name);
        return result == ERROR_SUCCESS ? SaveValue(HKEY_CURRENT_USER, classes, name) : result;
    }
    for (const Entry& entry : m_entries) {
        if (Covers(entry, root, path, 0)) return ERROR_SUCCESS;
        if (!entry.tree && entry.root == root && IsAtOrBelow(path, entry.path) && path.size() == entry.path.size() &&
            CompareStringOrdinal(name.c_str(), -1, entry.valueName.c_str(), -1, TRUE) == CSTR_EQUAL)
            return ERROR_SUCCESS;
    }
    try {
        Entry entry;
        entry.root = root;
        entry.path = path;
        entry.tree = false;
        entry.valueName = name;
        Lumetra::CRegKey key;
        LONG result = key.Open(root, path.c_str(), KEY_READ);
        RegistryJournal::SavedValue value;
        if (result == ERROR_SUCCESS) result = ReadSavedValue(key.GetHandle(), name, value);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return result;
        entry.existed = result == ERROR_SUCCESS;
        if (entry.existed) entry.saved.values.push_back(std::move(value));
        m_entries.push_back(std::move(entry));
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG RegistryJournal::Restore()
{
    LONG first = ERROR_SUCCESS;
    for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry) {
        LONG result = ERROR_SUCCESS;
        if (entry->tree) {
            result = DeleteSavedTree(entry->root, entry->path, entry->view);
            if (result == ERROR_SUCCESS && entry->existed) result = WriteSavedKey(entry->root, entry->saved, entry->view);
        } else {
            Lumetra::CRegKey key;
            result = key.Open(entry->root, entry->path.c_str(), KEY_READ | KEY_WRITE);
            if (result == ERROR_SUCCESS && entry->existed) result = SetSavedValue(key, entry->saved.values.front());
            else if (result == ERROR_SUCCESS) result = key.DeleteValue(entry->valueName.c_str());
            if (result == ERROR_FILE_NOT_FOUND && !entry->existed) result = ERROR_SUCCESS;
        }
        if (first == ERROR_SUCCESS) first = result;
    }
    m_entries.clear();
    return first;
}

HRESULT Registrar::LoadScript(HMODULE module, UINT id, std::wstring& script)
{
    script.clear();
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes) return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_RESOURCE_DATA_NOT_FOUND);
    DWORD size = SizeofResource(module, info);
    if (size >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
        script.assign(reinterpret_cast<const wchar_t*>(bytes + 2), (size - 2) / sizeof(wchar_t));
        return S_OK;
    }
    if (size >= 3 && std::string(bytes, 3) == "\xEF\xBB\xBF") {
        bytes += 3;
        size -= 3;
    }
    if (size == 0) return S_OK;
    int chars = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
    if (chars <= 0) return kBadScript;
    script.resize(static_cast<size_t>(chars));
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &script[0], chars);
    return S_OK;
}

} // namespace Platform
