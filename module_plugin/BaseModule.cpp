#include "BaseModule.h"

#include "MessageBusClient.h"
#include "ModuleStatus.h"

#include <utility>

namespace Taliro {

namespace {
constexpr const wchar_t* kSource = L"BaseModule";
}

unsigned long long internal::ModuleManagerShim::call(unsigned long long first, unsigned long long second)
{
    if (!m_callback) return 0;
    return m_callback(reinterpret_cast<unsigned long long>(m_handle), first, 0, second);
}

BaseModule::BaseModule(std::shared_ptr<Lumetra::IOCContainer> container)
    : m_container(container ? std::move(container) : std::make_shared<Lumetra::IOCContainer>())
{
}

BaseModule::~BaseModule()
{
    // Taken out first: a call forwarded from now on finds no bus. The client ends here, not when
    // another thread's call inside the bus drops the last share: once the host's destroy returns,
    // every subscription the module held is removed from the bus, and one that another thread is
    // still making is undone as its call returns. The container goes last: its registration holds
    // the bus too.
    std::shared_ptr<MessageBus> bus;
    {
        std::lock_guard<std::mutex> guard(m_busLock);
        bus.swap(m_bus);
    }
    if (auto client = std::dynamic_pointer_cast<MessageBusClient>(bus)) client->close();
    bus.reset();
    m_moduleManager.reset();
    m_properties.clear();
    m_secondName.clear();
    m_moduleName.clear();
    m_container.reset();
}

unsigned long BaseModule::baseInitialize(const std::wstring& moduleName, const std::wstring& secondName,
                                         const PropertyMap& properties,
                                         std::shared_ptr<internal::ModuleManagerShim> moduleManager,
                                         std::shared_ptr<MessageBus> bus)
{
    if (&m_moduleName != &moduleName) m_moduleName = moduleName;
    if (&m_secondName != &secondName) m_secondName = secondName;
    if (&m_properties != &properties) m_properties = properties;
    if (!moduleManager) {
        TALIRO_LOG(4, kSource, L"Taliro::BaseModule::baseInitialize",
                   L"Invalid module manager object passed to base initialize.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    m_moduleManager = std::move(moduleManager);
    if (!bus) {
        TALIRO_LOG(4, kSource, L"Taliro::BaseModule::baseInitialize",
                   L"Invalid message bus object passed to base initialize.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<MessageBus> replaced;
    {
        std::lock_guard<std::mutex> guard(m_busLock);
        replaced = std::exchange(m_bus, bus);
    }
    m_container->registerInstance<MessageBus>(bus, Lumetra::IOCContainer::kDefaultName);
    // The replaced client ends now, outside the lock and after the module's last access: its end
    // runs handlers, and one may call this module or destroy it.
    if (replaced != bus)
        if (auto client = std::dynamic_pointer_cast<MessageBusClient>(replaced)) client->close();
    return MODULE_STATUS_SUCCESS;
}

unsigned long BaseModule::directMessage(const std::shared_ptr<Message>& message)
{
    auto client = std::dynamic_pointer_cast<MessageBusClient>(bus());
    if (!client) {
        TALIRO_LOG(4, kSource, L"Taliro::BaseModule::directMessage",
                   L"Failed to process direct message. Invalid message bus client.");
        return MODULE_STATUS_INVALID_STATE;
    }
    unsigned long status = client->processDirectMessage(message);
    if (status != MODULE_STATUS_SUCCESS) {
        TALIRO_LOG(4, kSource, L"Taliro::BaseModule::directMessage",
                   L"Failed to process direct message. Module: %ls. Module Status: %ls(%lu)", m_moduleName.c_str(),
                   GetStatusName(status), status);
        return status;
    }
    return MODULE_STATUS_SUCCESS;
}

std::shared_ptr<MessageBus> BaseModule::bus() const
{
    std::lock_guard<std::mutex> guard(m_busLock);
    return m_bus;
}

// The held bus is taken once, as a share: a replacement or the module's end meanwhile does not
// free it under the call, and nothing of the module is read once the bus has been called.
#define TALIRO_FORWARD(call)                                                  \
    do {                                                                      \
        std::shared_ptr<MessageBus> held = bus();                             \
        if (!held) return MODULE_STATUS_INVALID_STATE;                        \
        return held->call;                                                    \
    } while (0)

unsigned long BaseModule::publish(const std::shared_ptr<Message>& message) { TALIRO_FORWARD(publish(message)); }

unsigned long BaseModule::request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                  const unsigned long long& value)
{
    TALIRO_FORWARD(request(message, std::move(handler), value));
}

unsigned long BaseModule::request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                  const unsigned long long& value)
{
    TALIRO_FORWARD(request(message, reply, value));
}

unsigned long BaseModule::subscribe(const std::wstring& name, const std::wstring& alias, SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribe(name, alias, std::move(handler)));
}

unsigned long BaseModule::subscribe(const std::wstring& name, SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribe(name, std::move(handler)));
}

unsigned long BaseModule::subscribeSessionFiltered(const std::wstring& name, const std::wstring& alias,
                                                   SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribeSessionFiltered(name, alias, std::move(handler)));
}

unsigned long BaseModule::subscribeSessionFiltered(const std::wstring& name, SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribeSessionFiltered(name, std::move(handler)));
}

unsigned long BaseModule::subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                          SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribeFilter(pattern, alias, std::move(handler)));
}

unsigned long BaseModule::subscribeFilter(const std::wstring& pattern, SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribeFilter(pattern, std::move(handler)));
}

unsigned long BaseModule::subscribeFilterSessionFiltered(const std::wstring& pattern, const std::wstring& alias,
                                                         SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribeFilterSessionFiltered(pattern, alias, std::move(handler)));
}

unsigned long BaseModule::subscribeFilterSessionFiltered(const std::wstring& pattern, SubscriptionHandler handler)
{
    TALIRO_FORWARD(subscribeFilterSessionFiltered(pattern, std::move(handler)));
}

unsigned long BaseModule::unsubscribe(const std::wstring& alias) { TALIRO_FORWARD(unsubscribe(alias)); }

} // namespace Taliro
