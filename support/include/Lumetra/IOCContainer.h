// A small inversion-of-control container: shared instances registered by type and name.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <typeinfo>

namespace Lumetra {

class IOCFactoryInterface {
public:
    virtual ~IOCFactoryInterface() = default;
    virtual const std::type_info& registeredType() const = 0;
    virtual const std::wstring& registrationName() const = 0;
    virtual std::shared_ptr<void> getInstance() = 0;
};

template <class T>
class IOCBaseFactory : public IOCFactoryInterface {
public:
    explicit IOCBaseFactory(std::wstring name) : m_name(std::move(name)) {}
    const std::type_info& registeredType() const override { return typeid(T); }
    const std::wstring& registrationName() const override { return m_name; }
    std::shared_ptr<void> getInstance() override { return createInstance(); }
    virtual std::shared_ptr<T> createInstance() = 0;

private:
    std::wstring m_name;
};

template <class T>
class IOCInstanceReturningFactory : public IOCBaseFactory<T> {
public:
    IOCInstanceReturningFactory(std::wstring name, std::shared_ptr<T> instance)
        : IOCBaseFactory<T>(std::move(name)), m_instance(std::move(instance))
    {
    }
    std::shared_ptr<T> createInstance() override { return m_instance; }

private:
    std::shared_ptr<T> m_instance;
};

class IOCContainer {
public:
    static constexpr const wchar_t* kDefaultName = L"Unnamed registration";

    virtual ~IOCContainer() = default;

    // Replaces an earlier registration of the same type and name.
    template <class T>
    void registerInstance(std::shared_ptr<T> instance, const std::wstring& name = kDefaultName)
    {
        auto& names = m_factories[typeid(T).hash_code()];
        names.erase(name);
        names[name] = std::make_shared<IOCInstanceReturningFactory<T>>(name, std::move(instance));
    }

    template <class T>
    std::shared_ptr<IOCFactoryInterface> findFactory(const std::wstring& name = kDefaultName) const
    {
        auto type = m_factories.find(typeid(T).hash_code());
        if (type == m_factories.end()) return nullptr;
        auto entry = type->second.find(name);
        // Hash codes of two types may collide; only the very type may be handed out as T.
        if (entry == type->second.end() || entry->second->registeredType() != typeid(T)) return nullptr;
        return entry->second;
    }

    template <class T>
    bool isRegistered(const std::wstring& name = kDefaultName) const
    {
        return findFactory<T>(name) != nullptr;
    }

    // The registered instance, empty when none.
    template <class T>
    std::shared_ptr<T> resolve(const std::wstring& name = kDefaultName) const
    {
        auto factory = findFactory<T>(name);
        return factory ? std::static_pointer_cast<T>(factory->getInstance()) : nullptr;
    }

private:
    std::map<size_t, std::map<std::wstring, std::shared_ptr<IOCFactoryInterface>>> m_factories;
};

} // namespace Lumetra
