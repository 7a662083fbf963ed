// Expands $(Name) placeholders in a text: the platform name, parts of the executable's path and
// shell known folders, plus whatever extra values a caller supplies for one call.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "Lumetra/OSInfo.h"
#include "Lumetra/ShlObjAPI.h"

namespace Lumetra {

class CommonReplacements {
public:
    // Placeholder text, with "$(" and ")", to the function that gives its value.
    using ExtraProviders = std::unordered_map<std::wstring, std::function<std::wstring()>>;
    using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;

    // Empty pointers are replaced by default objects.
    explicit CommonReplacements(std::shared_ptr<ShlObjAPI> shell = nullptr,
                                std::shared_ptr<OSInfo> osInfo = nullptr);
    virtual ~CommonReplacements();
    CommonReplacements(const CommonReplacements&) = delete;
    CommonReplacements& operator=(const CommonReplacements&) = delete;

    // Replaces every placeholder that `extra` or the built-in table knows; unknown ones and those
    // whose value is empty stay as written. Values are never searched again. The text is changed
    // only when the whole run succeeded; false (text untouched) when it could not complete.
    virtual bool ReplaceWith(std::wstring& text, const ExtraProviders& extra);
    virtual bool Replace(std::wstring& text);
    // {placeholders found, placeholders replaced} of the last run.
    virtual std::pair<unsigned long long, unsigned long long> GetStatistics();

    class _Impl;

private:
    std::shared_ptr<_Impl> m_impl;
};

} // namespace Lumetra
