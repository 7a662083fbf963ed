// Enciphered dataset registrations: one value per dataset name under the DataSets key, holding
// the full path of the DLL that produces it.
#pragma once
#include <windows.h>

#include <string>

constexpr wchar_t kDataSetsKeyPath[] = L"SOFTWARE\\Orvane\\OvTelvana\\DataSets";
constexpr DWORD kDataSetsKeyNotOpened = 1011;
constexpr DWORD kDataSetsValueNotRead = 1012;

// 0 with the deciphered text, 1011 when the key cannot be opened, 1012 when the value cannot be
// read. The key follows the service's registry redirection (registry/CAUtils.h).
DWORD GetObfuscatedStringValueFromRegistry(const std::wstring& valueName, std::wstring& text);
