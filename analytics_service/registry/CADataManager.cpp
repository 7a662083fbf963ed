#include "registry/CADataManager.h"

#include "config/CAJsonParser.h"
#include "config/RapidJson.h"
#include "registry/CAUtils.h"

#include <algorithm>

using Taliro::Analytics::kCachedRegistryPath;

DWORD CCADataManager::ComputeDelta(const KeyValueMap& cached, const KeyValueMap& current, KeyValueMap& delta,
                                   const std::vector<std::wstring>& alwaysSentKeys)
{
    for (const auto& entry : current) {
        const bool always = std::find(alwaysSentKeys.begin(), alwaysSentKeys.end(), entry.first) != alwaysSentKeys.end();
        auto old = cached.find(entry.first);
        if (always || old == cached.end() || old->second != entry.second) delta[entry.first] = entry.second;
    }
    return ERROR_SUCCESS;
}

DWORD CCADataManager::ComputeDelta(const KeyValueMap& cached, const KeyValueMap& current, KeyValueMap& delta)
{
    return ComputeDelta(cached, current, delta, {});
}

DWORD CCADataManager::MergeMaps(const KeyValueMap& cached, const KeyValueMap& current, KeyValueMap& merged)
{
    for (const auto& entry : current) merged[entry.first] = entry.second;
    for (const auto& entry : cached) merged.insert(entry);
    return ERROR_SUCCESS;
}

DWORD CCADataManager::LoadCachedMap(const std::wstring& name, KeyValueMap& map)
{
    DWORD refused = CheckCacheName(name);
    if (refused != ERROR_SUCCESS) return refused;
    std::wstring text;
    LoadCachedText(name, text);
    return CCAJsonParser().JsonObjectToMap(text, map);
}

DWORD CCADataManager::LoadCachedText(const std::wstring& name, std::wstring& text)
{
    DWORD refused = CheckCacheName(name);
    if (refused != ERROR_SUCCESS) {
        text.clear();
        return refused;
    }
    return GetLargeStringFromRegistry(kCachedRegistryPath, name, text, kRegistryEncipheredValue);
}

DWORD CCADataManager::SaveCachedMap(const std::wstring& name, const KeyValueMap& map)
{
    std::wstring json;
    DWORD result = CCAJsonParser().MapToJsonString(map, json);
    if (result != ERROR_SUCCESS) return result;
    return SaveCachedText(name, Taliro::Analytics::EscapeNonAscii(json));
}

DWORD CCADataManager::SaveCachedText(const std::wstring& name, const std::wstring& text)
{
    DWORD refused = CheckCacheName(name);
    if (refused != ERROR_SUCCESS) return refused;
    return SaveStringValueToRegistry(kCachedRegistryPath, name, text, kRegistryEncipheredValue);
}

DWORD CCADataManager::DeleteCachedValue(const std::wstring& name)
{
    DWORD refused = CheckCacheName(name);
    if (refused != ERROR_SUCCESS) return refused;
    return DeleteRegistryValue(HKEY_LOCAL_MACHINE, kCachedRegistryPath, name);
}

bool CCADataManager::CanCache(const std::wstring& name) { return CheckCacheName(name) == ERROR_SUCCESS; }

DWORD CCADataManager::CheckCacheName(const std::wstring& name)
{
    if (name.empty()) return ERROR_INVALID_PARAMETER;
    if (name.find(L'\0') != std::wstring::npos) return ERROR_INVALID_NAME;
    return NarrowsWithoutLoss(name) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
}
