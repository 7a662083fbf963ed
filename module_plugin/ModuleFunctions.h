// The module's exports and the table of its eight entry points.
#pragma once
#include "BaseModule.h"
#include "ModuleTypes.h"

#include <functional>

// Opaque to the host: owned by it from NewModule until DestroyModule.
struct ModuleHandle {
    std::function<void(Taliro::Module*)> deleter;
    Taliro::Module* module = nullptr;
};

namespace Taliro {
constexpr unsigned long kModuleVersionNumber = 1006000;
constexpr const char* kModuleVersionText = "1.6.0";

const ModuleFunctionTable& GetModuleFunctionTable();
} // namespace Taliro

extern "C" {
void* CreateObject(unsigned long ignored);
void ReleaseObject(void* ignored);
unsigned long GetVersionNum();
const char* GetVersionStr();
}
