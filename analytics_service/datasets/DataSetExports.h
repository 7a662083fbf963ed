// What crosses the exports of a dataset DLL. The DLL owns the object it hands out until its
// "Release" export gets it back; strings it hands out live as long as the object.
#pragma once
#include <cstdint>

namespace Taliro {

// Only the table order of the three operations is fixed: no destructor in the table.
struct IDataSetObject {
    virtual const wchar_t* GetName() = 0;
    virtual std::int32_t GetCount() = 0;
    // Non-zero when the item at that index was handed out.
    virtual unsigned char GetItem(std::uint32_t index, const wchar_t** key, const wchar_t** value) = 0;

protected:
    ~IDataSetObject() = default;
};

// Booleans are read from the low byte only.
using IsSupportedFn = unsigned char (*)(const wchar_t* dataSetName);
using GetDataSetFn = IDataSetObject* (*)(const wchar_t* dataSetName);
using ReleaseFn = void (*)(IDataSetObject* dataSet);

constexpr char kIsSupportedExport[] = "IsSupported";
constexpr char kGetDataSetExport[] = "GetDataSet";
constexpr char kReleaseExport[] = "Release";

} // namespace Taliro
