// The map shapes in which events, configuration and datasets travel inside the service.
// Values are always text: booleans "true"/"false", numbers their JSON text.
#pragma once
#include <string>
#include <unordered_map>
#include <vector>

using KeyValueMap = std::unordered_map<std::wstring, std::wstring>;
// Object-valued members of one JSON object.
using NestedKeyValueMap = std::unordered_map<std::wstring, KeyValueMap>;
// Array-valued members whose elements are objects; each list keeps array order.
using KeyValueMapLists = std::unordered_map<std::wstring, std::vector<KeyValueMap>>;
