// The Google Analytics sink: turns one event into one Measurement Protocol hit and hands the
// hit to its sender. One plugin per event, on the event worker.
#pragma once
#include "config/StringMaps.h"
#include "transports/IHttpSender.h"
#include "transports/Sink.h"

#include <memory>
#include <string>

namespace Taliro {

class GAPlugin : public ISink {
public:
    // The protocol's limit for one hit body, in bytes.
    static constexpr size_t kMaxHitBytes = 8192;
    // Ends the hit text handed back for a hit past the limit, after its first kMaxHitBytes
    // characters; encoded text never holds a blank.
    static constexpr const wchar_t* kCutMark = L" [cut]";

    std::wstring GetName() override { return m_name; }
    bool Send(ITrackingItem& item) override;
    ~GAPlugin() override = default;
    // A new GASender.
    virtual std::shared_ptr<IHttpSender> CreateSender();

    // Makes and starts the sender, then reads the profile: "name", "keyMap" entries and the
    // tracking id "options"/"trackerId". False when any of these steps fails or the
    // tracking id is empty.
    bool LoadProfile(std::shared_ptr<IConfiguration> configuration);
    // Adds dictionary entries (event field -> parameter) for fields the key map does not map yet.
    void MergeDictionary(const KeyValueMap& dictionary);
    // As Send, and gives the hit text: exactly the body sent or refused, or for a hit past the
    // limit its first kMaxHitBytes characters and kCutMark.
    bool SendAndGetHit(ITrackingItem& item, std::wstring& hit);
    bool SendWithTrackingId(ITrackingItem& item, std::wstring& hit) { return SendAndGetHit(item, hit); }

    // UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
    static std::string ToUtf8(const std::wstring& text);
    // "name=value" pairs joined by "&", every name and value percent-encoded as UTF-8 (all
    // but A-Z a-z 0-9 - . _ ~ as %XX), so "&", "=", "+" and non-ASCII text arrive intact.
    static std::wstring JoinParameters(const KeyValueMap& hit);
    // As above, no further than `room` characters; `length` is the whole text's length.
    static std::wstring JoinParameters(const KeyValueMap& hit, size_t room, size_t& length);

private:
    void InitKeyMap();
    void LoadKeyMap();
    bool LoadOptions(IConfiguration& options);
    void AddFixedParameters(KeyValueMap& hit) const;
    void BuildHit(const KeyValueMap& data, KeyValueMap& hit) const;

    std::shared_ptr<IConfiguration> m_configuration;
    KeyValueMap m_keyMap;
    std::shared_ptr<IHttpSender> m_sender;
    std::wstring m_name;
    std::wstring m_trackingId;
};

} // namespace Taliro
