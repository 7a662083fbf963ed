// The Google Analytics sender: knows the collection URL and makes the real sender for it.
#pragma once
#include "transports/HttpSender.h"
#include "transports/IHttpSender.h"

#include <windows.h>

#include <memory>
#include <string>

namespace Taliro {

class GASender : public IHttpSender {
public:
    // Where the collection-host setting lives: HKEY_LOCAL_MACHINE\kSettingsKey.
    static constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Orvane\\OvTelvana";
    static constexpr const wchar_t* kCollectionHostValue = L"gaCollectionHost";

    // URL: "https://" + collection host + "/collect".
    GASender();
    // Reads the setting from another key, and gives every send step a time-out of timeoutMs.
    GASender(HKEY settingsRoot, const std::wstring& settingsKey, DWORD timeoutMs = HttpSender::kDefaultTimeoutMs);

    bool Initialize() override;
    bool Send(const std::string& body) override;
    virtual std::shared_ptr<IHttpSender> CreateSender(const std::wstring& url);

    const std::wstring& Url() const { return m_url; }

    // The built-in host unless the settings key holds a REG_SZ "gaCollectionHost" of the form
    // host or host:port; a value of another form is logged and the built-in host is used.
    static std::wstring CollectionHost(HKEY settingsRoot, const std::wstring& settingsKey);
    static bool IsHostOfValidForm(const std::wstring& host);

private:
    std::shared_ptr<IHttpSender> m_sender;
    std::wstring m_url;
    DWORD m_timeoutMs;
};

} // namespace Taliro
