// Registry scripts (.rgs) as COM servers write them: tokens apart by white space (so an unquoted
// "{GUID}" is a key name and a lone "{" a brace); root keys HKCR, HKCU, HKLM, HKU (short or
// long names) each with a braced body of keys; a key is an optional ForceRemove, NoRemove or
// Delete, a name (bare or 'quoted'), an optional default value "= <type> 'data'" and an optional
// braced body of subkeys and "val <name> = <type> 'data'" values. Types: s (REG_SZ), e
// (REG_EXPAND_SZ), d (DWORD, decimal or 0x hex), b (hex bytes). '' inside quotes is one quote;
// %NAME% is replaced (names case-insensitive), %% is one percent sign.
// Registering: ForceRemove deletes the key's tree first; Delete deletes it and skips its body.
// Unregistering: ForceRemove keys go with their tree; NoRemove keys stay but lose the values the
// script names; other keys go once their listed subkeys are gone and no others remain.
// A script is parsed whole before the registry is touched: a faulty script changes nothing.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace Platform {

// What registration runs are about to change, so that a failed registration can put the
// registry back as it found it. The first copy of a place is the one kept: that is how the run
// found it. A place under HKEY_CLASSES_ROOT is kept in both hives that Windows merges there
// (HKLM and HKCU Software\Classes), never through the merged view: a write through it lands in
// either hive, and a deletion through it can take both.
class RegistryJournal {
public:
    // Before anything at or below root\path changes: a copy of that tree, or that there was none
    // (only when the key itself cannot be found; any error below it fails the save). view:
    // KEY_WOW64_32KEY for the 32-bit view of a key that WOW64 keeps apart, else 0.
    LONG SaveTree(HKEY root, const std::wstring& path, REGSAM view = 0);
    // Before one value of a key that stays changes (nothing when a saved tree holds it already).
    LONG SaveValue(HKEY root, const std::wstring& path, const std::wstring& name);
    // Puts every saved place back, the last saved first, going on past a failure; the first one.
    LONG Restore();

    struct SavedValue {
        std::wstring name;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    struct SavedKey {
        std::wstring name;
        std::vector<SavedValue> values;
        std::vector<SavedKey> subkeys;
    };

private:
    struct Entry {
        HKEY root = nullptr;
        std::wstring path;
        REGSAM view = 0;
        bool tree = true;
        bool existed = false;
        SavedKey saved;  // a tree, or (a value) its key's path and the value when it existed
        std::wstring valueName;
    };
    bool Covers(const Entry& entry, HKEY root, const std::wstring& path, REGSAM view) const;

    std::vector<Entry> m_entries;
};

class Registrar {
public:
    void AddReplacement(const std::wstring& name, const std::wstring& value);
    // Per-user: HKCR in scripts means HKCU\Software\Classes.
    void SetPerUser(bool perUser) { m_perUser = perUser; }
    // Sends a root the scripts name to another key (tests point roots at scratch keys).
    void MapRoot(HKEY root, HKEY target) { m_rootMap[root] = target; }
    // Registering saves to the journal what each key is about to lose; a key that the journal
    // cannot save is not written (and the run fails).
    void SetJournal(RegistryJournal* journal) { m_journal = journal; }

    HRESULT RegisterScript(const std::wstring& script);
    HRESULT UnregisterScript(const std::wstring& script);
    // Runs the REGISTRY resource <id> of <module>.
    HRESULT ResourceRegister(HMODULE module, UINT id, bool doRegister);

    // Text of a REGISTRY resource: UTF-16 with BOM, else UTF-8 (BOM optional).
    static HRESULT LoadScript(HMODULE module, UINT id, std::wstring& script);

private:
    HRESULT Run(const std::wstring& script, bool doRegister);

    std::map<std::wstring, std::wstring> m_replacements;   // upper-case names
    std::map<HKEY, HKEY> m_rootMap;
    bool m_perUser = false;
    RegistryJournal* m_journal = nullptr;
};

} // namespace Platform
