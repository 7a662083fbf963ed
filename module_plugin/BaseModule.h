// The module object the host drives, and what it keeps from initialisation.
#pragma once
#include "MessageBus.h"
#include "ModuleTypes.h"

#include "Lumetra/IOCContainer.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Taliro {

using PropertyMap = std::unordered_map<std::wstring, std::wstring>;

namespace internal {

// The host's module manager as handed to initialisation; kept, not called by this module.
class ModuleManagerShim {
public:
    ModuleManagerShim(void* handle, ModuleManagerCallback callback) : m_handle(handle), m_callback(callback) {}
    virtual ~ModuleManagerShim() = default;
    // callback(handle, first, 0, second); 0 when there is no callback.
    virtual unsigned long long call(unsigned long long first, unsigned long long second);

private:
    void* m_handle;
    ModuleManagerCallback m_callback;
};

} // namespace internal

class Module {
public:
    virtual ~Module() = default;
    virtual unsigned long initialize() = 0;
    virtual unsigned long start() = 0;
    virtual unsigned long stop() = 0;
    virtual unsigned long uninitialize() = 0;
    virtual unsigned long baseInitialize(const std::wstring& moduleName, const std::wstring& secondName,
                                         const PropertyMap& properties,
                                         std::shared_ptr<internal::ModuleManagerShim> moduleManager,
                                         std::shared_ptr<MessageBus> bus) = 0;
};

class BaseModule : public Module, public MessageBus {
public:
    explicit BaseModule(std::shared_ptr<Lumetra::IOCContainer> container = nullptr);
    ~BaseModule() override;

    unsigned long initialize() override { return MODULE_STATUS_SUCCESS; }
    unsigned long start() override { return MODULE_STATUS_SUCCESS; }
    unsigned long stop() override { return MODULE_STATUS_SUCCESS; }
    unsigned long uninitialize() override { return MODULE_STATUS_SUCCESS; }
    unsigned long baseInitialize(const std::wstring& moduleName, const std::wstring& secondName,
                                 const PropertyMap& properties,
                                 std::shared_ptr<internal::ModuleManagerShim> moduleManager,
                                 std::shared_ptr<MessageBus> bus) override;

    unsigned long directMessage(const std::shared_ptr<Message>& message);

    // The bus interface, forwarded to the held bus; MODULE_STATUS_INVALID_STATE before a bus is held.
    unsigned long publish(const std::shared_ptr<Message>& message) override;
    unsigned long request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                          const unsigned long long& value) override;
    unsigned long request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                          const unsigned long long& value) override;
    unsigned long subscribe(const std::wstring& name, const std::wstring& alias, SubscriptionHandler handler) override;
    unsigned long subscribe(const std::wstring& name, SubscriptionHandler handler) override;
    unsigned long subscribeSessionFiltered(const std::wstring& name, const std::wstring& alias,
                                           SubscriptionHandler handler) override;
    unsigned long subscribeSessionFiltered(const std::wstring& name, SubscriptionHandler handler) override;
    unsigned long subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                  SubscriptionHandler handler) override;
    unsigned long subscribeFilter(const std::wstring& pattern, SubscriptionHandler handler) override;
    unsigned long subscribeFilterSessionFiltered(const std::wstring& pattern, const std::wstring& alias,
                                                 SubscriptionHandler handler) override;
    unsigned long subscribeFilterSessionFiltered(const std::wstring& pattern, SubscriptionHandler handler) override;
    unsigned long unsubscribe(const std::wstring& alias) override;

    const std::wstring& moduleName() const { return m_moduleName; }
    const std::wstring& secondName() const { return m_secondName; }
    const PropertyMap& properties() const { return m_properties; }
    const std::shared_ptr<internal::ModuleManagerShim>& moduleManager() const { return m_moduleManager; }
    std::shared_ptr<MessageBus> bus() const;
    const std::shared_ptr<Lumetra::IOCContainer>& container() const { return m_container; }

private:
    std::shared_ptr<Lumetra::IOCContainer> m_container;
    std::wstring m_moduleName;
    std::wstring m_secondName;
    PropertyMap m_properties;
    std::shared_ptr<internal::ModuleManagerShim> m_moduleManager;
    // A forwarded call takes the bus as a share and touches nothing of the module after the bus
    // returns, so the module may go meanwhile, on that call's own thread too, without a wait.
    // A client replaced by initialisation, or held when the module goes, ends then for every
    // holder: its subscriptions are removed and it refuses new calls.
    mutable std::mutex m_busLock; // the bus is replaced while bus threads forward calls to it
    std::shared_ptr<MessageBus> m_bus;
};

class PulseproxyImpl : public BaseModule {
public:
    explicit PulseproxyImpl(std::shared_ptr<Lumetra::IOCContainer> container = nullptr)
        : BaseModule(std::move(container))
    {
    }
    ~PulseproxyImpl() override = default;
};

} // namespace Taliro
