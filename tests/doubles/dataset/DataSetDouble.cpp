// Test double of a dataset DLL; what it hands out follows the start of the dataset name (see
// Make below; a null value of `given` marks an item that GetItem refuses; "badrelease" throws
// from Release). Any other name is not supported. Load, unload and each Release append a line to the file named by
// TELVANA_DATASET_LOG. Built without "Release" when DATASET_WITHOUT_RELEASE is defined.
#include "datasets/DataSetExports.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Record(const char* line)
{
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableW(L"TELVANA_DATASET_LOG", path, MAX_PATH + 1);
    FILE* file = n > 0 && n <= MAX_PATH ? _wfopen(path, L"ab") : nullptr;
    if (file) fprintf(file, "%s\n", line), fclose(file);
}

struct Item {
    const wchar_t* key;
    const wchar_t* value;
    bool given;
};

class DataSet final : public Taliro::IDataSetObject {
public:
    DataSet(const wchar_t* name, std::vector<Item> items, std::int32_t count) : name(name), items(items), count(count) {}
    const wchar_t* GetName() override { return name; }
    std::int32_t GetCount() override { return count; }
    unsigned char GetItem(std::uint32_t index, const wchar_t** key, const wchar_t** value) override
    {
        if (count == INT32_MAX && index == 0) Record("Walked");
        if (name && std::wstring(name) == L"throwing") throw std::bad_alloc();  // as a failed copy would
        if (index >= items.size() || !items[index].given) return 0;
        *key = items[index].key;
        *value = items[index].value;
        return 1;
    }
    const wchar_t* name;
    std::vector<Item> items;
    std::int32_t count;
};

DataSet* Make(const std::wstring& name, bool object)
{
    auto is = [&](const wchar_t* prefix) { return name.compare(0, wcslen(prefix), prefix) == 0; };
    const wchar_t* n = L"set";
    if (is(L"normal"))
        return new DataSet(n, {{L"Kavo_HardwareId", L"HW-1", true}, {L"Kavo_SoftwareId", L"SW-1", true},
                               {L"refused", L"x", false}, {L"__ServiceTag", L"TAG-9", true}}, 4);
    if (is(L"repeated")) return new DataSet(n, {{L"k", L"first", true}, {L"k", L"second", true}}, 2);
    if (is(L"special"))
        return new DataSet(n, {{L"amp", L"a&b", true}, {L"eq", L"c=d", true}, {L"e", L"\u00e9", true},
                               {L"jp", L"\u65e5", true}}, 4);
    if (is(L"nullkey")) return new DataSet(n, {{nullptr, L"v", true}, {L"novalue", nullptr, true}, {L"ok", L"1", true}}, 3);
    if (is(L"nullname")) return new DataSet(nullptr, {{L"k", L"v", true}}, 1);
    if (is(L"negative")) return new DataSet(n, {{L"k", L"v", true}}, -1);
    if (is(L"huge")) return new DataSet(n, {}, INT32_MAX);
    if (is(L"throwing")) return new DataSet(L"throwing", {{L"k", L"v", true}}, 1);
    if (is(L"badrelease")) return new DataSet(L"badrelease", {{L"k", L"v", true}}, 1);
    if (is(L"nullobject")) return object ? nullptr : new DataSet(n, {}, 0);
    return nullptr;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH)
        Record(reason == DLL_PROCESS_ATTACH ? "Load" : "Unload");
    return TRUE;
}

extern "C" __declspec(dllexport) unsigned char IsSupported(const wchar_t* name)
{
    DataSet* probe = Make(name, false);
    delete probe;
    return probe != nullptr;
}

extern "C" __declspec(dllexport) Taliro::IDataSetObject* GetDataSet(const wchar_t* name) { return Make(name, true); }

#ifndef DATASET_WITHOUT_RELEASE
extern "C" __declspec(dllexport) void Release(Taliro::IDataSetObject* object)
{
    Record("Release");
    DataSet* set = static_cast<DataSet*>(object);
    const bool throws = set->name && std::wstring(set->name) == L"badrelease";
    delete set;
    if (throws) throw std::runtime_error("release failed");
}
#endif
