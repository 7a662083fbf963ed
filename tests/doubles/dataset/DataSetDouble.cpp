// Test double of a dataset DLL. What it hands out follows the start of the dataset name:
//   normal...      four items, the third of which GetItem refuses
//   repeated...    one key twice ("first", then "second")
//   special...     values holding "&", "=", "é" and "日"
//   nullkey...     an item without key, one without value, then a good one
//   nullobject...  no object;  nullname... an object without name;  negative... count -1
// Any other name is not supported. Load, unload and each Release append a line ("Load",
// "Unload", "Release <name>") to the file named by TELVANA_DATASET_LOG, so a test sees whether
// the DLL was ever mapped. Built without "Release" when DATASET_WITHOUT_RELEASE is defined.
#include "datasets/DataSetExports.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

void Record(const std::wstring& line)
{
    wchar_t path[MAX_PATH + 1];
    const DWORD n = GetEnvironmentVariableW(L"TELVANA_DATASET_LOG", path, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char bytes[512];
    const int size = WideCharToMultiByte(CP_UTF8, 0, (line + L"\n").c_str(), -1, bytes, sizeof(bytes), nullptr, nullptr);
    DWORD written = 0;
    if (size > 1) WriteFile(file, bytes, static_cast<DWORD>(size - 1), &written, nullptr);
    CloseHandle(file);
}

bool Starts(const wchar_t* name, const wchar_t* prefix)
{
    return name && wcsncmp(name, prefix, wcslen(prefix)) == 0;
}

struct Item {
    const wchar_t* key;
    const wchar_t* value;
    bool handedOut = true;
};

class DataSet final : public Taliro::IDataSetObject {
public:
    DataSet(const wchar_t* name, std::vector<Item> items, std::int32_t count)
        : m_name(name ? name : L""), m_hasName(name != nullptr), m_items(std::move(items)), m_count(count) {}
    const wchar_t* GetName() override { return m_hasName ? m_name.c_str() : nullptr; }
    std::int32_t GetCount() override { return m_count; }
    unsigned char GetItem(std::uint32_t index, const wchar_t** key, const wchar_t** value) override
    {
        if (index >= m_items.size() || !m_items[index].handedOut) return 0;
        *key = m_items[index].key;
        *value = m_items[index].value;
        return 1;
    }
    std::wstring m_name;
    bool m_hasName;
    std::vector<Item> m_items;
    std::int32_t m_count;
};

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) Record(L"Load");
    if (reason == DLL_PROCESS_DETACH) Record(L"Unload");
    return TRUE;
}

extern "C" __declspec(dllexport) unsigned char IsSupported(const wchar_t* name)
{
    for (const wchar_t* known : {L"normal", L"repeated", L"special", L"nullkey", L"nullobject", L"nullname", L"negative"})
        if (Starts(name, known)) return 1;
    return 0;
}

extern "C" __declspec(dllexport) Taliro::IDataSetObject* GetDataSet(const wchar_t* name)
{
    if (Starts(name, L"normal"))
        return new DataSet(name, {{L"Kavo_HardwareId", L"HW-1"}, {L"Kavo_SoftwareId", L"SW-1"}, {L"refused", L"x", false},
                                  {L"__ServiceTag", L"TAG-9"}}, 4);
    if (Starts(name, L"repeated")) return new DataSet(name, {{L"k", L"first"}, {L"k", L"second"}}, 2);
    if (Starts(name, L"special"))
        return new DataSet(name, {{L"amp", L"a&b"}, {L"eq", L"c=d"}, {L"e", L"\u00e9"}, {L"jp", L"\u65e5"}}, 4);
    if (Starts(name, L"nullkey")) return new DataSet(name, {{nullptr, L"v"}, {L"novalue", nullptr}, {L"ok", L"1"}}, 3);
    if (Starts(name, L"nullname")) return new DataSet(nullptr, {{L"k", L"v"}}, 1);
    if (Starts(name, L"negative")) return new DataSet(name, {{L"k", L"v"}}, -1);
    return nullptr;
}

#ifndef DATASET_WITHOUT_RELEASE
extern "C" __declspec(dllexport) void Release(Taliro::IDataSetObject* object)
{
    auto* dataSet = static_cast<DataSet*>(object);
    Record(L"Release " + (dataSet ? dataSet->m_name : std::wstring(L"<null>")));
    delete dataSet;
}
#endif
