// The one converter between JSON text and the service's string maps. Stateless: make one on
// the stack, call, drop it. Results are Win32 codes: 0, or 87 for empty or unparsable text.
#pragma once
#include "config/StringMaps.h"

#include <windows.h>

#include <string>

class CCAJsonParser {
public:
    virtual ~CCAJsonParser() = default;

    // Compact object text, every value as a JSON string; an empty map gives "{}". A surrogate
    // without its partner is written as U+FFFD, so that the text always parses again.
    virtual DWORD MapToJsonString(const KeyValueMap& map, std::wstring& json);
    // "name":{...} with the name written as given.
    virtual DWORD MapToNamedJsonMember(const std::wstring& name, const KeyValueMap& map, std::wstring& json);
    // Scalar members of the root object into the map (null members skipped, the map not cleared).
    virtual DWORD JsonObjectToMap(const std::wstring& json, KeyValueMap& map);
    // Object-valued members of the root, each as a fresh map.
    virtual DWORD JsonObjectToMap(const std::wstring& json, NestedKeyValueMap& map);
    // Array-valued members of the root: each object element's string members, appended in order.
    virtual DWORD JsonNamedArrayToVector(const std::wstring& json, KeyValueMapLists& lists);
    virtual DWORD JsonToObjectsAndArrays(const std::wstring& json, NestedKeyValueMap& objects,
                                         KeyValueMapLists& arrays);
    // Entries for zero-terminated text as it comes from a BSTR; null counts as empty.
    virtual DWORD JsonNamedArrayToVector(const wchar_t* json, KeyValueMapLists& lists);
    virtual DWORD JsonObjectToMap(const wchar_t* json, NestedKeyValueMap& map);
    // True exactly when the scalar-member parse succeeds.
    virtual bool IsValidJsonObject(const std::wstring& json);
};
