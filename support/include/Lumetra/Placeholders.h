// The $(Name) placeholder syntax and the values both placeholder expanders share: the platform,
// parts of the executable's path and shell known folders.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Lumetra/OSInfo.h"
#include "Lumetra/ShlObjAPI.h"

namespace Lumetra {
namespace placeholders {

// What the shared values are read from; neither pointer may be null.
struct Sources {
    ShlObjAPI* shell;
    internal::OSInfoProxy<WinOSVersionAPI>* osInfo;
};

using Provider = std::function<std::wstring(const Sources&)>;

struct Entry {
    const wchar_t* token; // with "$(" and ")"
    Provider value;
};

// The shared tokens: OS.Platform, App.Binary, App.Name, App.Folder, App.Path and the thirteen
// FOLDERID_ known folders. Built once; the executable's path is split on first use.
const std::vector<Entry>& StandardEntries();

// Finds the leftmost match of \$\([^$()]+\) in [from, end): "$(", one or more characters that are
// none of "$", "(" and ")", then ")". Iterative, so caller-sized text cannot exhaust the stack.
bool FindPlaceholder(std::wstring::const_iterator from, std::wstring::const_iterator end,
                     std::wstring::const_iterator& first, std::wstring::const_iterator& last);

// Replaces each placeholder for which `lookup` gives a non-empty value; the others stay as
// written. Values are never searched again. `found` counts the placeholders, `resolved` those
// whose value differs from the placeholder itself.
std::wstring Expand(const std::wstring& text, const std::function<std::wstring(const std::wstring&)>& lookup,
                    unsigned long long& found, unsigned long long& resolved);

} // namespace placeholders
} // namespace Lumetra
