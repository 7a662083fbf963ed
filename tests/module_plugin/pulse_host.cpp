// Host double of the module framework: loads Pulseproxy.dll by full path and drives it.
//
//   pulse_host <result file> <module dll> version
//       checks the four exports by name and by ordinal and the version answers.
//   pulse_host <result file> <module dll> v1 <module name>
//       the life cycle with InitializeModule (the module loads the bus library itself), then
//       the bus double's counters as the module left them.
//   pulse_host <result file> <module dll> v2 <module name> <bus dll>
//       the life cycle with InitializeModuleV2 over a bus the host loaded, two modules sharing
//       the host's bus handle.
// Each result is one line "name=value" (statuses in hexadecimal). Exit code 0 when the run
// completed, 2 for bad arguments, 3 when a library or export could not be had.
#include "ModuleTypes.h"
#include "QuorraControl.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

FILE* g_out = nullptr;

void Put(const char* name, unsigned long value) { fprintf(g_out, "%s=0x%08lX\n", name, value); }
void PutText(const char* name, const std::wstring& value) { fprintf(g_out, "%s=%ls\n", name, value.c_str()); }

template <typename T>
T Proc(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

unsigned long long ManagerCallback(unsigned long long, unsigned long long, unsigned long long, unsigned long long)
{
    return 0;
}

int Version(HMODULE module)
{
    const char* names[] = {"CreateObject", "GetVersionNum", "GetVersionStr", "ReleaseObject"};
    for (int i = 0; i < 4; ++i) {
        FARPROC byName = GetProcAddress(module, names[i]);
        FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(i + 1));
        std::string key = std::string("ordinal.") + names[i];
        Put(key.c_str(), byName && byName == byOrdinal ? static_cast<unsigned long>(i + 1) : 0);
    }
    auto versionNum = Proc<GetVersionNumFn>(module, "GetVersionNum");
    auto versionStr = Proc<GetVersionStrFn>(module, "GetVersionStr");
    auto create = Proc<CreateObjectFn>(module, "CreateObject");
    auto release = Proc<ReleaseObjectFn>(module, "ReleaseObject");
    if (!versionNum || !versionStr || !create || !release) return 3;
    fprintf(g_out, "GetVersionNum=%lu\nGetVersionStr=%s\n", versionNum(), versionStr());
    auto* table = static_cast<const ModuleFunctionTable*>(create(12345));
    Put("CreateObject.sameTable", table == create(0));
    if (!table) return 3;
    const void* const* entries = reinterpret_cast<const void* const*>(table);
    int filled = 0;
    for (int i = 0; i < 8; ++i) filled += entries[i] != nullptr;
    Put("table.entries", static_cast<unsigned long>(filled));
    release(const_cast<ModuleFunctionTable*>(table));
    return 0;
}

