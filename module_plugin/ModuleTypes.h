// The binary interface shared with the module framework host and its message-bus library:
// status codes, the message header record, the bus function table and the module entry table.
#pragma once
#include <cstdint>

#define MODULE_STATUS_SUCCESS 0x00000000UL
#define MODULE_STATUS_NOT_SUPPORTED 0x80000001UL
#define MODULE_STATUS_UNSUCCESSFUL 0x80000002UL
#define MODULE_STATUS_BUFFER_TOO_SMALL 0x80000003UL
#define MODULE_STATUS_NOT_IMPLEMENTED 0x80000004UL
#define MODULE_STATUS_INVALID_BUFFER_SIZE 0x80000005UL
#define MODULE_STATUS_DATA_ERROR 0x80000006UL
#define MODULE_STATUS_INVALID_HANDLE 0x80000007UL
#define MODULE_STATUS_INVALID_PARAMETER 0x80000008UL
#define MODULE_STATUS_NO_MEMORY 0x80000009UL
#define MODULE_STATUS_NOT_FOUND 0x8000000AUL
#define MODULE_STATUS_ON_DEMAND_ENABLED 0x8000000BUL
#define MODULE_STATUS_PROPERTY_NOT_FOUND 0x8000000CUL
#define MODULE_STATUS_TIMEOUT 0x8000000DUL
#define MODULE_STATUS_NO_SUBSCRIBERS 0x8000000EUL
#define MODULE_STATUS_UNKNOWN_EXCEPTION 0x8000000FUL
#define MODULE_STATUS_DUPLICATE_MODULE 0x80000010UL
#define MODULE_STATUS_PARTIAL_SUCCESS 0x80000011UL
#define MODULE_STATUS_UWP_APP_NOT_INSTALLED 0x80000012UL
#define MODULE_STATUS_APP_SERVICE_UNAVAILABLE 0x80000013UL
#define MODULE_STATUS_APP_SERVICE_UNAUTHORIZED 0x80000014UL
#define MODULE_STATUS_INVALID_STATE 0x800000FFUL

#pragma pack(push, 1)
// Travels with every message; version 2 carries the session record, version 1 ends at byte 100.
struct MessageHeader {
    uint16_t kind;
    uint32_t totalSize;
    uint32_t flags;
    uint16_t version;
    uint8_t fields[80];
    uint64_t replyCorrelation;
    uint16_t sessionTag;
    uint16_t sessionLength;
    uint32_t sessionId;
};
#pragma pack(pop)
static_assert(sizeof(MessageHeader) == 108, "header record is 108 bytes");

constexpr uint32_t kMessageHeaderV1Size = 100;

using MessageCallback = unsigned long (*)(void* context, const MessageHeader* header, const wchar_t* name,
                                          const wchar_t* second, const wchar_t* third);
using ReplyCallback = unsigned long (*)(void* context, unsigned long long index, const MessageHeader* header,
                                        const wchar_t* name, const wchar_t* second, const wchar_t* third,
                                        unsigned long status);

// Owned by the bus library.
struct MessageBusFunctions {
    unsigned long (*getHandle)(void** handle);
    unsigned long (*releaseHandle)(void* handle);
    unsigned long (*publish)(void* handle, const MessageHeader* header, const wchar_t* name, const wchar_t* second,
                             const wchar_t* third);
    unsigned long (*request)(void* handle, unsigned long long index, void* context, ReplyCallback callback,
                             const MessageHeader* header, const wchar_t* name, const wchar_t* second,
                             const wchar_t* third, unsigned long long value);
    unsigned long (*subscribe)(void* handle, void* context, MessageCallback callback, const wchar_t* name);
    unsigned long (*subscribeFilter)(void* handle, void* context, MessageCallback callback, const wchar_t* pattern);
    unsigned long (*unsubscribe)(void* handle, unsigned long id);
    unsigned long (*withdrawReplyCallback)(void* handle, ReplyCallback callback);
};

struct ModuleHandle;

using ModuleManagerCallback = unsigned long long (*)(unsigned long long, unsigned long long, unsigned long long,
                                                     unsigned long long);

struct ModuleFunctionTable {
    unsigned long (*NewModule)(ModuleHandle** out, const wchar_t* moduleName);
    unsigned long (*DestroyModule)(ModuleHandle* handle);
    unsigned long (*InitializeModule)(ModuleHandle* handle, const wchar_t* moduleName, const wchar_t* secondName,
                                      unsigned long count, const wchar_t* const* keys, const wchar_t* const* values,
                                      void* moduleManager, ModuleManagerCallback callback);
    unsigned long (*StartModule)(ModuleHandle* handle);
    unsigned long (*StopModule)(ModuleHandle* handle);
    unsigned long (*UninitializeModule)(ModuleHandle* handle);
    unsigned long (*DirectMessage)(ModuleHandle* handle, const MessageHeader* header, const wchar_t* name,
                                   const wchar_t* second, const wchar_t* third);
    unsigned long (*InitializeModuleV2)(ModuleHandle* handle, const wchar_t* moduleName, const wchar_t* secondName,
                                        unsigned long count, const wchar_t* const* keys,
                                        const wchar_t* const* values, void* moduleManager,
                                        ModuleManagerCallback callback, void* busHandle,
                                        const MessageBusFunctions* bus);
};

// The four exports of a framework library (the module itself and the bus library).
using CreateObjectFn = void* (*)(unsigned long argument);
using ReleaseObjectFn = void (*)(void* object);
using GetVersionStrFn = const char* (*)();
using GetVersionNumFn = unsigned long (*)();
