#include "ModuleFunctions.h"

#include "MessageBusClient.h"
#include "MessageBusShim.h"
#include "ModuleStatus.h"

#include "ETWLogging/LogFront.h"

#include <mutex>
#include <utility>
#include <unordered_set>

namespace Taliro {

namespace {

constexpr const wchar_t* kSource = L"ModuleFunctions";

void DeleteModule(Module* module)
{
    if (module) delete module;
}

// Nothing leaves an entry point: whatever the body throws, logging included, becomes one status.
// The body is taken as it is (no std::function, which could allocate before the guard).
template <typename Body>
unsigned long Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

// Handles given out and not yet destroyed. A handle the host no longer owns (destroyed already,
// or never ours) is refused by its address alone, never followed into freed memory. A destroyed
// handle's block is kept, emptied, and never freed: a later handle at the same address would
// make the host's stale handle a valid one again.
struct LiveHandles {
    std::mutex lock;
    std::unordered_set<const ModuleHandle*> handles;
};

LiveHandles& Live()
{
    static LiveHandles* live = new LiveHandles(); // the host may call in until the process ends
    return *live;
}

bool IsLive(const ModuleHandle* handle)
{
    std::lock_guard<std::mutex> guard(Live().lock);
    return Live().handles.count(handle) != 0;
}

bool ValidHandle(ModuleHandle* handle, const wchar_t* function)
{
    if (handle && IsLive(handle) && handle->module) return true;
    TALIRO_LOG(4, kSource, function, L"Invalid handle.");
    return false;
}

unsigned long NewModule(ModuleHandle** out, const wchar_t* moduleName)
{
    return Guarded([&]() -> unsigned long {
        if (!out) {
            TALIRO_LOG(4, kSource, L"Taliro::NewModule", L"Invalid handle address.");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        if (moduleName && *moduleName) ETWLogging::InitializeLogging(nullptr, moduleName, nullptr, nullptr, 0);
        // Owned here until the handle holds it, so a failed handle allocation frees it.
        std::unique_ptr<Module> module(new PulseproxyImpl(nullptr));
        std::unique_ptr<ModuleHandle> handle(new ModuleHandle());
        handle->deleter = DeleteModule;
        {
            std::lock_guard<std::mutex> guard(Live().lock);
            Live().handles.insert(handle.get());
        }
        handle->module = module.release();
        *out = handle.release();
        return MODULE_STATUS_SUCCESS;
    });
}

unsigned long DestroyModule(ModuleHandle* handle)
{
    return Guarded([&]() -> unsigned long {
        bool owned = false;
        if (handle) {
            // Taken out first: of two calls racing to destroy one handle, only one frees it.
            std::lock_guard<std::mutex> guard(Live().lock);
            owned = Live().handles.erase(handle) != 0;
        }
        if (!owned) {
            TALIRO_LOG(4, kSource, L"Taliro::DestroyModule", L"Invalid handle.");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        Module* module = std::exchange(handle->module, nullptr);
        std::function<void(Module*)> deleter = std::move(handle->deleter);
        handle->deleter = nullptr;
        if (module && deleter) deleter(module);
        return MODULE_STATUS_SUCCESS;
    });
}

unsigned long Initialize(ModuleHandle* handle, const wchar_t* moduleName, const wchar_t* secondName,
                         unsigned long count, const wchar_t* const* keys, const wchar_t* const* values,
                         void* moduleManager, ModuleManagerCallback callback, bool hostBus, void* busHandle,
                         const MessageBusFunctions* busFunctions, const wchar_t* function)
{
    return Guarded([&]() -> unsigned long {
        if (!ValidHandle(handle, function)) return MODULE_STATUS_INVALID_PARAMETER;
        bool validArguments = moduleName && secondName && (count == 0 || (keys && values));
        for (unsigned long i = 0; validArguments && i < count; ++i) validArguments = keys[i] && values[i];
        if (!validArguments) {
            TALIRO_LOG(4, kSource, function, L"Invalid module names or properties.");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        auto* base = dynamic_cast<BaseModule*>(handle->module);
        if (base) {
            PropertyMap properties(8);
            properties.max_load_factor(1.0f);
            for (unsigned long i = 0; i < count; ++i) properties.emplace(keys[i], values[i]);
            auto manager = std::make_shared<internal::ModuleManagerShim>(moduleManager, callback);
            std::shared_ptr<MessageBus> bus;
            if (hostBus)
                bus = std::make_shared<MessageBusClient>(std::make_shared<MessageBusShimImpl>(busHandle, busFunctions),
                                                         nullptr);
            else
                bus = std::make_shared<MessageBusClient>();
            unsigned long status = base->baseInitialize(moduleName, secondName, properties, manager, bus);
            if (status != MODULE_STATUS_SUCCESS) {
                TALIRO_LOG(4, kSource, function, L"Failed to initialize base module. Error code %lu.", status);
                return status;
            }
            // The bus it replaced has gone, running handlers: one may have destroyed the module.
            if (!ValidHandle(handle, function)) return MODULE_STATUS_INVALID_PARAMETER;
        }
        return handle->module->initialize();
    });
}

unsigned long InitializeModule(ModuleHandle* handle, const wchar_t* moduleName, const wchar_t* secondName,
                               unsigned long count, const wchar_t* const* keys, const wchar_t* const* values,
                               void* moduleManager, ModuleManagerCallback callback)
{
    return Initialize(handle, moduleName, secondName, count, keys, values, moduleManager, callback, false, nullptr,
                      nullptr, L"Taliro::InitializeModule");
}

unsigned long InitializeModuleV2(ModuleHandle* handle, const wchar_t* moduleName, const wchar_t* secondName,
                                 unsigned long count, const wchar_t* const* keys, const wchar_t* const* values,
                                 void* moduleManager, ModuleManagerCallback callback, void* busHandle,
                                 const MessageBusFunctions* busFunctions)
{
    return Initialize(handle, moduleName, secondName, count, keys, values, moduleManager, callback, true, busHandle,
                      busFunctions, L"Taliro::InitializeModuleV2");
}

unsigned long StartModule(ModuleHandle* handle)
{
    return Guarded([&]() -> unsigned long {
        if (!ValidHandle(handle, L"Taliro::StartModule")) return MODULE_STATUS_INVALID_PARAMETER;
        return handle->module->start();
    });
}

unsigned long StopModule(ModuleHandle* handle)
{
    return Guarded([&]() -> unsigned long {
        if (!ValidHandle(handle, L"Taliro::StopModule")) return MODULE_STATUS_INVALID_PARAMETER;
        return handle->module->stop();
    });
}

unsigned long UninitializeModule(ModuleHandle* handle)
{
    return Guarded([&]() -> unsigned long {
        if (!ValidHandle(handle, L"Taliro::UninitializeModule")) return MODULE_STATUS_INVALID_PARAMETER;
        return handle->module->uninitialize();
    });
}

unsigned long DirectMessage(ModuleHandle* handle, const MessageHeader* header, const wchar_t* name,
                            const wchar_t* second, const wchar_t* third)
{
    return Guarded([&]() -> unsigned long {
        if (!ValidHandle(handle, L"Taliro::DirectMessage")) return MODULE_STATUS_INVALID_PARAMETER;
        if (!name) {
            TALIRO_LOG(4, kSource, L"Taliro::DirectMessage", L"Invalid message name.");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        std::shared_ptr<Message> message = Message::fromRaw(header, name, second, third);
        auto* base = dynamic_cast<BaseModule*>(handle->module);
        if (!base) return MODULE_STATUS_SUCCESS;
        return base->directMessage(message);
    });
}

const ModuleFunctionTable g_functionTable = {NewModule,  DestroyModule,      InitializeModule, StartModule,
                                             StopModule, UninitializeModule, DirectMessage,    InitializeModuleV2};

} // namespace

const ModuleFunctionTable& GetModuleFunctionTable() { return g_functionTable; }

} // namespace Taliro

extern "C" {

void* CreateObject(unsigned long)
{
    return const_cast<ModuleFunctionTable*>(&Taliro::GetModuleFunctionTable());
}

void ReleaseObject(void*) {}

unsigned long GetVersionNum() { return Taliro::kModuleVersionNumber; }

const char* GetVersionStr() { return Taliro::kModuleVersionText; }
}