// Statuses of every entry point given a null handle or a null out pointer.
void NullArguments(const ModuleFunctionTable* table)
{
    Put("null.NewModule", table->NewModule(nullptr, L"x"));
    Put("null.DestroyModule", table->DestroyModule(nullptr));
    Put("null.InitializeModule", table->InitializeModule(nullptr, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr));
    Put("null.StartModule", table->StartModule(nullptr));
    Put("null.StopModule", table->StopModule(nullptr));
    Put("null.UninitializeModule", table->UninitializeModule(nullptr));
    Put("null.DirectMessage", table->DirectMessage(nullptr, nullptr, L"n", L"", L""));
    Put("null.InitializeModuleV2",
        table->InitializeModuleV2(nullptr, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

// Invalid arguments on a live handle (before it is initialised).
void InvalidArguments(const ModuleFunctionTable* table, ModuleHandle* handle, void* bus,
                      const MessageBusFunctions* functions)
{
    const wchar_t* keys[] = {L"a", nullptr};
    const wchar_t* values[] = {L"1", L"2"};
    Put("invalid.InitializeModule.nullKeys",
        table->InitializeModule(handle, L"m", L"s", 2, nullptr, values, nullptr, ManagerCallback));
    Put("invalid.InitializeModule.nullKey",
        table->InitializeModule(handle, L"m", L"s", 2, keys, values, nullptr, ManagerCallback));
    Put("invalid.InitializeModule.nullName",
        table->InitializeModule(handle, nullptr, L"s", 0, nullptr, nullptr, nullptr, ManagerCallback));
    Put("invalid.InitializeModuleV2.nullValues",
        table->InitializeModuleV2(handle, L"m", L"s", 1, keys, nullptr, nullptr, ManagerCallback, bus, functions));
    Put("invalid.InitializeModuleV2.nullBusHandle",
        table->InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, ManagerCallback, nullptr,
                                  functions));
    Put("invalid.InitializeModuleV2.nullBusFunctions",
        table->InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, ManagerCallback, bus, nullptr));
    Put("invalid.DirectMessage.nullName", table->DirectMessage(handle, nullptr, nullptr, L"", L""));
    Put("invalid.DirectMessage.uninitialised", table->DirectMessage(handle, nullptr, L"Status", L"", L""));
}

void PutCounters(const char* prefix, QuorraState* state)
{
    if (!state) return;
    const struct {
        const char* name;
        volatile long* value;
    } counters[] = {
        {"createObject", &state->createObject}, {"getHandle", &state->getHandle},
        {"releaseHandle", &state->releaseHandle}, {"liveHandles", &state->liveHandles},
        {"withdraw", &state->withdraw},         {"subscribe", &state->subscribe},
        {"publish", &state->publish},           {"request", &state->request},
    };
    for (const auto& counter : counters) {
        std::string key = std::string(prefix) + counter.name;
        Put(key.c_str(), static_cast<unsigned long>(*counter.value));
    }
}

int LifeCycle(const ModuleFunctionTable* table, const wchar_t* moduleName, bool hostBus, const wchar_t* busPath)
{
    HMODULE busModule = nullptr;
    QuorraState* state = nullptr;
    const MessageBusFunctions* functions = nullptr;
    void* bus = nullptr;
    if (hostBus) {
        busModule = LoadLibraryW(busPath);
        if (!busModule) return 3;
        auto create = Proc<CreateObjectFn>(busModule, "CreateObject");
        state = Proc<QuorraControlFn>(busModule, "QuorraControl")();
        functions = static_cast<const MessageBusFunctions*>(create(1006000));
        if (!functions || functions->getHandle(&bus) != 0) return 3;
    }

    ModuleHandle* handle = nullptr;
    Put("NewModule", table->NewModule(&handle, moduleName));
    if (!handle) return 3;
    // Only after NewModule named the module: the first log line fixes the log's name.
    NullArguments(table);
    InvalidArguments(table, handle, bus, functions);

    const wchar_t* keys[] = {L"a", L"a", L"b"};
    const wchar_t* values[] = {L"1", L"2", L"3"};
    unsigned long status = hostBus ? table->InitializeModuleV2(handle, moduleName, L"second", 3, keys, values, &keys,
                                                               ManagerCallback, bus, functions)
                                   : table->InitializeModule(handle, moduleName, L"second", 3, keys, values, &keys,
                                                             ManagerCallback);
    Put("Initialize", status);
    if (!hostBus) {
        // The module loaded the bus library itself: keep it loaded to read it after the module goes.
        HMODULE loaded = nullptr;
        if (GetModuleHandleExW(0, L"Quorra.dll", &loaded)) {
            busModule = loaded;
            wchar_t path[MAX_PATH] = {};
            GetModuleFileNameW(loaded, path, MAX_PATH);
            PutText("bus.loadedFrom", path);
            state = Proc<QuorraControlFn>(loaded, "QuorraControl")();
        } else {
            PutText("bus.loadedFrom", L"");
        }
    }
    Put("StartModule", table->StartModule(handle));
    MessageHeader v1{};
    v1.kind = 1;
    v1.version = 1;
    Put("DirectMessage", table->DirectMessage(handle, nullptr, L"Status", L"two", L"three"));
    Put("DirectMessage.v1Header", table->DirectMessage(handle, &v1, L"Status", nullptr, nullptr));

    ModuleHandle* second = nullptr;
    if (hostBus) {
        // A second module on the same host bus: the first one's going must not silence it.
        Put("second.NewModule", table->NewModule(&second, L""));
        Put("second.Initialize", table->InitializeModuleV2(second, L"second", L"", 0, nullptr, nullptr, &keys,
                                                           ManagerCallback, bus, functions));
    }
    Put("StopModule", table->StopModule(handle));
    Put("UninitializeModule", table->UninitializeModule(handle));
    Put("DestroyModule", table->DestroyModule(handle));
    // No longer the host's handle: refused, not followed.
    Put("stale.DestroyModule", table->DestroyModule(handle));
    Put("stale.StartModule", table->StartModule(handle));
    PutCounters("afterFirst.", state);
    if (second) {
        Put("second.DestroyModule", table->DestroyModule(second));
        PutCounters("afterSecond.", state);
    }
    if (hostBus) {
        Put("host.releaseHandle", functions->releaseHandle(bus));
        PutCounters("final.", state);
    }
    if (busModule) FreeLibrary(busModule);
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 4) return 2;
    g_out = _wfopen(argv[1], L"w");
    if (!g_out) return 2;
    const std::wstring mode = argv[3];
    HMODULE module = LoadLibraryExW(argv[2], nullptr, 0);
    int result = 3;
    if (module) {
        auto create = Proc<CreateObjectFn>(module, "CreateObject");
        auto* table = create ? static_cast<const ModuleFunctionTable*>(create(0)) : nullptr;
        if (mode == L"version")
            result = Version(module);
        else if (mode == L"v1" && argc == 5 && table)
            result = LifeCycle(table, argv[4], false, nullptr);
        else if (mode == L"v2" && argc == 6 && table)
            result = LifeCycle(table, argv[4], true, argv[5]);
        else
            result = 2;
    }
    fclose(g_out);
    return result;
}
