// What a transport sink takes and how it is configured. The dispatch builds a tracker from the
// finished event map and a configuration tree for the Google Analytics sink.
#pragma once
#include "config/StringMaps.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class ITrackingItem {
public:
    virtual KeyValueMap GetData() = 0;

protected:
    // Items are destroyed as their concrete class.
    ~ITrackingItem() = default;
};

class ISink {
public:
    virtual std::wstring GetName() = 0;
    // True when the data was delivered.
    virtual bool Send(ITrackingItem& item) = 0;
    virtual ~ISink() = default;
};

class IConfiguration {
public:
    virtual std::wstring GetString(const std::wstring& key) = 0;
    virtual std::vector<std::wstring> GetList(const std::wstring& key) = 0;
    virtual std::shared_ptr<IConfiguration> GetConfiguration(const std::wstring& key) = 0;
    virtual std::vector<std::shared_ptr<IConfiguration>> GetConfigurationList(const std::wstring& key) = 0;
    virtual ~IConfiguration() = default;
};

namespace Taliro {

// A tree of named strings and named sub-configurations; lists are always empty.
class PluginConfiguration : public IConfiguration {
public:
    PluginConfiguration(const std::wstring& key, const std::wstring& value) { m_strings[key] = value; }
    PluginConfiguration(const std::wstring& key, std::shared_ptr<IConfiguration> child)
    {
        m_configurations[key] = std::move(child);
    }

    std::wstring GetString(const std::wstring& key) override
    {
        auto found = m_strings.find(key);
        return found == m_strings.end() ? std::wstring() : found->second;
    }
    std::vector<std::wstring> GetList(const std::wstring&) override { return {}; }
    std::shared_ptr<IConfiguration> GetConfiguration(const std::wstring& key) override
    {
        auto found = m_configurations.find(key);
        return found == m_configurations.end() ? nullptr : found->second;
    }
    std::vector<std::shared_ptr<IConfiguration>> GetConfigurationList(const std::wstring&) override { return {}; }

private:
    std::map<std::wstring, std::wstring> m_strings;
    std::map<std::wstring, std::shared_ptr<IConfiguration>> m_configurations;
};

// The event's data as a sink sees it: a copy in, a copy out, so no sink can change it.
class PluginTracker : public ITrackingItem {
public:
    explicit PluginTracker(KeyValueMap data) : m_data(std::move(data)) {}
    KeyValueMap GetData() override { return m_data; }

private:
    KeyValueMap m_data;
};

} // namespace Taliro
